#!/usr/bin/env bash
# Builds llama-completion, llama-cli and llama-quantize once from the llama.cpp
# source vendored in the llama-cpp-python sdist, and caches them outside the repo.
# Safe to re-run: a finished build is detected by its stamp file.
set -euo pipefail
VERSION="${LLAMA_CPP_PYTHON_VERSION:-0.3.36}"
CACHE="${FERROLUNE_CACHE_DIR:-$HOME/.cache/ferrolune}"
DEST="$CACHE/llama.cpp-$VERSION"
STAMP="$DEST/bin/.built"
if [[ -f "$STAMP" ]]; then
  echo "$DEST/bin"
  exit 0
fi
PY="${PYTHON:-python3}"
WORK="$CACHE/src-$VERSION"
mkdir -p "$WORK"
if ! ls "$WORK"/llama_cpp_python-*.tar.gz >/dev/null 2>&1; then
  "$PY" -m pip download --quiet --no-binary :all: --no-deps --no-build-isolation \
    -d "$WORK" "llama-cpp-python==$VERSION" >&2 || \
  "$PY" -m pip download --quiet --no-binary :all: --no-deps -d "$WORK" "llama-cpp-python==$VERSION" >&2
fi
SRC="$WORK/llama_cpp_python-$VERSION"
if [[ ! -d "$SRC/vendor/llama.cpp" ]]; then
  tar -xzf "$WORK"/llama_cpp_python-"$VERSION".tar.gz -C "$WORK"
fi
BUILD="$WORK/build"
cmake -S "$SRC/vendor/llama.cpp" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DLLAMA_CURL=OFF -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF \
  -DLLAMA_BUILD_SERVER=ON -DGGML_NATIVE=OFF -DBUILD_SHARED_LIBS=OFF -DLLAMA_OPENSSL=OFF >&2
targets="llama-quantize llama-cli"
if grep -rqs "llama-completion" "$SRC/vendor/llama.cpp/tools" ; then targets="llama-completion $targets"; fi
mkdir -p "$DEST/bin"
for t in $targets; do
  # llama-cli is the interactive chat program nowadays; the one-shot tools
  # are what the system needs, so a failed llama-cli build is not fatal.
  if cmake --build "$BUILD" --target "$t" -j "$(nproc)" >&2; then
    cp "$BUILD/bin/$t" "$DEST/bin/"
  elif [[ "$t" != llama-cli ]]; then
    echo "building $t failed" >&2
    exit 1
  fi
done
touch "$STAMP"
echo "$DEST/bin"
