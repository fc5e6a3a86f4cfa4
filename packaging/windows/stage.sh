#!/usr/bin/env bash
# Puts together what the Windows program needs beside it, in the folder the zip and the
# installer are made from: quarlex.exe, the Qt DLLs and plugin it loads, the mingw runtime DLLs
# they import, and the licence texts. Which DLLs: the imports of the program and of the plugin,
# followed until only Windows' own DLLs remain.
#   stage.sh EXE QT_PREFIX OBJDUMP STRIP OUT NOTICE LICENSE
set -euo pipefail
exe=$1 qt=$2 objdump=$3 strip=$4 out=$5 notice=$6 license=$7
# Where the mingw runtime DLLs live in Debian's mingw-w64 packages (posix threads); on MSYS2 they sit beside the toolchain's programs.
runtime_dirs=(/usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib "$(dirname "$(command -v "$objdump")")")

rm -rf "$out"
mkdir -p "$out/platforms" "$out/licenses/Qt"
cp "$exe" "$out/"
# Only the Windows platform plugin: the window draws its own style (Fusion) and reads no image
# formats beyond the built-in PNG.
cp "$qt/plugins/platforms/qwindows.dll" "$out/platforms/"

find_dll() {
  local name=$1 d
  for d in "$qt/bin" "${runtime_dirs[@]}"; do
    [ -f "$d/$name" ] && { echo "$d/$name"; return 0; }
  done
  return 1
}

todo=("$out/quarlex.exe" "$out/platforms/qwindows.dll")
declare -A seen=()
while [ ${#todo[@]} -gt 0 ]; do
  file=${todo[0]}
  todo=("${todo[@]:1}")
  while read -r name; do
    key=${name,,}
    [ -n "${seen[$key]:-}" ] && continue
    seen[$key]=1
    if src=$(find_dll "$name"); then
      cp "$src" "$out/$name"
      todo+=("$out/$name")
    fi
  done < <("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p')
done

# Debug information stays in the build folder; users get the code (a third of the size).
find "$out" -name '*.exe' -o -name '*.dll' | while read -r f; do "$strip" --strip-debug "$f"; done
cp "$qt"/licenses/* "$out/licenses/Qt/"
cp "$notice" "$out/README.txt"
cp "$license" "$out/licenses/Quarlex.txt"
# Line ends as Notepad expects them.
sed -i 's/$/\r/' "$out/README.txt" "$out/licenses/Quarlex.txt"
ls "$out"

# What the uninstaller removes: exactly the files installed (captures the user saved in the
# program's folder stay, and with them the folder).
{
  (cd "$out" && find . -type f | sort | sed 's|^\./||; s|/|\\|g; s|^|  Delete "$INSTDIR\\|; s|$|"|')
  (cd "$out" && find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|^|  RMDir "$INSTDIR\\|; s|$|"|')
} >"$out.nsh"
