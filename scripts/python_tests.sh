#!/usr/bin/env bash
# Runs the Python batch package's tests (tests/python) with pytest, from the
# project's root; ctest runs it as batch_unit. Extra arguments go to pytest.
# Python is Debian's /usr/bin/python3 where there is one, else python3 on the
# PATH; PT_PYTHON names another. Exits with pytest's status, or 77 (ctest:
# skipped) when pytest is not installed.
set -euo pipefail
case "${1:-}" in
  -h | --help)
    printf 'usage: %s [PYTEST_ARGUMENT...]\n\n' "${0##*/}"
    sed -n '2,6s/^# \{0,1\}//p' "$0"
    echo "An option pytest does not know is its usage error: status 4, no test run."
    exit 0
    ;;
esac
cd "$(dirname "$0")/.."

if [ -n "${PT_PYTHON:-}" ]; then
  python="$PT_PYTHON"
elif [ -x /usr/bin/python3 ]; then
  python=/usr/bin/python3
else
  python="$(command -v python3 || true)"
fi
[ -n "$python" ] || { echo "SKIP: python3 not installed"; exit 77; }
"$python" -c 'import pytest' 2>/dev/null ||
  { echo "SKIP: pytest not installed for $python (Debian package python3-pytest)"; exit 77; }

if [ ! -d tests/python ]; then
  echo "no tests/python: nothing to run"
  exit 0
fi
# The batch's sums run tools/sum_accounts: the tests take it from the build
# (BUILD_DIR, default build) unless PT_SUM_ACCOUNTS names it (ctest does),
# and skip those sums where there is none.
if [ -z "${PT_SUM_ACCOUNTS:-}" ] && [ -x "${BUILD_DIR:-build}/tools/sum_accounts" ]; then
  PT_SUM_ACCOUNTS="$(realpath "${BUILD_DIR:-build}/tools/sum_accounts")"
  export PT_SUM_ACCOUNTS
fi
# Nothing written into the tree: no __pycache__ (pyproject.toml keeps the
# .pytest_cache out).
export PYTHONDONTWRITEBYTECODE=1
exec "$python" -m pytest "$@" tests/python
