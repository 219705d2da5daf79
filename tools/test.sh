#!/usr/bin/env bash
# Installs what the machine lacks, builds everything and runs every test.
# Usage: tools/test.sh   (set JOBS to change the build parallelism)
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
if [ ${#need[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -q
    $SUDO DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi

JOBS=${JOBS:-$(nproc)}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$JOBS"

# Memory checks under AddressSanitizer and UndefinedBehaviorSanitizer on the
# fast tests, then the threaded code under ThreadSanitizer.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEVO_SANITIZE=address,undefined
cmake --build build-asan -j "$JOBS"
ctest --test-dir build-asan --output-on-failure -j "$JOBS" -L sanitize --no-tests=error

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEVO_SANITIZE=thread
tsan_targets=$(sed -n 's/^set(TEVO_TSAN_TESTS \(.*\))$/\1/p' tests/CMakeLists.txt)
cmake --build build-tsan -j "$JOBS" --target $tsan_targets
ctest --test-dir build-tsan --output-on-failure -j "$JOBS" -L tsan --no-tests=error

# A short fuzz run of every reader of outside input (clang, libFuzzer), so
# that a regression in a reader shows at once.
tools/fuzz.sh 30
