#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing.
set -euo pipefail
usage() {
  cat <<'EOF'
usage: install_deps.sh [-h | --help]

Installs with apt-get the Debian packages the project needs, only those that
are missing; needs root when any is. Exits 1 when packages are missing and it
is not run as root. Chromium (for the batch page's browser test) and nodejs
(for the syntax check of its script) are optional: when they cannot be
installed the script says so and goes on.
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_options.sh"
take_no_arguments "$@"

packages=(cmake make g++ pkg-config libgdal-dev gdal-bin libgeographiclib-dev libssl-dev libgtest-dev parallel clang libclang-rt-14-dev gnuplot-nox time
  python3 python3-pytest python3-pyflakes shellcheck clang-format)
# Wanted but not needed: only the batch page's browser test uses chromium,
# and only the syntax check of the page's script (test page_js) nodejs; each
# test is skipped without its package.
optional=(chromium nodejs)

# missing PACKAGE...: prints those not installed, one a line.
missing() {
  local p status
  for p in "$@"; do
    # Read whole, not piped into grep -q: under pipefail an early grep exit
    # could kill dpkg-query with SIGPIPE and count an installed package missing.
    status="$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)"
    if [ "$status" != "install ok installed" ]; then
      echo "$p"
    fi
  done
}
mapfile -t needed < <(missing "${packages[@]}")
mapfile -t wanted < <(missing "${optional[@]}")

if [ "${#needed[@]}" -gt 0 ] || [ "${#wanted[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    if [ "${#wanted[@]}" -gt 0 ]; then
      echo "missing optional packages: ${wanted[*]} (run as root to install them)" >&2
    fi
    if [ "${#needed[@]}" -gt 0 ]; then
      echo "missing packages: ${needed[*]} (run as root to install them)" >&2
      exit 1
    fi
    exit 0
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q || echo "warning: apt-get update failed; installing from the lists at hand" >&2
  if [ "${#needed[@]}" -gt 0 ]; then
    echo "installing: ${needed[*]}"
    apt-get install -y -q --no-install-recommends "${needed[@]}"
  fi
  if [ "${#wanted[@]}" -gt 0 ]; then
    echo "installing optional: ${wanted[*]}"
    if ! apt-get install -y -q --no-install-recommends "${wanted[@]}"; then
      echo "warning: could not install ${wanted[*]}; the batch page's tests that need them will be skipped" >&2
    fi
  fi
fi
