#!/usr/bin/env bash
# Configures and builds the project (Release) into ./build.
set -euo pipefail
usage() {
  cat <<'EOF'
usage: build.sh [-h | --help]

Configures and builds the project with CMake into BUILD_DIR.

Environment:
  BUILD_DIR   the build directory (build)
  BUILD_TYPE  CMake's build type (Release)
  CMAKE_ARGS  more CMake options, separated by blanks (no quoting inside)
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_options.sh"
take_no_arguments "$@"
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
# CMAKE_ARGS holds options separated by blanks (no quoting inside it).
read -r -a cmake_args <<< "${CMAKE_ARGS:-}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
