# The Wine set-up of winrun.py (the demo and the end-to-end tests) and of
# the Wine tests. Source it from bash:  . tools/winrun/wine-env.sh
#
#   wine_env_init           make the shared prefix once (locked), export WINE*
#   wine_private_prefix D   clone the shared prefix into D and use it, so that
#                           runs side by side never share a server or ports
#   wine_xvfb_start         start Xvfb on a free display, export DISPLAY
#   wine_xvfb_stop          stop the Xvfb started above
#   wine_run_private D EXE  run EXE in folder D with a prefix and a screen of
#                           its own, gone afterwards; EXE's exit status
#
# Variables (all may be set before sourcing):
#   WINEPREFIX        default <repository>/build/wineprefix
#   WINEDEBUG         default -all (silent). For the program's traces use
#                     WINEDEBUG=-all,+debugstr,+msgbox : each OutputDebugStringA
#                     and each message box text then shows on stderr.
#   WINEDLLOVERRIDES  mscoree,mshtml= so no Mono/Gecko install dialog appears.
#   WINEARCH          not set: the installed 32-bit Wine makes a 32-bit
#                     prefix, which runs the 32-bit program.

WINE_ENV_REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$WINE_ENV_REPO/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINE_ENV_BASE="$WINEPREFIX"

# Makes $WINE_ENV_BASE once; concurrent callers wait on the lock and reuse it.
wine_env_init() {
    mkdir -p "$(dirname "$WINE_ENV_BASE")" || return 1
    (
        flock -w 600 9 || { echo "wine-env: lock on $WINE_ENV_BASE timed out" >&2; exit 1; }
        if [ ! -f "$WINE_ENV_BASE/.flashfile-ready" ]; then
            rm -rf "$WINE_ENV_BASE"
            WINEPREFIX="$WINE_ENV_BASE" wineboot -i >/dev/null 2>&1 || true
            WINEPREFIX="$WINE_ENV_BASE" wineserver -w
            [ -f "$WINE_ENV_BASE/system.reg" ] || { echo "wine-env: wineboot failed" >&2; exit 1; }
            touch "$WINE_ENV_BASE/.flashfile-ready"
        fi
        # Wine looks for its own fonts (Debian's fonts-wine) in the prefix's
        # Fonts folder; without Marlett the caption buttons show as letters.
        local fonts="$WINE_ENV_BASE/drive_c/windows/Fonts"
        if [ -d /usr/share/wine/fonts ] && [ ! -f "$fonts/marlett.ttf" ]; then
            mkdir -p "$fonts" && cp /usr/share/wine/fonts/* "$fonts/"
        fi
    ) 9>"$WINE_ENV_BASE.lock"
}

# A private copy of the shared prefix, for tests that change the registry
# or restart the server; much cheaper than a fresh wineboot.
wine_private_prefix() {
    local dir="$1"
    case "$dir" in /*) ;; *) dir="$PWD/$dir" ;; esac # Wine wants it absolute
    wine_env_init || return 1
    rm -rf "$dir" && mkdir -p "$(dirname "$dir")" || return 1
    (
        flock -s -w 600 9 || exit 1
        # The big DLL folders are hard links (Wine only reads them); every
        # other file is a real copy, so the clone never writes into the base.
        cp -al "$WINE_ENV_BASE" "$dir" || exit 1
        find "$dir" \( -path "$dir/drive_c/windows/system32" -o -path "$dir/drive_c/windows/syswow64" \
                 -o -path "$dir/drive_c/windows/winsxs" \) -prune -o -type f -links +1 -print0 |
            while IFS= read -r -d '' f; do cp -p "$f" "$f.copy" && mv -f "$f.copy" "$f"; done
    ) 9>"$WINE_ENV_BASE.lock" || return 1
    export WINEPREFIX="$dir"
}

# Xvfb picks a free display itself (-displayfd), so parallel tests never clash.
WINE_XVFB_PID=
wine_xvfb_start() {
    local fifo n
    fifo="$(mktemp -u)"
    mkfifo "$fifo" || return 1
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    WINE_XVFB_PID=$!
    read -r -t 30 n <"$fifo"
    rm -f "$fifo"
    if [ -z "$n" ]; then
        echo "wine-env: Xvfb did not start" >&2
        wine_xvfb_stop
        return 1
    fi
    export DISPLAY=":$n"
}

wine_xvfb_stop() {
    if [ -n "$WINE_XVFB_PID" ]; then
        kill "$WINE_XVFB_PID" 2>/dev/null
        wait "$WINE_XVFB_PID" 2>/dev/null
        WINE_XVFB_PID=
    fi
    return 0
}

# For programs that start others (the window needs a display, and the server
# that goes with it must not outlive the run, even one that is killed).
wine_run_private() {
    local dir="$1" rc
    shift
    rm -rf "$dir" && mkdir -p "$dir" && wine_private_prefix "$dir/prefix" || return 1
    trap 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; wine_xvfb_stop' EXIT
    wine_xvfb_start || return 1
    (cd "$dir" && wine "$@" 2>wine.err | tr -d '\r'; exit "${PIPESTATUS[0]}")
    rc=$?
    [ "$rc" = 0 ] || tail -5 "$dir/wine.err"
    return "$rc"
}
