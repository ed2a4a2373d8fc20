#!/usr/bin/env bash
# The first COM port taken from real process command lines: cmdline_launch.exe
# starts flashfile.exe with CreateProcessA (wine itself would rewrite the
# line) and checks the port of each run's first search trace.
#   cmdline_check.sh CMDLINE_LAUNCH_EXE WORK_DIR
set -u
exe=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/winrun/wine-env.sh"
rm -rf "$work" && mkdir -p "$work" || exit 1
# A prefix and a screen of its own: the window needs a display, and the
# server that goes with it must not outlive the test.
wine_private_prefix "$work/prefix" || exit 1
wine_xvfb_start || exit 1
trap 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; wine_xvfb_stop' EXIT
cd "$work" && wine "$exe" 2>launch.err | tr -d '\r'
rc=${PIPESTATUS[0]}
[ "$rc" = 0 ] || tail -5 launch.err
exit "$rc"
