#!/usr/bin/env bash
# Runs res_check.exe under Wine on the flashfile.exe beside it.
#   res_check.sh RES_CHECK_EXE WORK_DIR
set -u
exe=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
wine_env_init || exit 1
mkdir -p "$work"
cd "$(dirname "$exe")" || exit 1
wine "$(basename "$exe")" flashfile.exe 2>"$work/wine.err" | tr -d '\r'
status=${PIPESTATUS[0]}
[ "$status" = 0 ] || { echo "res_check failed (exit $status)"; tail -5 "$work/wine.err"; }
exit "$status"
