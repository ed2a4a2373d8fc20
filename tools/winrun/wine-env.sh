# The Wine set-up of winrun.py (the demo and the end-to-end tests) and of
# the Wine tests. Source it from bash:  . tools/winrun/wine-env.sh
#
#   wine_env_init           make the shared prefix once (locked), export WINE*
#   wine_private_prefix D   clone the shared prefix into D and use it, so that
#                           runs side by side never share a server or ports
#   wine_xvfb_start         start Xvfb on a free display, export DISPLAY
#   wine_xvfb_stop          stop the Xvfb started above
#   wine_env_says           which program runs under which Wine, and why
#
# Which Wine: a host whose kernel runs no 32-bit code cannot start the 32-bit
# Wine, and /usr/bin/wine picks that one whenever it is installed. So the
# host is asked once, by running a tiny i386 program: where it runs, the
# 32-bit product runs under the 32-bit Wine; where it does not, the
# windows64 build runs under wine64, called directly, in a 64-bit prefix.
# The answer is exported, so the commands started from here ask no more.
#
# Variables (all may be set before sourcing):
#   FLASHFILE_WINE    32 or 64 chooses by hand, on any host; empty: the host decides
#   WINEPREFIX        default <repository>/build/wineprefix32 or wineprefix64
#   WINEDEBUG         default -all (silent). For the program's traces use
#                     WINEDEBUG=-all,+debugstr,+msgbox : each OutputDebugStringA
#                     and each message box text then shows on stderr.
#   WINEDLLOVERRIDES  mscoree,mshtml= so no Mono/Gecko install dialog appears.
# Set here: WINE_ENV_BITS (32 or 64), WINE_ENV_PRESET (windows or windows64),
# WINELOADER and WINESERVER (the Wine and its server, called directly), WINEARCH.

WINE_ENV_REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

# True when the kernel runs i386 code: a 91-byte static i386 program that
# exits with 42. Written under build/, as /tmp may forbid running programs.
wine_host_runs_i386() {
    local probe="$WINE_ENV_REPO/build/.i386-probe"
    mkdir -p "${probe%/*}" || return 1
    local elf='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00'
    elf+='\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00'
    elf+='\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80'
    elf+='\x04\x08\x5b\x00\x00\x00\x5b\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb3\x2a\x31\xc0'
    elf+='\x40\xcd\x80'
    printf "$elf" >"$probe" && chmod +x "$probe" || return 1
    "$probe" 2>/dev/null
    [ $? = 42 ]
}

if [ -z "${WINE_ENV_BITS:-}" ]; then
    case ${FLASHFILE_WINE:-} in
    32 | 64) WINE_ENV_BITS=$FLASHFILE_WINE WINE_ENV_WHY="FLASHFILE_WINE=$FLASHFILE_WINE" ;;
    *) if wine_host_runs_i386; then
           WINE_ENV_BITS=32 WINE_ENV_WHY="this host runs 32-bit code"
       else
           WINE_ENV_BITS=64 WINE_ENV_WHY="this host runs no 32-bit code"
       fi ;;
    esac
    export WINE_ENV_BITS WINE_ENV_WHY
fi
if [ "$WINE_ENV_BITS" = 64 ]; then
    export WINE_ENV_PRESET=windows64 WINEARCH=win64
    export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
else
    export WINE_ENV_PRESET=windows WINEARCH=win32
    export WINELOADER=/usr/lib/wine/wine WINESERVER=/usr/lib/wine/wineserver32
fi
export WINEPREFIX="${WINEPREFIX:-$WINE_ENV_REPO/build/wineprefix$WINE_ENV_BITS}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINE_ENV_BASE="$WINEPREFIX"

wine_env_says() {
    if [ "$WINE_ENV_BITS" = 64 ]; then
        echo "flashfile.exe 64-bit build under wine64: $WINE_ENV_WHY"
    else
        echo "flashfile.exe 32-bit under Wine: $WINE_ENV_WHY"
    fi
}

# Empty when this Wine and its server start; else one line that says why
# not and what to install.
wine_cannot_start() {
    local p why
    for p in "$WINELOADER" "$WINESERVER"; do
        why=$("$p" --version 2>&1 >/dev/null) && continue
        why=$(printf '%s' "${why:-exit status $?}" | head -n 1)
        why=${why#*"$p": } # bash's own words before the reason
        [ -e "$p" ] || why="not installed"
        if [ "$WINE_ENV_BITS" = 64 ]; then
            echo "Wine cannot start here: $p: $why. Install Debian's wine64 (scripts/install-deps, as root)."
        else
            echo "Wine cannot start here: $p: $why. Install wine32:i386 on a host that runs 32-bit code, or set FLASHFILE_WINE=64 to use wine64."
        fi
        return 0
    done
}

# Makes $WINE_ENV_BASE once; concurrent callers wait on the lock and reuse it.
wine_env_init() {
    mkdir -p "$(dirname "$WINE_ENV_BASE")" || return 1
    (
        flock -w 600 9 || { echo "wine-env: lock on $WINE_ENV_BASE timed out" >&2; exit 1; }
        if [ ! -f "$WINE_ENV_BASE/.flashfile-ready" ]; then
            local why
            why=$(wine_cannot_start)
            [ -z "$why" ] || { echo "wine-env: $why" >&2; exit 1; }
            rm -rf "$WINE_ENV_BASE"
            WINEPREFIX="$WINE_ENV_BASE" "$WINELOADER" wineboot.exe -i >/dev/null 2>&1 || true
            WINEPREFIX="$WINE_ENV_BASE" "$WINESERVER" -w
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
