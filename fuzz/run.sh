#!/usr/bin/env bash
# Builds the fuzz targets with clang in build/fuzz, writes the stream parser's seed corpus and
# fuzzes for SECONDS (default 60) in all: two thirds of it the receiver's stream parser, one third
# pullfile's session fed by a hostile receiver. Exits non-zero on any finding; a crashing input is
# left in build/fuzz/artifacts/ and can be replayed with: build/fuzz/fuzz/TARGET FILE
#
# Longer local runs: the corpus in build/fuzz/corpus is kept between runs, so runs build on each
# other. For an hour on both cores:
#   FUZZ_JOBS=2 fuzz/run.sh 3600
# and to minimise the grown corpus afterwards:
#   build/fuzz/fuzz/stream_parser_fuzz -merge=1 build/fuzz/corpus.min build/fuzz/corpus
set -euo pipefail

seconds=${1:-60}
jobs=${FUZZ_JOBS:-1}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DPUSHFILE_BUILD_FUZZ=ON \
  -DPUSHFILE_BUILD_TESTS=OFF -DPUSHFILE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target stream_parser_fuzz pull_session_fuzz make_fuzz_seeds -j2

mkdir -p "$build/seeds" "$build/corpus" "$build/pull_corpus" "$build/artifacts"
"$build/fuzz/make_fuzz_seeds" "$build/seeds"

# The parser needs no heap at all and the target's own copies stay near a few MB; a limit far
# above that still catches runaway growth.
options=(-max_len=200000 -rss_limit_mb=1024 -malloc_limit_mb=256 -timeout=20
  -print_final_stats=1 -artifact_prefix="$build/artifacts/")
if [ "$jobs" -gt 1 ]; then
  options+=(-jobs="$jobs" -workers="$jobs")
fi

cd "$build"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$build/fuzz/stream_parser_fuzz" "${options[@]}" -max_total_time=$((seconds - seconds / 3)) "$build/corpus" "$build/seeds"
# Each script writes files: short inputs reach most of what pullfile does.
"$build/fuzz/pull_session_fuzz" "${options[@]}" -max_len=4096 -max_total_time=$((seconds / 3)) "$build/pull_corpus"
