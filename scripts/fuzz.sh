#!/usr/bin/env bash
# Builds the codec's libFuzzer targets with clang and runs each for FUZZ_SECONDS seconds
# on a working copy of the seed corpus. Exits non-zero on any crash, sanitizer report,
# broken invariant or hang. Findings stay in FUZZ_DIR (crash-*, timeout-*, leak-* files).
set -euo pipefail

cd "$(dirname "$0")/.."
fuzz_dir=${FUZZ_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=(fuzz_decoder fuzz_encoder)

for tool in clang clang++; do
    command -v "$tool" >/dev/null || { echo "$tool not found: run 'make deps-fuzz'" >&2; exit 1; }
done

CC=clang CXX=clang++ cmake -S . -B "$fuzz_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVA_FUZZ=ON -DKORVA_BUILD_TESTS=OFF -DKORVA_BUILD_BENCH=OFF >/dev/null
cmake --build "$fuzz_dir" -j "$(nproc)" --target "${targets[@]}"

# Generated inputs go to the working copy only; the committed seeds stay as they are.
# A decoder input is a few header bytes, an optional band text and a burst; an encoder
# input fourteen field texts, long enough for pasted text.
declare -A corpus=([fuzz_decoder]=decoder [fuzz_encoder]=encoder)
declare -A max_len=([fuzz_decoder]=128 [fuzz_encoder]=512)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
for target in "${targets[@]}"; do
    corpus_name=${corpus[$target]}
    work="$fuzz_dir/corpus-$corpus_name"
    mkdir -p "$work"
    cp -n fuzz/corpus/"$corpus_name"/* "$work"/
    artifacts="$fuzz_dir/findings-$corpus_name/"
    mkdir -p "$artifacts"
    log="$fuzz_dir/$target.log"
    echo "Fuzzing $target for ${seconds}s (corpus $work, log $log)"
    if "$fuzz_dir/fuzz/$target" "$work" -max_total_time="$seconds" -timeout=5 \
        -max_len="${max_len[$target]}" -artifact_prefix="$artifacts" -print_final_stats=1 \
        >"$log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^#[0-9]+ *DONE' "$log" || true
    else
        status=1
        echo "$target FAILED; the input that broke it is in $artifacts" >&2
        tail -n 40 "$log" >&2
    fi
done
exit "$status"
