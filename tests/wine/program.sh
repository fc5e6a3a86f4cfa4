#!/usr/bin/env bash
# The real program under wine, unpacked from the zip, on a COM port whose far end is a Linux
# pseudo-terminal (tests/wine/serial_peer.py): started with --port N --connect --autosave in a
# wine virtual desktop, it must take the peer's 100,000 bytes and save them with Ctrl+S byte for
# byte (SHA-256), send a line typed in the send box to the peer exactly, and save at WM_CLOSE
# (Autosave on) what it had not saved yet. Leaves a screenshot of the window with data.
# Needs WINEPREFIX with COM<N> mapped to the peer, DISPLAY, and the peer's files.
#   tests/wine/program.sh PROGRAM_FOLDER N PEER_RECEIVED PEER_GO SHOT.png
set -euo pipefail
folder=$1 port=$2 received=$3 go=$4 shot=$5
step() { echo "program under wine: $*"; }
fail() {
  echo "program under wine: FAILED: $*" >&2
  echo "windows:" $(xdotool search --name . 2>/dev/null | while read -r w; do echo "[$(xdotool getwindowname "$w")]"; done) >&2
  import -window root "${shot%.png}-failed.png" 2>/dev/null && echo "screen: ${shot%.png}-failed.png" >&2
  exit 1
}
captures() { { find "$folder" -maxdepth 1 -name "COM${port}_*.data" 2>/dev/null || true; } | wc -l; }

(cd "$folder" && exec wine explorer /desktop=quarlex,1300x900 quarlex.exe --port "$port" --connect --autosave) \
  >"$folder/../program.log" 2>&1 &
app=$!
cleanup() {
  if kill -0 "$app" 2>/dev/null; then
    wine taskkill /f /im quarlex.exe >/dev/null 2>&1 || true
    kill "$app" 2>/dev/null || true
  fi
}
trap cleanup EXIT
win=""
for _ in $(seq 300); do
  win=$(xdotool search --onlyvisible --name 'Quarlex$' 2>/dev/null | head -n 1 || true)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || fail "no window: $(cat "$folder/../program.log")"
desktop=$(xdotool search --name '^quarlex - Wine desktop' 2>/dev/null | head -n 1 || true)
step "window up after ${SECONDS} s"

# Connected once a second process (the program's, beside the peer's) holds the port's terminal.
tty=$(readlink "$WINEPREFIX/dosdevices/com$port")
holders() { find /proc/[0-9]*/fd -lname "$tty" 2>/dev/null | cut -d/ -f3 | sort -u | wc -l; }
for _ in $(seq 200); do [ "$(holders)" -ge 2 ] && break; sleep 0.05; done
[ "$(holders)" -ge 2 ] || fail "the program did not open COM$port ($tty): $(cat "$folder/../program.log")"
step "connected to COM$port after ${SECONDS} s"
touch "$go"
for _ in $(seq 50); do [ -s "$go.sha256" ] && break; sleep 0.1; done
[ -s "$go.sha256" ] || fail "the peer did not start writing"
want=$(cut -d' ' -f1 "$go.sha256")
xdotool windowactivate --sync "${desktop:-$win}" >/dev/null 2>&1 || true
# Interval saves chain: together the files hold every byte once. Save until they hold all.
size=0
for _ in $(seq 40); do
  before=$(captures)
  xdotool key --clearmodifiers ctrl+s
  for _ in $(seq 100); do [ "$(captures)" -gt "$before" ] && break; sleep 0.05; done
  [ "$(captures)" -gt "$before" ] || fail "Ctrl+S wrote no file: $(cat "$folder/../program.log")"
  (cd "$folder" && cat $(ls -tr -- COM"${port}"_*.data)) >"$folder/../all"
  size=$(stat -c %s "$folder/../all")
  [ "$size" -ge 100000 ] && break
  sleep 0.5
done
got=$(sha256sum <"$folder/../all" | cut -d' ' -f1)
[ "$got" = "$want" ] || fail "the saved $size bytes differ from the peer's 100000 (sha256 $got, want $want)"
step "Ctrl+S saved the peer's 100000 bytes in $(captures) file(s), sha256 $got"

sleep 1  # let the grid draw the last bytes
import -window root "$shot" 2>/dev/null || xwd -root -silent | convert xwd:- "$shot"
step "screenshot $shot"

# A line typed in the send box (Tab reaches it from the grid; the box reads hex by default).
line="48 45 4C 4C 4F 0D 0A"
xdotool type --delay 20 "$line"
xdotool key Return
for _ in $(seq 100); do [ "$(stat -c %s "$received")" -ge 7 ] && break; sleep 0.05; done
printf 'HELLO\r\n' >"$folder/../typed"
cmp -s "$received" "$folder/../typed" || fail "the peer got $(od -An -tx1 "$received") for the typed line"
step "the typed line reached the peer exactly"

# WM_CLOSE with Autosave on: what was not saved yet (the sent line) goes to one more file.
before=$(captures)
xdotool key --clearmodifiers alt+F4
for _ in $(seq 150); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && fail "the program did not close"
[ "$(captures)" -gt "$before" ] || fail "closing with Autosave on saved nothing"
last=$(cd "$folder" && ls -t -- COM"${port}"_*.data | head -n 1)
cmp -s "$folder/$last" "$folder/../typed" || fail "the save at close holds $(od -An -tx1 "$folder/$last")"
step "closing with Autosave on saved the unsaved bytes ($last)"
