#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine.
# Safe to run again: every step checks first and does nothing when already done.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
third="$root/third_party"

packages=(
  cmake ninja-build dpkg-dev openssl python3 bc binutils
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine64 xvfb x11-utils imagemagick googletest
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Dependency sources come from Debian's own source packages, pinned to the
# versions the program is built against. A private apt list keeps the
# machine's configuration untouched.
fetch_source() { # package version dir
  local pkg=$1 ver=$2 dir=$3
  [ -f "$third/$dir/.fetched" ] && return 0
  local apt="$third/.apt"
  mkdir -p "$apt/lists/partial" "$third/.dl"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" > "$apt/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o "Dir::State::Lists=$apt/lists" -o APT::Sandbox::User=root)
  [ -n "$(ls -A "$apt/lists" 2>/dev/null | grep -v partial)" ] || apt-get "${opts[@]}" update -qq
  (cd "$third/.dl" && apt-get "${opts[@]}" source --download-only -qq "$pkg=$ver")
  rm -rf "${third:?}/$dir"
  (cd "$third" && dpkg-source -x --no-check ".dl/${pkg}_${ver}.dsc" "$dir" >/dev/null)
  touch "$third/$dir/.fetched"
}
fetch_source libjsoncpp 1.9.5-4 jsoncpp
fetch_source pugixml 1.13-0.2 pugixml
echo "setup: ready"
