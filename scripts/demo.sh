#!/usr/bin/env bash
# The main job: builds the release program, then shows a whole uninstall.
#
# A sample game is laid out in a fresh Wine prefix as the platform's installer
# leaves it (files, descriptor, registry entries, desktop shortcut, Start-menu
# folder, shared cache folder, the platform's version file). A collector on
# loopback receives the telemetry. uninstall.exe is started from the game's
# folder as a user would, the confirmation is answered with OK, and the script
# prints what was removed, what stayed, the telemetry received and where the
# pictures of the boxes and of the progress window are. The game runs and
# takes one attempt to end, and its data holds a few thousand files, so the
# progress window shows both parts of the work: ending the game, then
# removing its files.
#
# The 32-bit release program is built into out/uninstall.exe, and it is the
# program that runs where the kernel starts 32-bit programs. It reports to its
# production host, so it runs with a host table of its own that names a
# loopback address for that host, where a collector with a certificate for
# it from the session's test authority listens, and in a network of its own
# that has no other way to resolve a name; the copy it starts inherits both.
# (Wine makes its sockets in its server, whose network is the machine's: the
# collector listens there.) Elsewhere the 64-bit test build of the same
# sources runs, pointed at the session's loopback collector. DEMO_RELEASE=<exe>
# runs another program of the release configuration the release way (a
# 64-bit build of it tries this path on a machine without 32-bit programs).
# With --pictures, the pictures also replace the documents' own (docs/pictures/),
# made small.
set -euo pipefail
pictures=no
[ "${1:-}" != --pictures ] || pictures=yes
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh"

cmake --preset release >/dev/null && cmake --build --preset release
cmake --preset test >/dev/null && cmake --build --preset test
mkdir -p out/demo
cp build/i686-release/uninstall.exe out/uninstall.exe
if [ -n "${DEMO_RELEASE:-}" ]; then
  program=$(readlink -f "$DEMO_RELEASE") release=yes
elif [ "$(cat build/wow64)" = yes ]; then
  program=$root/build/i686-release/uninstall.exe release=yes
else
  program=$root/build/x86_64-test/uninstall.exe release=no
fi

harness="$root/tests/harness"
# shellcheck source=../tests/harness/session.sh
source "$harness/session.sh"
echo "== Preparing a fresh Wine prefix (no host drive mapped)"
open_session uninstall-demo services

# shellcheck source=sample_game.sh
source "$root/scripts/sample_game.sh"
bin="$root/build/x86_64-test"
c="$WINEPREFIX/drive_c"
echo "== Laying out the sample game 'Demo Quest'"
lay_out_sample_game "$bin" "$program"
# Enough of the game's data for its removal to last a few seconds.
python3 "$root/bench/make_tree.py" "$SAMPLE_APP/data/assets" 400 8000
mkdir -p "$c/work/demo"
app=$SAMPLE_APP lib=$SAMPLE_LIB desktop=$SAMPLE_DESKTOP programs=$SAMPLE_PROGRAMS
platform=$SAMPLE_PLATFORM winapp=$SAMPLE_WINAPP
uninstall_key=$SAMPLE_UNINSTALL_KEY apppaths_key=$SAMPLE_APPPATHS_KEY

# As Explorer starts it: from a parent whose working folder is elsewhere, the
# game's folder its own working folder.
echo "== Starting the game, then uninstall.exe from the game's folder"
# The helper programs reach C:\bin through the first wine-run.
HELPER=load "$harness/wine-run.sh" "$bin/helper.exe" kernel32.dll || true
(cd "$app" && /usr/lib/wine/wine64 "${winapp}demoquest.exe" </dev/null >/dev/null 2>&1 &)
sleep 1
if [ "$release" = yes ]; then
  host=$(sed -n 's/^TELEMETRY_HOST:STRING=//p' "$(dirname "$program")/CMakeCache.txt" 2>/dev/null)
  host=${host:-collect.brimlake.com} certs=$SESSION_DIR/certs
  openssl req -newkey rsa:2048 -nodes -subj "/CN=$host" -keyout "$certs/release.key" -out "$certs/release.csr" 2>/dev/null
  printf 'subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\n' "$host" > "$certs/release.ext"
  openssl x509 -req -in "$certs/release.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" -CAcreateserial -days 2 \
    -extfile "$certs/release.ext" -out "$certs/release.pem" 2>/dev/null
  printf '127.0.0.1 localhost\n127.0.0.2 %s\n' "$host" > "$SESSION_DIR/hosts"
  python3 "$harness/services.py" --collector "$certs" release "$c/work/collector/requests.jsonl" 127.0.0.2 \
    </dev/null >/dev/null 2>&1 &
  echo $! >> "$SESSION_DIR/pids"
  for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.2/443) 2>/dev/null && break; sleep 0.1; done
  (cd "$c/work" && unshare -n -m sh -c 'mount --bind "$0" /etc/hosts && exec /usr/lib/wine/wine64 start /d "$1" "$2"' \
    "$SESSION_DIR/hosts" "${winapp%\\}" "${winapp}uninstall.exe" </dev/null >/dev/null 2>&1 &)
else
  (cd "$c/work" && /usr/lib/wine/wine64 start /d "${winapp%\\}" "${winapp}uninstall.exe" </dev/null >/dev/null 2>&1 &)
fi

look() { # picture box|window [first-words [bar]]
  # A picture of the box or the progress window once it shows so, as the X
  # display shows it; what it says goes to the demonstration's notes.
  local seen
  seen=$(HELPER=look "$harness/wine-run.sh" "$bin/helper.exe" "Demo Quest Unistall" "${@:2}" | tr -d '\r') || return 0
  sleep 0.3
  import -window "${seen%% *}" "out/demo/$1.png" 2>/dev/null || true
  [ "$2" = box ] || echo "${seen#* }" >> "$c/work/demo/progress.txt"
}
answer() { # button picture
  look "$2" box
  HELPER=answer "$harness/wine-run.sh" "$bin/helper.exe" "Demo Quest Unistall" "$1" 'C:\work\demo\boxes.txt'
}
answer ok confirmation
look progress-closing window Closing
look progress-removing window Removing 300
answer ok done
for _ in $(seq 100); do runs_in_prefix 'g_uninstall_' || break; sleep 0.2; done


echo
echo "== The boxes the user saw"
sed 's/^/   /' "$c/work/demo/boxes.txt"
echo
echo "== The progress window meanwhile (its lines, when pictured)"
sed 's/^/   /' "$c/work/demo/progress.txt" 2>/dev/null || echo "   (not seen)"
echo
echo "== What was removed and what stayed"
show() { # label unix-path
  if [ -e "$2" ]; then printf '   stayed   %s\n' "$1"; else printf '   removed  %s\n' "$1"; fi
}
show 'installation folder  C:\Games\Brimlake\Library\DemoQuest\app\' "$app"
show 'game root folder     C:\Games\Brimlake\Library\DemoQuest\' "$lib/DemoQuest"
show 'shared cache folder  C:\Games\Brimlake\Library\sdk_cache\7\' "$lib/sdk_cache/7"
show 'desktop shortcut     Desktop\Demo Quest.lnk' "$desktop/Demo Quest.lnk"
show 'Start-menu folder    Start Menu\Programs\DemoQuest\' "$programs/DemoQuest"
show "another game's cache C:\\Games\\Brimlake\\Library\\sdk_cache\\8\\" "$lib/sdk_cache/8"
show 'another game         C:\Games\Brimlake\Library\OtherGame\' "$lib/OtherGame"
show 'platform data        AppData\Local\Brimlake\app\brimlake.ini' "$platform/brimlake.ini"
for key in "$uninstall_key" "$apppaths_key"; do
  if sample_reg query "$key"; then printf '   stayed   %s\n' "$key"; else printf '   removed  %s\n' "$key"; fi
done
if runs_in_prefix demoquest.exe; then echo "   the game is still running"; else echo "   the running game was ended"; fi

echo
echo "== Telemetry received by the collector on loopback"
python3 - "$c/work/collector/requests.jsonl" <<'PY'
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    r = json.loads(line)
    body = bytes.fromhex(r.get("body_hex", "")).decode("utf-8", "replace")
    agent = next((header.split(":", 1)[1].strip() for header in r["header_text"].splitlines()
                  if header.lower().startswith("user-agent:")), "")
    print("   %s %s %s  (User-Agent: %s)" % (r["method"], r["path"], r["version"], agent))
    print("   " + body.rstrip("\n"))
PY
echo
echo "== Pictures of the boxes and the progress window"
echo "   $root/out/demo/confirmation.png"
echo "   $root/out/demo/progress-closing.png"
echo "   $root/out/demo/progress-removing.png"
echo "   $root/out/demo/done.png"
if [ $pictures = yes ]; then
  mkdir -p docs/pictures
  for picture in confirmation progress-closing progress-removing done; do
    [ -f "out/demo/$picture.png" ] && convert "out/demo/$picture.png" -strip "PNG8:docs/pictures/$picture.png"
  done
  echo "   copied, made small, to $root/docs/pictures/"
fi
echo
# The machine field of the program's PE header tells its architecture.
architecture() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read(4096)
machine = struct.unpack_from("<H", data, struct.unpack_from("<I", data, 0x3c)[0] + 4)[0]
print({0x14c: "32-bit (i686)", 0x8664: "64-bit (x86-64)"}.get(machine, hex(machine)))
PY
}
what=$([ "$release" = yes ] && echo "release configuration" || echo "test build, reporting to the loopback collector")
echo "program that ran: $program ($(architecture "$program"), $(stat -c %s "$program") bytes, $what)"
echo "release program:  $root/out/uninstall.exe ($(architecture out/uninstall.exe), $(stat -c %s out/uninstall.exe) bytes)"
[ "$release" = yes ] || echo "   (the 32-bit release program did not run: $(cat build/wow64))"
