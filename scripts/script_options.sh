# shellcheck shell=bash
# How the scripts read their arguments, sourced once they have defined usage,
# so that every script answers -h/--help and refuses an unknown option alike,
# before it does anything.

# For a script that takes no arguments: -h or --help anywhere prints the
# usage and exits 0; any other argument is a usage error (exit 2).
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

# For a script that takes operands and no options: up to a "--", -h or
# --help prints the usage and exits 0, and any other argument that begins
# with '-' is an unknown option (exit 2). The caller then drops a leading
# "--" itself.
take_no_options() {
  local arg
  for arg in "$@"; do
    case "$arg" in
      --) break ;;
      -h | --help) usage; exit 0 ;;
      -?*) printf '%s: unknown option %q\n' "${0##*/}" "$arg" >&2; usage >&2; exit 2 ;;
    esac
  done
}
