#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine.
# Safe to run again: every step checks first and does nothing when already done.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
third="$root/third_party"

packages=(
  cmake ninja-build dpkg-dev openssl python3 bc binutils procps
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine64 xvfb x11-utils imagemagick googletest
)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
apt_install() {
  echo "setup: installing $*"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then apt_install "${missing[@]}"; fi

# 32-bit programs under WoW64 need a kernel that starts 32-bit programs, which
# some virtual machines switch off; a three-instruction program asks the kernel
# itself. The answer goes to build/wow64 for the test and benchmark commands:
# "yes", or why not.
mkdir -p "$root/build"
probe=$(mktemp -d)
printf '.globl _start\n_start:\n movl $1, %%eax\n movl $42, %%ebx\n int $0x80\n' > "$probe/p.s"
as --32 -o "$probe/p.o" "$probe/p.s" && ld -m elf_i386 -o "$probe/p" "$probe/p.o"
said=$( { "$probe/p"; } 2>&1 ) && code=0 || code=$?
rm -rf "$probe"
if [ "$code" = 42 ]; then
  # A prefix made after this is a WoW64 prefix; wine64 then starts 32-bit programs too.
  if ! installed wine32:i386; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt_install wine32:i386
  fi
  echo yes > "$root/build/wow64"
else
  echo "the kernel does not start 32-bit programs (a 32-bit probe got exit $code${said:+: ${said##*: }})" \
    > "$root/build/wow64"
  echo "setup: 32-bit runs are skipped: $(cat "$root/build/wow64")"
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
