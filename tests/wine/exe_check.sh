#!/usr/bin/env bash
# What Windows sees of a built flashfile.exe, read without running it: the
# machine it is for, no DLL beyond Windows' own, the icon, the manifest and
# the version details.      exe_check.sh pei-i386|pei-x86-64 EXE
set -u
format=$1 exe=$2 bad=0
fail() { echo "$exe: $*"; bad=1; }
dump=$(x86_64-w64-mingw32-objdump -p "$exe") || exit 1
rc=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$exe") || exit 1
grep -q "file format $format\$" <<<"$dump" || fail "not a $format program"
for dll in $(sed -n 's/^\s*DLL Name: //p' <<<"$dump" | tr A-Z a-z); do
    case $dll in
    kernel32.dll | user32.dll | gdi32.dll | comdlg32.dll | msvcrt.dll) ;;
    *) fail "imports $dll, which is not one of Windows' own DLLs" ;;
    esac
done
for want in '109 14 /* RT_GROUP_ICON */' 'level=""highestAvailable"" uiAccess=""false""' \
    'FILEVERSION 1, 4, 6, 0' 'PRODUCTVERSION 1, 4, 6, 0' '"FileVersion", "1.4f"' \
    '"ProductVersion", "1.4f"' '"ProductName", "Quillmarch Flash Loader"' \
    '"FileDescription", "Quillmarch Flash Loader: rewrites a modem'"'"'s flash over a COM port"'; do
    grep -qF "$want" <<<"$rc" || fail "its resources lack $want"
done
[ $bad = 1 ] || echo "$exe: $format; Windows' own DLLs only; icon, manifest and version details"
exit $bad
