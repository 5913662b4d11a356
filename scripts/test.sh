#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite; then
# the bounded fuzz run and the unit and chosen end-to-end tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer. Fails if any part fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install_deps.sh
scripts/build.sh
(cd "${BUILD_DIR:-build}" && ctest --output-on-failure -j "$(nproc)")
# The fuzz run and the sanitizer build share ./build-asan; the sanitizer
# tests come last so the log ends with their summary.
scripts/fuzz.sh
scripts/sanitize.sh
