#!/usr/bin/env bash
# Builds the model-reader fuzzers with clang and libFuzzer and runs each in
# turn for a bounded time: fuzz/run.sh [SECONDS_EACH] (default 60).
#
# The corpora grow under build/fuzz/corpus-*; a crash leaves its input in
# build/fuzz/findings/ and makes this script fail.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-$root/.venv/bin/python}
build=$root/build/fuzz

# std::expected needs clang 16 or newer against GCC 12's library.
cxx=""
for c in clang++-19 clang++-18 clang++-17 clang++-16 clang++; do
  if command -v "$c" >/dev/null 2>&1; then
    major=$("$c" -dumpversion | cut -d. -f1)
    if [ "$major" -ge 16 ]; then cxx=$c; break; fi
  fi
done
if [ -z "$cxx" ] && command -v apt-get >/dev/null 2>&1; then
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  echo "installing clang-16 and libFuzzer (clang-16 libclang-rt-16-dev)" >&2
  $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang-16 libclang-rt-16-dev >/dev/null
  command -v clang++-16 >/dev/null 2>&1 && cxx=clang++-16
fi
if [ -z "$cxx" ]; then
  echo "fuzz/run.sh: needs clang 16 or newer with libFuzzer (Debian: clang-16 libclang-rt-16-dev)" >&2
  exit 1
fi
cc=${cxx/clang++/clang}

# libstdc++ 12 hides std::expected from compilers that report an older
# concepts level; clang 16 implements what it needs.
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -D__cpp_concepts=202002L -Wno-macro-redefined"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" \
  -DFERROLUNE_BUILD_FUZZERS=ON -DFERROLUNE_BUILD_TESTS=OFF -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$build" -j2 --target gguf_reader_fuzzer onnx_reader_fuzzer

mkdir -p "$build/seeds-gguf" "$build/seeds-onnx" "$build/corpus-gguf" "$build/corpus-onnx" "$build/findings"
"$py" "$root/fuzz/make_seeds.py" "$build/seeds-gguf" "$build/seeds-onnx"

status=0
for target in gguf onnx; do
  echo "== ${target}_reader_fuzzer for ${seconds}s"
  # -malloc_limit_mb: a single allocation far beyond any input is a finding.
  # The full log stays in build/fuzz/<target>.log; the summary is printed.
  if ! "$build/fuzz/${target}_reader_fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=64 -print_final_stats=1 \
    -artifact_prefix="$build/findings/${target}-" "$build/corpus-$target" "$build/seeds-$target" \
    >"$build/$target.log" 2>&1; then
    status=1
    echo "   FINDING: see $build/$target.log and $build/findings/"
  fi
  grep -E "^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)" \
    "$build/$target.log" | sed 's/^/   /' || true
  echo "   corpus: $(ls "$build/corpus-$target" | wc -l) inputs"
done
exit $status
