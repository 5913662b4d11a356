#!/usr/bin/env bash
# Configures and builds the project (Release) into ./build.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
# CMAKE_ARGS holds options separated by blanks (no quoting inside it).
read -r -a cmake_args <<< "${CMAKE_ARGS:-}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
