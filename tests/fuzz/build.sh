#!/usr/bin/env bash
# Builds the XML core's fuzz target with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, then either fuzzes or replays the corpus.
#
#   bash tests/fuzz/build.sh SECONDS   fuzz for SECONDS, seeded with the corpus
#   bash tests/fuzz/build.sh replay    run every corpus and regression input once
#
# Needs clang++ with its fuzzer runtime (Debian: clang, libclang-rt-N-dev).
# Builds and scratch data go to $FUZZ_WORK (default: a fresh temp dir), so a
# run never adds files to the repository; crash inputs land in
# $FUZZ_WORK/artifacts. Extra arguments after the first go to libFuzzer.
set -euo pipefail
cd "$(dirname "$0")/../.."

mode="${1:?usage: build.sh SECONDS|replay [libFuzzer args...]}"
shift
work="${FUZZ_WORK:-$(mktemp -d /tmp/fuzz_xml.XXXXXX)}"
mkdir -p "$work/artifacts"
# Seeds, and crash inputs kept as regressions in its subfolder regressions/
# (libFuzzer reads corpus directories recursively).
corpus_dir=tests/data/fuzz-corpus

# The same CMake description as the module builds the target, so the fuzzer
# sees exactly the core that ships. CMake comes from PATH or the project's venv.
cmake_bin="${CMAKE:-$(command -v cmake || echo .venv/bin/cmake)}"
"$cmake_bin" -S . -B "$work/build" -DCMAKE_CXX_COMPILER="${CXX:-clang++}" \
  -DCMAKE_BUILD_TYPE=Debug -DQK_BUILD_EXTENSION=OFF -DQK_BUILD_FUZZER=ON >/dev/null
"$cmake_bin" --build "$work/build" --target fuzz_xml -j 2 >/dev/null
cp "$work/build/fuzz_xml" "$work/fuzz_xml"

common=(-dict=tests/fuzz/xml.dict -max_len=65536 -rss_limit_mb=2048 -timeout=10
        -artifact_prefix="$work/artifacts/")

if [ "$mode" = replay ]; then
  exec "$work/fuzz_xml" "${common[@]}" -runs=0 "$@" "$corpus_dir"
fi

# Fuzz a copy of the corpus: libFuzzer adds every new input to its first
# directory.
mkdir -p "$work/corpus"
find "$corpus_dir" -type f -exec cp -t "$work/corpus" {} +
echo "fuzzing for ${mode}s in $work" >&2
exec "$work/fuzz_xml" "${common[@]}" -max_total_time="$mode" -print_final_stats=1 "$@" \
  "$work/corpus"
