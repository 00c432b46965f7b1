#pragma once
// What every telemetry report says about the machine: the installed client
// platform's version and the Windows release with its bitness.

#include <windows.h>

#include <string>

// The platform version as "<version text>.<build number>", from the first
// source that decides: brimlake.ini, then brimlake.xml in the platform data
// folder, then the platform's Uninstall entry in the registry. ".0" when none
// has anything.
std::wstring GetPlatformVersion();

// The release name for a reported Windows version: "Win7", "Win10", ... or ""
// for a version the table does not know. `product_type` is 0 when unknown.
std::wstring WindowsReleaseName(DWORD platform_id, DWORD major, DWORD minor, BYTE product_type);

// The release name of the running Windows, "" when it cannot be told.
std::wstring GetWindowsRelease();

// "64" for a native AMD64 or IA-64 processor architecture, "32" otherwise.
std::wstring SystemBitnessOf(WORD processor_architecture);
std::wstring GetSystemBitness();

// Release name, "_" and bitness, e.g. "Win10_64"; "_32" for an unknown release.
std::wstring GetSystemName();
