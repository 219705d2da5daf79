#!/usr/bin/env bash
# Installs what the benchmarks need (Google Benchmark, OpenBLAS for the
# comparison in bench-mul-mat, numpy for bench-mel's yardstick), then builds
# every benchmark into build-bench/.
# Usage: tools/bench-setup.sh   (set JOBS to change the build parallelism)
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -f /usr/include/x86_64-linux-gnu/openblas-pthread/cblas.h ] || [ -f /usr/include/openblas/cblas.h ] ||
    need+=(libopenblas-dev)
/usr/bin/python3 -c 'import numpy' 2>/dev/null || need+=(python3-numpy) # bench-mel's yardstick
/usr/bin/python3 -c 'import torch' 2>/dev/null || need+=(python3-torch) # bench-encoder-decoder's peer
dpkg -s libopenblas0 >/dev/null 2>&1 || need+=(libopenblas0)            # the BLAS torch runs on
if [ ${#need[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -q
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi

JOBS=${JOBS:-$(nproc)}
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTEVO_BUILD_BENCH=ON -DTEVO_BUILD_TESTS=OFF
cmake --build build-bench -j "$JOBS"
echo "benchmarks are in build-bench/bench/ (bench-mul-mat, bench-encoder-layer --per-op f16 1 4 8, ...)"
