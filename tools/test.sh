#!/usr/bin/env bash
# Installs what the machine lacks, builds everything and runs every test;
# then the fast tests again under the sanitizers and a short fuzz run.
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
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi

# tools/fuzz.sh builds with the same parallelism
export JOBS=${JOBS:-$(nproc)}

# The time of each stage, printed at the end (also when a stage fails), so
# that a run that grows slow shows where.
times=""
stage_start=$SECONDS
stage_done() {
    times+=$(printf '%-22s %5d s' "$1" $((SECONDS - stage_start)))$'\n'
    stage_start=$SECONDS
}
trap 'printf "\nstage times:\n%s%-22s %5d s\n" "$times" total "$SECONDS"' EXIT

# A one-line set() at the top of tests/CMakeLists.txt, as words.
test_list() {
    sed -n "s/^set($1 \(.*\))\$/\1/p" tests/CMakeLists.txt
}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$JOBS"
stage_done "release build"
ctest --test-dir build --output-on-failure -j "$JOBS"
stage_done "release tests"

# The sanitizer builds hold only the tests they run, and leave out the cases
# too slow under them (those ran above).
slow_cases=$(test_list TEVO_CASES_NOT_SANITIZED)
skip_slow=()
if [ -n "$slow_cases" ]; then
    skip_slow=(-E "^($(echo $slow_cases | sed 's/\./\\./g; s/ /|/g'))\$")
fi

# Memory checks under AddressSanitizer and UndefinedBehaviorSanitizer, of
# every test program not listed in TEVO_TESTS_NOT_SANITIZED.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEVO_SANITIZE=address,undefined
cmake --build build-asan -j "$JOBS" --target tests-sanitize
stage_done "asan build"
ctest --test-dir build-asan --output-on-failure -j "$JOBS" -L sanitize "${skip_slow[@]}" --no-tests=error
stage_done "asan tests"

# The threaded code under ThreadSanitizer.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEVO_SANITIZE=thread
cmake --build build-tsan -j "$JOBS" --target tests-tsan
stage_done "tsan build"
ctest --test-dir build-tsan --output-on-failure -j "$JOBS" -L tsan "${skip_slow[@]}" --no-tests=error
stage_done "tsan tests"

# A short fuzz run of every reader of outside input (clang, libFuzzer), so
# that a regression in a reader shows at once.
tools/fuzz.sh 30
stage_done "fuzz"
