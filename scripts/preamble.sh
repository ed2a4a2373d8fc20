# The start that scripts/demo, scripts/bench and scripts/test share, sourced:
# the repository as the current folder, the build folders (BUILD_ROOT, by
# default build/), the jobs (JOBS, by default 2), and which Windows build runs
# under which Wine here (tools/winrun/wine-env.sh asks the host once).
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
build_root=${BUILD_ROOT:-build}
case $build_root in /*) ;; *) build_root=$root/$build_root ;; esac
jobs=${JOBS:-2}
mkdir -p "$build_root"
. tools/winrun/wine-env.sh
win_build=$build_root/$WINE_ENV_PRESET

# For a run against modemsim: the Windows program that runs here, then the
# Linux build's targets given, quietly into a log; exits when the build fails.
#   build_for_run NAME TARGET...
build_for_run() {
    local name=$1 log=$build_root/$1-build.log
    shift
    echo "$name: building (log: $log)"
    {
        cmake --preset "$WINE_ENV_PRESET" -B "$win_build" &&
            cmake --build "$win_build" -j"$jobs" --target flashfile &&
            cmake --preset linux -B "$build_root/linux" -DFLASHFILE_WINDOWS_BUILD="$win_build" &&
            cmake --build "$build_root/linux" -j"$jobs" --target "$@"
    } >"$log" 2>&1 || {
        tail -n 40 "$log"
        echo "$name: the build failed (log: $log)"
        exit 1
    }
}
