#!/usr/bin/env bash
# The Windows installer under wine, as a user without administrator rights meets it: a silent
# install, the installed program started (its window must appear), a silent uninstall, and then
# neither the folder nor the uninstall entry may remain. Prints "installer under wine: passed".
# Needs WINEPREFIX (a prepared prefix with its server up) and DISPLAY (an X server).
#   tests/wine/installer.sh SETUP.exe
set -euo pipefail
setup=$1
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quarlex'
fail() {
  echo "installer under wine: FAILED: $*" >&2
  exit 1
}

# The per-user default folder: %LOCALAPPDATA%\Programs\Quarlex.
local_app_data=$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')
folder=$(winepath -u "$local_app_data\\Programs\\Quarlex" 2>/dev/null)
wine "$setup" /S || fail "the silent install exited with $?"
[ -f "$folder/quarlex.exe" ] || fail "no $folder/quarlex.exe after the install"
[ -f "$folder/platforms/qwindows.dll" ] || fail "no platforms/qwindows.dll"
[ -f "$folder/uninstall.exe" ] || fail "no uninstall.exe"
# The program's own terms beside Qt's (the installer writes them as Notepad reads them, CR LF).
licence=$(dirname "$0")/../../LICENSE
tr -d '\r' <"$folder/licenses/Quarlex.txt" | cmp -s - "$licence" || fail "licenses/Quarlex.txt is not the program's LICENSE"
[ -f "$folder/licenses/Qt/LGPL-3.0-only.txt" ] || fail "no licenses/Qt/LGPL-3.0-only.txt"
menu=$(winepath -u "$(wine cmd /c echo %APPDATA% 2>/dev/null | tr -d '\r')\\Microsoft\\Windows\\Start Menu\\Programs" 2>/dev/null)
[ -f "$menu/Quarlex.lnk" ] || fail "no Start-menu entry in $menu"
entry=$(wine reg query "$key" 2>/dev/null | tr -d '\r')
grep -q 'DisplayVersion.*REG_SZ' <<<"$entry" || fail "the uninstall entry has no version: $entry"
grep -q 'Publisher.*REG_SZ.*Quarlex' <<<"$entry" || fail "the uninstall entry has no publisher: $entry"

# The installed program starts and shows its window (in a wine desktop of its own).
wine explorer /desktop=setup,1100x700 "$folder/quarlex.exe" >/dev/null 2>&1 &
app=$!
win=""
for _ in $(seq 150); do
  win=$(xdotool search --onlyvisible --name 'Quarlex$' 2>/dev/null | head -n 1 || true)
  [ -n "$win" ] && break
  sleep 0.2
done
[ -n "$win" ] || fail "the installed program showed no window"
# Closed as a user closes it: Alt+F4 goes to the window that has the focus, the program's.
sleep 1
xdotool key --clearmodifiers alt+F4 || true
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$app" 2>/dev/null; then
  wine taskkill /f /im quarlex.exe >/dev/null 2>&1 || true
  fail "the installed program did not close on Alt+F4"
fi
wait "$app" 2>/dev/null || true

wine "$folder/uninstall.exe" /S || fail "the silent uninstall exited with $?"
# The uninstaller runs a copy of itself from the temporary folder and returns at once.
for _ in $(seq 100); do [ -e "$folder" ] || break; sleep 0.1; done
[ ! -e "$folder" ] || fail "$folder is still there: $(ls -A "$folder")"
[ ! -e "$menu/Quarlex.lnk" ] || fail "the Start-menu entry is still there"
if wine reg query "$key" >/dev/null 2>&1; then fail "the uninstall entry is still there"; fi
echo "installer under wine: passed"
