# The arguments of the benches over many stand-in tiles (accounts_scale.sh,
# forest_join_scale.sh): [--] [N [K [DIR]]], checked before anything is
# done, each refusal one line and the script's usage (its own `usage`).
# Sets n (default 20000), k (default 4) and dir (absolute; default
# DEFAULT_DIR, the first argument).
# shellcheck shell=bash
scale_arguments() {
  local default_dir="$1"
  shift
  if [ "${1:-}" = "--" ]; then shift; fi
  if [ $# -gt 3 ]; then
    printf '%s: takes N, K and DIR at most, not also %q\n' "${0##*/}" "$4" >&2
    usage >&2
    exit 2
  fi
  if [ $# -ge 1 ] && ! { [[ "$1" =~ ^0*[1-9][0-9]{0,5}$ ]] && [ "$((10#$1))" -le 100000 ]; }; then
    printf '%s: N must be a whole number from 1 to 100000, not %q\n' "${0##*/}" "$1" >&2
    usage >&2
    exit 2
  fi
  if [ $# -ge 2 ] && ! { [[ "$2" =~ ^[0-9]{1,2}$ ]] && [ "$((10#$2))" -le 50 ]; }; then
    printf '%s: K must be a whole number from 0 to 50, not %q\n' "${0##*/}" "$2" >&2
    usage >&2
    exit 2
  fi
  # shellcheck disable=SC2034  # n, k and dir are the caller's
  n="$((10#${1:-20000}))"
  # shellcheck disable=SC2034
  k="$((10#${2:-4}))"
  # shellcheck disable=SC2034
  dir="$(realpath -m "${3:-$default_dir}")"
}
