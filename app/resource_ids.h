#pragma once
// Identifiers shared by the resource script and the entry.

#define IDS_APP_TITLE 1055
#define IDC_BRIMHELPER 1056
#define IDI_APP_ICON 128
#define IDD_ABOUTBOX 100
#define IDM_ABOUT 1053
#define IDM_EXIT 1054
