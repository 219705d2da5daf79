#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer), writes their seed corpora and runs each target
# for SECONDS (default 60), several at once.
#
# Usage: tools/fuzz.sh [SECONDS]
#   BUILD_DIR  build directory (default build-fuzz)
#   JOBS       build parallelism (default: the cores)
#   RUNS       targets fuzzed at once, one core each (default: the cores, at most 4)
#   TARGETS    the targets to run (default: all)
#   CORPUS_DIR where the corpora grow between runs (default BUILD_DIR/corpus)
# Crashes, leaks and time-outs are written to BUILD_DIR/findings/<target>/ and
# make the script fail; each run's log is BUILD_DIR/logs/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-60}
BUILD_DIR=${BUILD_DIR:-build-fuzz}
JOBS=${JOBS:-$(nproc)}
if [ -z "${RUNS:-}" ]; then
    RUNS=$(nproc)
    [ "$RUNS" -gt 4 ] && RUNS=4
fi
ALL_TARGETS="model-file model-buffer vad-model worker tokenizer suppress-pattern grammar sched"
TARGETS=${TARGETS:-$ALL_TARGETS}
CORPUS_DIR=${CORPUS_DIR:-$BUILD_DIR/corpus}

# clang and its libFuzzer runtime, from Debian's packages
need=()
command -v clang++ >/dev/null 2>&1 || need+=(clang)
if ! compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
    need+=(libclang-rt-dev)
fi
command -v cmake >/dev/null 2>&1 || need+=(cmake)
if [ ${#need[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -q
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTEVO_SANITIZE=address,undefined -DKESTU_FUZZ=ON -DTEVO_BUILD_TESTS=OFF >/dev/null
fuzz_programs=()
for t in $TARGETS; do fuzz_programs+=("fuzz-$t"); done
cmake --build "$BUILD_DIR" -j "$JOBS" --target kestu-fuzz-seeds "${fuzz_programs[@]}"

# seeds are made afresh; what the runs found stays in the corpus directory
SEEDS="$BUILD_DIR/seeds"
rm -rf "$SEEDS"
"$BUILD_DIR/tests/fuzz/kestu-fuzz-seeds" "$SEEDS" models >/dev/null
mkdir -p "$BUILD_DIR/logs" "$BUILD_DIR/findings"

# per-target options: the longest input worth trying, and a time limit per
# input (the suppress pattern is matched by a backtracking engine)
options_of() {
    case "$1" in
        model-file|model-buffer) echo "-max_len=16384 -timeout=20" ;;
        vad-model)               echo "-max_len=1048576 -timeout=20" ;;
        worker)                  echo "-max_len=262144 -timeout=60" ;;
        suppress-pattern)        echo "-max_len=4096 -timeout=2" ;;
        sched)                   echo "-max_len=2048 -timeout=20" ;;
        *)                       echo "-max_len=8192 -timeout=10" ;;
    esac
}

run_one() {
    local t=$1
    local corpus="$CORPUS_DIR/$t" findings="$BUILD_DIR/findings/$t"
    mkdir -p "$corpus" "$findings"
    local seeds="$SEEDS/$t"
    [ -d "$seeds" ] || seeds=""
    # the sanitizers report through libFuzzer: a leak, a read out of bounds or
    # undefined behaviour ends the run with the input saved in findings/
    local rc=0
    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:detect_stack_use_after_return=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    TEVO_NO_BACKTRACE=1 \
        "$BUILD_DIR/tests/fuzz/fuzz-$t" $(options_of "$t") -max_total_time="$SECONDS_EACH" \
        -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$findings/" \
        "$corpus" $seeds >"$BUILD_DIR/logs/$t.log" 2>&1 || rc=$?
    echo "$rc" >"$BUILD_DIR/logs/$t.rc"
}

for t in $TARGETS; do
    # at most RUNS at once
    while [ "$(jobs -rp | wc -l)" -ge "$RUNS" ]; do
        wait -n || true
    done
    rm -f "$BUILD_DIR/logs/$t.rc"
    run_one "$t" &
done
wait

status=0
for t in $TARGETS; do
    rc=$(cat "$BUILD_DIR/logs/$t.rc" 2>/dev/null || echo 1)
    result=ok
    if [ "$rc" != 0 ]; then
        result=FAILED
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$BUILD_DIR/logs/$t.log" | tail -1)
    printf '%-18s %-6s %s executions\n' "$t" "$result" "${runs:-?}"
    if [ "$result" = FAILED ]; then
        grep -E "^==[0-9]+==ERROR|SUMMARY|fuzz rule broken|Test unit written|Slowest unit" \
            "$BUILD_DIR/logs/$t.log" | head -8 || true
    fi
done
exit $status
