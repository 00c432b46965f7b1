#!/usr/bin/env bash
# Lays out the sample game "Demo Quest" in a Wine prefix as the platform's
# installer leaves it. Sourced by the demonstration, the benchmarks and the
# release smoke run:
#   lay_out_sample_game BUILD_DIR [UNINSTALL_EXE]
# (the game's uninstall.exe is BUILD_DIR's unless named); needs WINEPREFIX;
# sets SAMPLE_* variables naming what it made.

# Whether a program whose command line holds PATTERN runs in this prefix:
# other runs on the machine have programs of the same names.
runs_in_prefix() {
  local pid
  for pid in $(pgrep -f "$1"); do
    # A process may end between the two looks.
    { tr '\0' '\n' < "/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
  done
  return 1
}

lay_out_sample_game() {
  local bin=$1 uninstaller=${2:-$1/uninstall.exe}
  local c="$WINEPREFIX/drive_c"
  SAMPLE_LIB="$c/Games/Brimlake/Library"
  SAMPLE_APP="$SAMPLE_LIB/DemoQuest/app"
  SAMPLE_DESKTOP="$c/users/root/Desktop"
  SAMPLE_PROGRAMS="$c/users/root/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
  SAMPLE_PLATFORM="$c/users/root/AppData/Local/Brimlake/app"
  SAMPLE_WINAPP='C:\Games\Brimlake\Library\DemoQuest\app\'
  SAMPLE_UNINSTALL_KEY='HKLM\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall\DemoQuest'
  SAMPLE_APPPATHS_KEY='HKLM\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\App Paths\demoquest.exe'

  mkdir -p "$SAMPLE_APP/res/data" "$SAMPLE_APP/data/maps" "$SAMPLE_APP/data/sound" \
    "$SAMPLE_LIB/sdk_cache/7/patch" "$SAMPLE_LIB/sdk_cache/8" "$SAMPLE_LIB/OtherGame/app" \
    "$SAMPLE_DESKTOP" "$SAMPLE_PROGRAMS/DemoQuest" "$SAMPLE_PLATFORM" "$c/work"
  cp "$uninstaller" "$SAMPLE_APP/uninstall.exe"
  cp "$bin/helper.exe" "$SAMPLE_APP/demoquest.exe"
  head -c 200000 /dev/urandom > "$SAMPLE_APP/data/maps/level1.map"
  head -c 50000 /dev/urandom > "$SAMPLE_APP/data/sound/theme.ogg"
  echo "Demo Quest" > "$SAMPLE_APP/readme.txt"
  echo "channel=stable" > "$SAMPLE_LIB/DemoQuest/launcher.cfg"
  head -c 30000 /dev/urandom > "$SAMPLE_LIB/sdk_cache/7/patch/p1.bin"
  echo "another game's cache" > "$SAMPLE_LIB/sdk_cache/8/other.bin"
  echo "another game" > "$SAMPLE_LIB/OtherGame/app/other.exe"
  # Real shortcuts into the game, as the installer's: only those go.
  local link harness
  harness=$(cd "$(dirname "${BASH_SOURCE[0]}")/../tests/harness" && pwd)
  for link in 'C:\users\root\Desktop\Demo Quest.lnk' \
      'C:\users\root\AppData\Roaming\Microsoft\Windows\Start Menu\Programs\DemoQuest\Demo Quest.lnk'; do
    HELPER=shortcut "$harness/wine-run.sh" "$bin/helper.exe" "$link" "${SAMPLE_WINAPP}demoquest.exe" </dev/null
  done
  printf '[General]\r\nversion=3.1.2\r\nver=7\r\n' > "$SAMPLE_PLATFORM/brimlake.ini"
  cat > "$SAMPLE_APP/res/data/init.dat" <<'JSON'
{
  "game_name": "Demo Quest",
  "shortcut_name": "Demo Quest",
  "cache_name": "sdk_cache",
  "branch_id": "7",
  "install_name": "DemoQuest",
  "exe_name": "demoquest.exe",
  "ver": "15",
  "version": "2",
  "uninstall_name": "uninstall.exe",
  "info_about": "https://brimlake.example/about",
  "publisher": "Brimlake",
  "help_link": "https://brimlake.example/help",
  "op_id": "demo-op",
  "game_id": "1234"
}
JSON
  local app=$SAMPLE_WINAPP key=$SAMPLE_UNINSTALL_KEY
  sample_reg add "$key" /v DisplayName /d DemoQuest /f
  sample_reg add "$key" /v UninstallString /d "\"${app}uninstall.exe\"" /f
  sample_reg add "$key" /v DisplayIcon /d "\"${app}uninstall.exe\"" /f
  sample_reg add "$key" /v DisplayVersion /d 2.15 /f
  sample_reg add "$key" /v Version /d 15 /f
  sample_reg add "$key" /v InstallLocation /d "$app" /f
  sample_reg add "$key" /v Publisher /d Brimlake /f
  sample_reg add "$SAMPLE_APPPATHS_KEY" /ve /d "${app}demoquest.exe" /f
}

# Wine's reg.exe, started inside the prefix; quiet.
sample_reg() {
  (cd "$WINEPREFIX/drive_c/work" && /usr/lib/wine/wine64 reg "$@" </dev/null >/dev/null 2>&1)
}
