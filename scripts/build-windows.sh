#!/bin/sh
# Cross-builds Vasq9x64.dll and its tests with mingw-w64, then runs the tests
# under Wine in a private prefix, with a simulated Vasq9 on a pseudo-terminal
# mapped to COM7. Optional: a build folder as the first argument.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build-windows}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
scripts/need-packages.sh g++-mingw-w64-x86-64-posix wine64

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
cmake --build "$build" -j2

# The simulated device is a Linux program.
mkdir -p "$build/host"
sim="$build/host/vasq-sim"
if [ ! -x "$sim" ] || [ -n "$(find sim -newer "$sim" -name '*.[ch]*' | head -1)" ]; then
    # Only its serving is used here: neither --version nor a command after --.
    g++ -std=c++17 -O1 -pthread -Isim -DVASQ_SIM_VERSION='"host"' -DVASQ_SIM_INTERFACE='"host"' -DVASQ_SIM_HELPER_DIR='"."' sim/*.cpp -o "$sim"
fi

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/vasq-prefix-ready" ]; then
    "$wine" wineboot --init >/dev/null 2>&1
    # Windows without a display: Wine's null graphics driver.
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    "$wineserver" -w
    touch "$WINEPREFIX/vasq-prefix-ready"
fi

work=$(mktemp -d)
"$sim" --dir "$work" --port 0 >"$work/node" &
sim_pid=$!
# A second instrument, for two devices in one process.
"$sim" --dir "$work" --port 1 --serial 7-43 >"$work/node2" &
sim2_pid=$!
cleanup() {
    kill "$sim_pid" "$sim2_pid" 2>/dev/null || true
    wait "$sim_pid" "$sim2_pid" 2>/dev/null || true
    "$wineserver" -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
tries=0
while [ ! -s "$work/node" ] || [ ! -s "$work/node2" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
        echo "build-windows: the simulated device did not start" >&2
        exit 1
    fi
    sleep 0.1
done
# Wine takes COM ports, and any other device name, from the prefix's
# dosdevices links: the simulated device is COM7 and, under a USB interface
# path that the tests list in place of SetupAPI's, the Vasq9's interface.
# A second interface of the Vasq9's ids leads to a device that never answers.
pty=$(readlink -f "$(cat "$work/node")")
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com7"
ln -sfn "$pty" "$WINEPREFIX/dosdevices/usb#vid_04d8&pid_0000#vasq-sim"
ln -sfn /dev/null "$WINEPREFIX/dosdevices/usb#vid_04d8&pid_0000#silent"
pty2=$(readlink -f "$(cat "$work/node2")")
ln -sfn "$pty2" "$WINEPREFIX/dosdevices/com8"
ln -sfn "$pty2" "$WINEPREFIX/dosdevices/usb#vid_04d8&pid_0000#vasq-sim2"

VASQ_SIM_COM=COM7 VASQ_SIM_INTERFACE='\\?\usb#vid_04d8&pid_0000#vasq-sim' \
    VASQ_SIM2_INTERFACE='\\?\usb#vid_04d8&pid_0000#vasq-sim2' \
    VASQ_SILENT_INTERFACE='\\?\usb#vid_04d8&pid_0000#silent' ctest --test-dir "$build" --verbose -j2
