#!/usr/bin/env bash
# The portable INI reader against the real GetPrivateProfileStringA: both
# read every key of the awkward files that ini_cases.py writes, and every
# answer (count and text) must be the same.
#   ini_agreement.sh INI_DUMP_EXE WORK_DIR INI_DUMP_LINUX
set -u
exe=$1 work=$2 linux_tool=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
wine_env_init || exit 1
rm -rf "$work" && mkdir -p "$work" || exit 1
python3 "$here/ini_cases.py" "$work" || exit 1
cd "$work" || exit 1
wine "$exe" queries.txt 2>wine.err | tr -d '\r' >wine.txt
[ "${PIPESTATUS[0]}" = 0 ] || { echo "ini_dump.exe failed"; tail -5 wine.err; exit 1; }
"$linux_tool" queries.txt >linux.txt || { echo "ini_dump (Linux) failed"; exit 1; }
queries=$(grep -c . queries.txt)
answers=$(grep -c . wine.txt)
if [ "$answers" != "$queries" ]; then
    echo "Wine answered $answers of $queries queries"
    exit 1
fi
if ! diff -u wine.txt linux.txt; then
    echo "the portable reader disagrees with GetPrivateProfileStringA (- Wine, + portable)"
    exit 1
fi
echo "$queries queries over $(ls *.ini | wc -l) files: the portable reader agrees with GetPrivateProfileStringA"
