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

# Memory and thread checks on the library under sanitizers, on the fast tests.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTEVO_SANITIZE=address,undefined
cmake --build build-asan -j "$JOBS"
ctest --test-dir build-asan --output-on-failure -j "$JOBS" -L sanitize
