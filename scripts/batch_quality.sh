#!/usr/bin/env bash
# The quality over a batch: joins the tiles' quality tables into one
# (batch_quality.csv: tile_id, then the tile table's columns), draws the batch
# totals per year (batch_quality.png, drawn as a tile's chart from
# batch_quality_totals.csv), and lists the tiles whose share of repaired,
# interpolated or height-filled pixel-years (over all years, of the filtered
# pixel-years) is more than three times the batch median of that share; the
# list is printed and kept in batch_quality_outliers.txt. A tile without a
# quality table is named and left out, and the script then exits 1 after
# writing what it could.
#
#   batch_quality.sh QUALITY_DIR TILE_ID...
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 QUALITY_DIR TILE_ID..." >&2; exit 2; }
quality_dir="$1"; shift
scripts="$(cd "$(dirname "$0")" && pwd)"
header="year,filtered,invalid,jump,repaired,interpolated,post_loss,height_filled,height_capped,height_smoothed,tcc_changed,loss_in,loss_kept"

tiles=() tables=() missing=()
for tile in "$@"; do
  table="$quality_dir/${tile}_quality.csv" first=""
  if [ -f "$table" ]; then IFS= read -r first < "$table" || true; fi
  if [ "$first" = "$header" ]; then tiles+=("$tile"); tables+=("$table"); else missing+=("$tile"); fi
done
[ "${#tables[@]}" -gt 0 ] || { echo "no quality table of any tile in $quality_dir" >&2; exit 1; }

joined="$quality_dir/batch_quality.csv" totals="$quality_dir/batch_quality_totals.csv"
outliers="$quality_dir/batch_quality_outliers.txt" shares="$quality_dir/.batch_quality_shares"

# One pass over the tables, named in a list file (tile id, a tab, the table's
# path; one a line) rather than on the command line, which a batch of tens of
# thousands of tiles would overflow. Plain POSIX awk: Debian's minimal systems
# have mawk. Lines read with getline see no escape processing.
list="$quality_dir/.batch_quality_tables"
for ((k = 0; k < ${#tiles[@]}; k++)); do printf '%s\t%s\n' "${tiles[k]}" "${tables[k]}"; done > "$list"
# The output paths go in through the environment: awk -v would take the
# backslashes of a directory name as escapes.
JOINED="$joined.tmp" TOTALS="$totals.tmp" SHARES="$shares" awk -v header="$header" '
  BEGIN {
    joined = ENVIRON["JOINED"]; totals = ENVIRON["TOTALS"]; shares = ENVIRON["SHARES"]
    print "tile_id," header > joined
    while ((getline entry < ARGV[1]) > 0) {
      tab = index(entry, "\t"); id = substr(entry, 1, tab - 1); path = substr(entry, tab + 1)
      k++; tile_id[k] = id
      # A tile id with a comma or a quote is quoted as CSV does it.
      if (id ~ /[",]/) { gsub(/"/, "\"\"", id); id = "\"" id "\"" }
      f = 0; r = 0; i = 0; h = 0; row = 0
      while ((getline line < path) > 0) {
        if (row++ == 0) continue
        print id "," line > joined
        columns = split(line, v, ",")
        year = v[1] + 0
        if (!(year in seen)) { seen[year] = 1; if (first == "" || year < first) first = year; if (year > last) last = year }
        for (c = 2; c <= columns; c++) sum[year, c] += v[c]
        f += v[2]; r += v[5]; i += v[6]; h += v[8]
      }
      close(path)
      printf "%.9g %.9g %.9g\t%s\n", (f ? r / f : 0), (f ? i / f : 0), (f ? h / f : 0), tile_id[k] > shares
    }
    print header > totals
    for (year = first; year <= last; year++) {
      if (!(year in seen)) continue
      out = year
      for (c = 2; c <= columns; c++) out = out "," sprintf("%.0f", sum[year, c])
      print out > totals
    }
    exit
  }' "$list"
rm -f "$list"
mv "$joined.tmp" "$joined"
mv "$totals.tmp" "$totals"
"$scripts/quality_chart.sh" "$totals" "$quality_dir/batch_quality.png" \
  "batch of ${#tiles[@]} tiles: what the cleaning did (sums over the tiles)"

# The median of each share over the tiles (the lower middle one for an even count).
median() {  # median FIELD
  local values=()
  mapfile -t values < <(cut -f1 "$shares" | cut -d' ' -f"$1" | sort -g)
  printf '%s\n' "${values[$(( (${#values[@]} - 1) / 2 ))]}"
}
awk -v mr="$(median 1)" -v mi="$(median 2)" -v mh="$(median 3)" '
  BEGIN {
    printf "tiles with a share of pixel-years more than 3 times the batch median (repaired %.3f%%, interpolated %.3f%%, height_filled %.3f%%):\n", 100 * mr, 100 * mi, 100 * mh
  }
  function note(name, share, median) {
    if (share > 3 * median) what = what sprintf(" %s %.3f%%", name, 100 * share)
  }
  {
    tab = index($0, "\t"); split(substr($0, 1, tab - 1), v, " ")
    what = ""
    note("repaired", v[1], mr); note("interpolated", v[2], mi); note("height_filled", v[3], mh)
    if (what != "") { print "  " substr($0, tab + 1) ":" what; found++ }
  }
  END { if (!found) print "  none" }' "$shares" > "$outliers"
rm -f "$shares"
cat "$outliers"
echo "batch quality: $joined, $quality_dir/batch_quality.png"
if [ "${#missing[@]}" -gt 0 ]; then
  echo "no quality table for ${#missing[@]} tile(s): ${missing[*]}" >&2
  exit 1
fi
