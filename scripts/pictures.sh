# shellcheck shell=bash
# The shell's one way to find gnuplot and one check of a PNG, sourced by the
# scripts and tests that draw or read pictures. The batch package's are
# tilebatch/pictures.py's gnuplot() and whole_png(), the same rules.

# Prints the gnuplot of the first absolute directory of PATH that has one;
# status 1 when none has. An empty entry or "." would run a gnuplot lying in
# the working directory.
find_gnuplot() {
  local dir path_dirs
  IFS=: read -r -a path_dirs <<< "${PATH:-}"
  for dir in "${path_dirs[@]}"; do
    if [[ "$dir" == /* ]] && [ -f "$dir/gnuplot" ] && [ -x "$dir/gnuplot" ]; then
      printf '%s\n' "$dir/gnuplot"
      return 0
    fi
  done
  return 1
}

# Whether FILE is a PNG that a writer finished: the PNG signature first, the
# IEND chunk (length 0, "IEND", its CRC) last. A writer that stopped midway
# leaves the signature without it.
whole_png() {
  local start end
  [ -f "$1" ] || return 1
  start="$(head -c 8 -- "$1" | od -An -tx1 | tr -d ' \n')" || return 1
  end="$(tail -c 12 -- "$1" | od -An -tx1 | tr -d ' \n')" || return 1
  [ "$start" = 89504e470d0a1a0a ] && [ "$end" = 0000000049454e44ae426082 ]
}
