#!/usr/bin/env bash
# Configures and builds the project (Release) into ./build.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
