#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, with the address and
# undefined-behaviour sanitizers) in build-fuzz/ and runs them from their
# seed corpora in fuzz/corpus/NAME/.
#   scripts/fuzz.sh                   every target for 30 seconds
#   scripts/fuzz.sh NAME [SECONDS]    one target (NAME without "fuzz_")
#   scripts/fuzz.sh all SECONDS       every target for SECONDS
# Targets run side by side, one per core. An input that fails a target is
# kept as build-fuzz/findings/NAME/crash-*; replay it with
#   build-fuzz/fuzz/fuzz_NAME build-fuzz/findings/NAME/crash-...
# The corpus that a run grows stays in build-fuzz/corpus/NAME/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh fuzz
which=${1:-all}
seconds=${2:-30}
dir=build-fuzz
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DZAXXLIB_SANITIZE=address -DZAXXLIB_FUZZ=ON \
      -DZAXXLIB_EXAMPLES=OFF "${launcher[@]}" >/dev/null
if [ "$which" = all ]; then
    names=()
    for f in fuzz/fuzz_*.cpp; do n=$(basename "$f" .cpp); names+=("${n#fuzz_}"); done
    cmake --build "$dir" -j"$(nproc)" --target fuzz_all
else
    names=("$which")
    cmake --build "$dir" -j"$(nproc)" --target "fuzz_$which"
fi

# CI starts every run from the same seed, so that a run it fails can be
# repeated; elsewhere each run takes a seed of its own.
seed=()
[ "${CI:-}" = true ] && seed=(-seed=1)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run_one() {
    local name=$1 work="$dir/corpus/$1" found="$dir/findings/$1"
    mkdir -p "$work" "$found" "$dir/logs"
    # No allocation above 256 MB: an input that makes one is a finding.
    "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -malloc_limit_mb=256 -print_final_stats=1 -artifact_prefix="$found/" "${seed[@]}" \
        "$work" "fuzz/corpus/$name" >"$dir/logs/$name.log" 2>&1
}

failed=()
pids=()
for name in "${names[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do sleep 0.5; done
    run_one "$name" &
    pids+=("$!:$name")
done
for entry in "${pids[@]}"; do
    wait "${entry%%:*}" || failed+=("${entry#*:}")
done

for name in "${names[@]}"; do
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/logs/$name.log" | tail -1)
    printf '%-14s %12s executions in %s s\n' "$name" "${runs:-?}" "$seconds"
done
if [ ${#failed[@]} -gt 0 ]; then
    for name in "${failed[@]}"; do
        echo "== fuzz_$name failed; its log ($dir/logs/$name.log) ends:"
        tail -40 "$dir/logs/$name.log"
    done
    exit 1
fi
