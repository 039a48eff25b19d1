#!/usr/bin/env bash
# Builds llama.cpp's command-line tools from the llama.cpp source vendored in
# the llama-cpp-python sdist, once, and caches them outside the repo.
#
#   build-llama-tools.sh [TOOL ...]   build the named tools (default: all four)
#                                     and print the directory that holds them
#
# Safe to re-run: a tool already in the cache is not built again.
set -euo pipefail
VERSION="${LLAMA_CPP_PYTHON_VERSION:-0.3.36}"
CACHE="${FERROLUNE_CACHE_DIR:-$HOME/.cache/ferrolune}"
DEST="$CACHE/llama.cpp-$VERSION"
# llama-cli is the interactive chat program nowadays and the slowest to build
# (it pulls in the server); the one-shot tools come first.
TOOLS=("$@")
if [[ ${#TOOLS[@]} -eq 0 ]]; then TOOLS=(llama-completion llama-quantize llama-bench llama-cli); fi

missing=()
for t in "${TOOLS[@]}"; do
  [[ -x "$DEST/bin/$t" || -f "$DEST/bin/.no-$t" ]] || missing+=("$t")
done
if [[ ${#missing[@]} -eq 0 ]]; then
  echo "$DEST/bin"
  exit 0
fi

PY="${PYTHON:-python3}"
WORK="$CACHE/src-$VERSION"
mkdir -p "$WORK" "$DEST/bin"
if ! ls "$WORK"/llama_cpp_python-*.tar.gz >/dev/null 2>&1; then
  "$PY" -m pip download --quiet --no-binary :all: --no-deps -d "$WORK" "llama-cpp-python==$VERSION" >&2
fi
SRC="$WORK/llama_cpp_python-$VERSION"
if [[ ! -d "$SRC/vendor/llama.cpp" ]]; then
  tar -xzf "$WORK"/llama_cpp_python-"$VERSION".tar.gz -C "$WORK"
fi
BUILD="$WORK/build"
cmake -S "$SRC/vendor/llama.cpp" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DLLAMA_CURL=OFF -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF -DLLAMA_BUILD_SERVER=ON \
  -DGGML_NATIVE=OFF -DBUILD_SHARED_LIBS=OFF -DLLAMA_OPENSSL=OFF >&2
for t in "${missing[@]}"; do
  if cmake --build "$BUILD" --target "$t" -j "$(nproc)" >&2; then
    cp "$BUILD/bin/$t" "$DEST/bin/"
  elif [[ "$t" == llama-cli ]]; then
    # Nothing needs the chat program itself; remember that it does not build.
    echo "llama-cli did not build; continuing without it" >&2
    touch "$DEST/bin/.no-$t"
  else
    echo "building $t failed" >&2
    exit 1
  fi
done
echo "$DEST/bin"
