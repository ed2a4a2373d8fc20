#!/usr/bin/env bash
# The version details that Windows shows in the file's properties, read back
# from the resources of the built program.
#   version_check.sh FLASHFILE_EXE
rc=$(i686-w64-mingw32-windres -J coff -O rc -i "$1" | sed 's/^ *//') || exit 1
status=0
while IFS= read -r want; do
  grep -qxF -- "$want" <<<"$rc" || { echo "missing: $want"; status=1; }
done <<'WANT'
FILEVERSION 1, 4, 6, 0
PRODUCTVERSION 1, 4, 6, 0
VALUE "FileVersion", "1.4f"
VALUE "ProductVersion", "1.4f"
VALUE "ProductName", "Quillmarch Flash Loader"
VALUE "FileDescription", "Quillmarch Flash Loader: rewrites a modem's flash over a COM port"
WANT
[ $status = 0 ] || sed -n '/VERSIONINFO/,/^END/p' <<<"$rc"
exit $status
