#!/bin/sh
# Builds the library and its tests for a foreign Linux target with Debian's
# cross toolchain and runs them under qemu-user. Installs the toolchain and
# qemu-user when they are missing (through sudo unless root), and builds
# GoogleTest for the target from /usr/src/googletest.
# Usage: scripts/cross-test.sh i386|armhf|arm64 [build folder]
set -eu
cd "$(dirname "$0")/.."
arch=${1:-}
case $arch in
    i386) triple=i686-linux-gnu qemu=qemu-i386 ;;
    armhf) triple=arm-linux-gnueabihf qemu=qemu-arm ;;
    arm64) triple=aarch64-linux-gnu qemu=qemu-aarch64 ;;
    *) echo "usage: $0 i386|armhf|arm64 [build folder]" >&2; exit 2 ;;
esac
build=${2:-build-cross-$arch}
toolchain=$PWD/cmake/toolchains/$arch.cmake
started=$(date +%s)

scripts/need-packages.sh "g++-$triple" qemu-user googletest cmake ninja-build

# Debian's GoogleTest packages are for the build machine; the target's copy is
# built from the sources it ships.
gtest=$PWD/$build/googletest
if [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B "$gtest/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$gtest/install" \
        -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
    cmake --build "$gtest/build" -j2
    cmake --install "$gtest/build" >/dev/null
fi

cmake -S . -B "$build/vasq" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DGTest_DIR="$gtest/install/lib/cmake/GTest" \
    -DVASQ_BUILD_BENCHMARKS=OFF
cmake --build "$build/vasq" -j2
built=$(date +%s)

# Tests that need what qemu-user cannot give:
# - Lifecycle.AnotherProcessSkipsTheLockedPort, Lifecycle.ProgramThatExitsWithoutFreeSendsNothingMore, the StaleLock tests that
#   race, churn, kill or demote helper processes, the FrozenProgram tests (vasq-sim in a process of its own) and
#   Searches.APortThisUserMayNotOpenSaysAccess (a helper under another user) start more programs of the
#   target with posix_spawn; qemu-user emulates only the program it was given,
#   and the host cannot execute the child without a binfmt handler.
# - Lifecycle.ConnectFindsTheDeviceAndFreeReleasesIt,
#   Lifecycle.ConnectWithoutADeviceGivesUpAfterItsTimeout,
#   Unload.WhileConnectedSearchingOrIdle and Unload.UnderLoadLeavesNothingBehind
#   count /proc/self/task the instant the library has joined its threads; qemu-user wakes the joiner before the host
#   thread of the emulated one has gone, so the count can still include it.
excluded='Lifecycle\.AnotherProcessSkipsTheLockedPort|Lifecycle\.ProgramThatExitsWithoutFreeSendsNothingMore|Lifecycle\.ConnectFindsTheDeviceAndFreeReleasesIt'
excluded="$excluded|StaleLock\.KilledHolderLeavesThePortToTheNextProcessButALiveOneKeepsIt"
excluded="$excluded|StaleLock\.ProcessesRacingForOneStaleFileHaveExactlyOneWinner"
excluded="$excluded|StaleLock\.ProcessesChurningOnOnePortNeverHoldItTogether"
excluded="$excluded|StaleLock\.HolderThatCannotBeLookedIntoKeepsThePort|Unload\.UnderLoadLeavesNothingBehind"
excluded="$excluded|FrozenProgram\..*|Searches\.APortThisUserMayNotOpenSaysAccess"
excluded="^($excluded|Lifecycle\.ConnectWithoutADeviceGivesUpAfterItsTimeout|Unload\.WhileConnectedSearchingOrIdle)\$"
ctest --test-dir "$build/vasq" --output-on-failure -j4 -E "$excluded"
echo "cross-test $arch: build $((built - started)) s, tests $(( $(date +%s) - built )) s"
