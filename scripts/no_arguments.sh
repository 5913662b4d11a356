# shellcheck shell=bash
# Sourced by the scripts that take no arguments, once they have defined
# usage: -h or --help anywhere prints the usage and exits 0; any other
# argument is a usage error (exit 2) before the script does anything.
take_no_arguments() {
  local arg
  for arg in "$@"; do
    case "$arg" in -h | --help) usage; exit 0 ;; esac
  done
  [ $# -gt 0 ] || return 0
  case "$1" in
    -?*) printf '%s: unknown option %q\n' "${0##*/}" "$1" >&2 ;;
    *) printf '%s: takes no arguments, not %q\n' "${0##*/}" "$1" >&2 ;;
  esac
  usage >&2
  exit 2
}
