#!/bin/bash
# Builds the fuzz targets (clang 14, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs each for a number of
# seconds on a copy of its seed corpus. Fails when a target finds a crash,
# a leak or an input that takes longer than 10 s; the input is then left in
# build-fuzz/findings/<target>/ and the target's log shown.
# Usage: fuzz/run.sh [seconds per target (20)] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(config judge message group pop3 smtp nntp deflate imap bodystructure score)
build="build-fuzz"

./scripts/setup.sh fuzz
timeout 120 cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DVORPA_FUZZ=ON >/dev/null
timeout 1200 cmake --build $build -j2 --target "${targets[@]/%/_fuzz}"

passed=0
failed=0
for t in "${targets[@]}"; do
    corpus=$build/corpus/$t
    findings=$build/findings/$t
    log=$build/fuzz-$t.log
    rm -rf "$corpus" "$findings"
    mkdir -p "$corpus" "$findings"
    cp fuzz/corpus/"$t"/* "$corpus"/
    # The targets' own output (the reports of the code under test) is
    # closed; libFuzzer and the sanitizers still speak.
    if timeout -k 5 $((seconds + 60)) "$build/fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout=10 \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1; then
        passed=$((passed + 1))
        echo "fuzz: $t: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") runs, no fault"
    else
        failed=$((failed + 1))
        tail -n 40 "$log"
        echo "fuzz: $t: FAULT (log $log, input in $findings/)"
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
