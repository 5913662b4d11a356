#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing.
set -euo pipefail
usage() {
  cat <<'EOF'
usage: install_deps.sh [-h | --help]

Installs with apt-get the Debian packages the project needs, only those that
are missing; needs root when any is. Exits 1 when packages are missing and it
is not run as root.
EOF
}
# shellcheck source=scripts/script_options.sh
. "$(dirname "${BASH_SOURCE[0]}")/script_options.sh"
take_no_arguments "$@"

packages=(cmake make g++ pkg-config libgdal-dev gdal-bin libgtest-dev parallel clang libclang-rt-14-dev gnuplot-nox time
  python3 python3-pytest python3-pyflakes shellcheck clang-format)

missing=()
for p in "${packages[@]}"; do
  # Read whole, not piped into grep -q: under pipefail an early grep exit
  # could kill dpkg-query with SIGPIPE and count an installed package missing.
  status="$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)"
  if [ "$status" != "install ok installed" ]; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
