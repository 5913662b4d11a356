# shellcheck shell=bash
# What every batch test counts its checks with, sourced first: check (run a
# check, print ok or FAIL, count the failures in $failures) and skip (print
# "SKIP: <reason>" and exit 77, which ctest counts as skipped).
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what="$1"; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what" >&2; failures=$((failures + 1)); fi
}
skip() { echo "SKIP: $*"; exit 77; }
