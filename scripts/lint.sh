#!/usr/bin/env bash
# Checks the tree's style and lint, one kind per call; ctest runs each kind as
# a test (label lint).
set -euo pipefail

usage() {
  cat <<'EOF'
usage: lint.sh MODE

  format   clang-format --dry-run -Werror over the C++ sources and headers
           (*.cpp, *.hpp under app tile run io filter tools bench tests)
  shell    shellcheck over every *.sh under scripts, tests and bench
           (settings in .shellcheckrc)
  python   pyflakes over the batch package (tilebatch, tilebatch_main.py),
           tests/python and the bench's Python, those of them that exist

Files are those git knows (tracked, or new and not ignored) in a git
checkout, else those find finds outside build directories. Exits 0 when
clean, 1 on findings, 2 on a usage error and 77 (ctest: skipped) when the
linter is not installed (scripts/install_deps.sh installs them all).
Python is Debian's /usr/bin/python3 where there is one, else python3 on the
PATH; PT_PYTHON names another.
EOF
}

case "${1:-}" in
  format | shell | python) mode="$1" ;;
  -h | --help) usage; exit 0 ;;
  "") usage >&2; exit 2 ;;
  -?*) printf 'lint.sh: unknown option %q\n' "$1" >&2; usage >&2; exit 2 ;;
  *) printf 'lint.sh: unknown mode %q\n' "$1" >&2; usage >&2; exit 2 ;;
esac
if [ $# -gt 1 ]; then
  case "$2" in -h | --help) usage; exit 0 ;; esac
  printf 'lint.sh: one MODE only, not also %q\n' "$2" >&2
  usage >&2
  exit 2
fi
cd "$(dirname "$0")/.."
root="$(pwd -P)"

skip() { echo "SKIP: $*"; exit 77; }

# Prints the files under directories $1 (blank-separated) whose names end in
# one of the suffixes that follow, one a line, sorted.
list_files() {
  local dirs suffix listing="" patterns=() names=() path
  read -r -a dirs <<< "$1"; shift
  for suffix in "$@"; do
    for path in "${dirs[@]}"; do patterns+=("$path/*$suffix"); done
    names+=(-o -name "*$suffix")
  done
  # Not inside some other checkout: a tarball unpacked in one, or a clone
  # git refuses to read (another owner), falls back to find.
  if [ "$(git rev-parse --show-toplevel 2>/dev/null || true)" = "$root" ]; then
    listing="$(git ls-files --cached --others --exclude-standard -- "${patterns[@]}")"
  else
    for path in "${dirs[@]}"; do
      [ -d "$path" ] || continue
      listing+="$(find "$path" -type d -name 'build*' -prune -o -type f \( "${names[@]:1}" \) -print)"$'\n'
    done
  fi
  # A tracked file deleted in the work tree is not checked.
  while IFS= read -r path; do
    if [ -f "$path" ]; then echo "$path"; fi
  done <<< "$listing" | LC_ALL=C sort -u
}

python_interpreter() {
  if [ -n "${PT_PYTHON:-}" ]; then
    echo "$PT_PYTHON"
  elif [ -x /usr/bin/python3 ]; then
    echo /usr/bin/python3
  else
    command -v python3 || true
  fi
}

case "$mode" in
  format)
    command -v clang-format >/dev/null || skip "clang-format not installed"
    mapfile -t files < <(list_files "app tile run io filter tools bench tests" .cpp .hpp)
    [ "${#files[@]}" -gt 0 ] || { echo "no C++ files found" >&2; exit 1; }
    echo "clang-format $(clang-format --version | sed -n 's/.*version \([^ ]*\).*/\1/p'): ${#files[@]} files"
    clang-format --dry-run -Werror "${files[@]}" ||
      { echo "not formatted: run clang-format -i on the files named above" >&2; exit 1; }
    ;;
  shell)
    command -v shellcheck >/dev/null || skip "shellcheck not installed"
    mapfile -t files < <(list_files "scripts tests bench" .sh)
    [ "${#files[@]}" -gt 0 ] || { echo "no shell scripts found" >&2; exit 1; }
    echo "shellcheck $(shellcheck --version | sed -n 's/^version: //p'): ${#files[@]} files"
    shellcheck -x "${files[@]}"
    ;;
  python)
    python="$(python_interpreter)"
    [ -n "$python" ] || skip "python3 not installed"
    "$python" -c 'import pyflakes' 2>/dev/null || skip "pyflakes not installed for $python"
    dirs=()
    for d in tilebatch tilebatch_main.py tests/python tests/batch/page_pixels.py tests/batch/page_accounts.py tests/batch/account_sums.py bench/region_scale.py; do
      if [ -e "$d" ]; then dirs+=("$d"); fi
    done
    if [ "${#dirs[@]}" -eq 0 ]; then
      echo "neither tilebatch nor tests/python is there: nothing to check"
      exit 0
    fi
    echo "pyflakes ($python) over ${dirs[*]}"
    "$python" -m pyflakes "${dirs[@]}"
    ;;
esac
echo "clean"
