#!/usr/bin/env bash
# The real flashfile.exe under Wine on a virtual screen:
#  1. settings naming a modem and a load file: the window titled
#     "Quillmarch Flash Loader 1.4f" appears, shows "Quillmarch Flash Loader
#     Ver:1.4" and "Searching for Test Modem 56k.", and a close request
#     (Alt+F4) while the job is still searching ends the program with 0;
#  2. no settings: the window shows "Searching for the Modem." beside the
#     open-file dialog, and cancelling the dialog ends the program with 0.
# The texts are checked pixel for pixel against the same texts drawn by
# text_render.exe; the screenshots stay in WORK_DIR as *.png.
#   window_check.sh FLASHFILE_EXE WORK_DIR
set -u
exe=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
bin=$(dirname "$exe")
title="Quillmarch Flash Loader 1.4f"
. "$here/wine-env.sh"

failures=0
check() { # check CONDITION-EXIT-STATUS WHAT
    if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi
}

rm -rf "$work" && mkdir -p "$work" || exit 1
wine_private_prefix "$work/prefix" || exit 1
# COM1, the only port searched (command line "1"), does not exist, so the
# search ends at once.
wine_map_com COM1 "$work/no-such-port" || exit 1
wine_xvfb_start || exit 1
cleanup() { wine_stop; wine_xvfb_stop; }
trap cleanup EXIT

# wait_for NAME SECONDS: prints the X window of that exact title.
wait_for() {
    local i id
    for ((i = 0; i < $2 * 10; i++)); do
        id=$(xdotool search --name "^$1\$" 2>/dev/null | head -1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}

# wait_exit FILE SECONDS: the exit code the run wrote into FILE.
wait_exit() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        [ -s "$1" ] && { cat "$1"; return 0; }
        sleep 0.1
    done
    echo "none"
    return 1
}

# shows_lines PNG NAME LINE1 LINE2: the two lines, as the window draws them,
# are in the screenshot a quarter inch in from the window's left edge.
shows_lines() {
    local png=$1 name=$2 x_window=$5
    wine "$bin/text_render.exe" "$work/$name-expected.bmp" "$3" "$4" >/dev/null 2>"$work/$name-render.err" || return 1
    local at
    at=$(python3 "$here/find_picture.py" "$png" "$work/$name-expected.bmp") || return 1
    convert "$work/$name-expected.bmp" "$work/$name-expected.png"
    echo "     $name: $at"
    # found at X Y, drawn from PX PY: as far from the window's left edge as
    # from the picture's, where the lines start a quarter inch in.
    set -- ${at//,/}
    [ $(($3 - x_window)) = "$7" ]
}

# screen_shows WINDOW NAME LINE2 TRIES PAUSE: a screenshot (WORK/NAME.png)
# shows the first line and LINE2; looks again TRIES times in all, PAUSE
# seconds apart, since a busy machine may not have repainted yet.
screen_shows() {
    local i wx
    for ((i = 0; i < $4; i++)); do
        sleep "$5"
        import -window root "$work/$2.png"
        wx=$(xdotool getwindowgeometry "$1" | sed -n 's/ *Position: \([0-9-]*\),.*/\1/p')
        shows_lines "$work/$2.png" "$2" "Quillmarch Flash Loader Ver:1.4" "$3" "$wx" && return 0
    done
    return 1
}

start() { # start NAME: runs flashfile.exe from its own folder WORK/NAME
    local dir=$work/$1
    cp "$exe" "$dir/" || return 1
    (cd "$dir" && WINEDEBUG=-all,+debugstr,+msgbox wine flashfile.exe 1 >/dev/null 2>"$work/$1-trace.txt"
     echo $? >"$work/$1.exit") &
}

# --- 1: settings naming the modem and the load file ---------------------------
mkdir -p "$work/named"
printf '[FlashInfo]\r\nmodemname=Test Modem 56k\r\nfilename=modem.hex\r\n' >"$work/named/flashfile.ini"
printf 'S00F000068656C6C6F202020202000003C\r\nS9030000FC\r\n' >"$work/named/modem.hex"
start named
id=$(wait_for "$title" 60)
check $? "window titled \"$title\" appears"
if [ -n "$id" ]; then
    check "$([ "$(xdotool getwindowname "$id")" = "$title" ]; echo $?)" "its title is exactly \"$title\""
    screen_shows "$id" named "Searching for Test Modem 56k." 3 0.5
    check $? "the window shows \"Quillmarch Flash Loader Ver:1.4\" and \"Searching for Test Modem 56k.\" (named.png)"
    xdotool windowfocus "$id" && xdotool key alt+F4
    code=$(wait_exit "$work/named.exit" 60)
    check "$([ "$code" = 0 ]; echo $?)" "a close request while searching ends the program with exit code 0 (got $code)"
fi

# --- 2: no settings: the open-file dialog ---------------------------------------
mkdir -p "$work/plain"
start plain
id=$(wait_for "$title" 60)
check $? "window titled \"$title\" appears without settings"
dialog=$(wait_for "Choose File to Download" 60)
check $? "the open-file dialog \"Choose File to Download\" appears"
if [ -n "$id" ] && [ -n "$dialog" ]; then
    # Out of the way of the status lines (no window manager moves it). On a
    # busy machine Wine may still be placing the dialog when it is first
    # seen, so move it until it stays, and let the uncovered window repaint.
    for ((i = 0; i < 20; i++)); do
        xdotool windowmove "$dialog" 450 400
        sleep 0.5
        pos=$(xdotool getwindowgeometry "$dialog" | sed -n 's/ *Position: \([0-9-]*\),\([0-9-]*\).*/\1 \2/p')
        [ "$pos" = "450 400" ] && break
    done
    screen_shows "$id" plain "Searching for the Modem." 5 1
    check $? "the window shows \"Quillmarch Flash Loader Ver:1.4\" and \"Searching for the Modem.\" (plain.png)"
    xdotool windowfocus "$dialog" && xdotool key Escape
    code=$(wait_exit "$work/plain.exit" 60)
    check "$([ "$code" = 0 ]; echo $?)" "cancelling the dialog ends the program with exit code 0 (got $code)"
fi

echo "$failures failed"
[ "$failures" = 0 ]
