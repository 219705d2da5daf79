#!/usr/bin/env bash
# Builds the worker and runs it on the shipped model over every sample clip,
# printing what it heard beside what was said.
# Usage: tools/demo.sh   (installs what the machine lacks, like tools/test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
# the build directory is shared with tools/test.sh, which builds the tests
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -x /usr/bin/python3 ] || need+=(python3)
if [ ${#need[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -q
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target kestu-worker

clips=()
while IFS=$'\t' read -r file _; do
    [ "$file" = file ] || clips+=("models/samples/$file")
done < models/samples/samples.tsv

echo
/usr/bin/python3 tools/kestu-client.py --worker build/worker/kestu-worker --tsv \
        models/digits-tiny-f16.bin "${clips[@]}" |
    awk -F'\t' '
        NR == FNR { if (FNR > 1) said[$1] = $2; next }
        BEGIN { printf "%-8s %-34s %-34s\n", "clip", "heard", "said" }
        {
            n++; if ($2 == said[$1]) right++
            printf "%-8s %-34s %-34s %s\n", $1, $2, said[$1], ($2 == said[$1] ? "" : "<- differs")
        }
        END { printf "\n%d of %d clips heard as said\n", right, n }
    ' models/samples/samples.tsv -
