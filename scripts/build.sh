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
for arg in "$@"; do
  case "$arg" in -h | --help) usage; exit 0 ;; esac
done
if [ $# -gt 0 ]; then
  case "$1" in
    -?*) printf '%s: unknown option %q\n' "${0##*/}" "$1" >&2 ;;
    *) printf '%s: takes no arguments, not %q\n' "${0##*/}" "$1" >&2 ;;
  esac
  usage >&2
  exit 2
fi
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
# CMAKE_ARGS holds options separated by blanks (no quoting inside it).
read -r -a cmake_args <<< "${CMAKE_ARGS:-}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
