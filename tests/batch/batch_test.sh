#!/usr/bin/env bash
# Batch runs end to end: three generated full-size tiles, one with a missing
# layer, through scripts/batch.sh (GNU parallel): the failure is logged with
# process_tile's message, retried, and a resume after the layer is back runs
# that tile alone. Also the job-count arithmetic (dry runs), a failing and a
# succeeding tile on an ssh host (a real sshd on 127.0.0.1 that the test starts;
# exit 77, skipped, when it cannot) and the body of a Slurm array task. With
# --quality: tile_quality after each tile, a failing quality run counted as a
# failed tile whose products stay, the resume that reruns that tile alone, and
# the batch quality (joined tables, chart, outlier list). Leaves SCRATCH/out
# with the products of t1..t3 for 2000.
#
#   batch_test.sh PROCESS_TILE MAKE_SYNTHETIC_TILE TILE_QUALITY SCRATCH
set -euo pipefail

[ $# -eq 4 ] || { echo "usage: $0 PROCESS_TILE MAKE_SYNTHETIC_TILE TILE_QUALITY SCRATCH" >&2; exit 2; }
process_tile="$(realpath "$1")" make_tile="$(realpath "$2")" tile_quality="$(realpath "$3")"
scratch="$(realpath -m "$4")"
scripts="$(cd "$(dirname "$0")/../../scripts" && pwd)"

. "$(dirname "$0")/checks.sh"
count() { grep -cx -- "$1" "$2" || true; }    # lines equal to $1 in file $2
joblog_lines() { wc -l < "$1"; }

rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"

start=$(date +%s)
for i in 1 2 3; do
  "$make_tile" input datamask wetland "t$i" 2000 "$i" --compress NONE &
done
wait
echo "tiles generated in $(( $(date +%s) - start )) s"

# process_tile behind a wrapper that records every call.
cat > counting_process_tile <<EOF
#!/bin/sh
echo "\$1" >> "$scratch/calls"
exec "$process_tile" "\$@"
EOF
chmod +x counting_process_tile
: > calls

cat > tiles.txt <<'EOF'
# three tiles for the batch test

t1 -60 10     # first
  t2	-59.75   10
t3 -59.5 10
EOF

run_batch() {  # run_batch OUTFILE ARGS... ; the exit status goes to $status
  status=0
  bash "$scripts/batch.sh" "${@:2}" > "$1" 2>&1 || status=$?
  cat "$1"
}
shared=(tiles.txt 2000 input out datamask wetland "$scratch/counting_process_tile")

# --- planning: tile memory and job count, nothing runs -----------------------
run_batch plan.txt --dry-run --mem-available 800M "${shared[@]}"
check "dry run exits 0" [ "$status" -eq 0 ]
check "tile memory for 2000 is 26 x 4004 x 4004 bytes" grep -q "416832416 bytes per tile" plan.txt
check "800 MiB holds 1.9 tiles but keeps half a tile free: 1 at a time" grep -q ": 1 tile at once" plan.txt
check "--memfree is one tile" grep -q -- "--memfree 416832416" plan.txt
check "a dry run runs nothing" [ ! -s calls ]
cores=$(nproc)
expected=$(( cores < 3 ? cores : 3 ))
run_batch plan.txt --dry-run --mem-available 100G "${shared[@]}"
check "ample memory: min(cores, tiles) = $expected at once" grep -q ": $expected tiles at once" plan.txt
run_batch plan.txt --dry-run --mem-available 300M "${shared[@]}"
check "less than a tile: still 1 at a time, with a warning" grep -q "warning: only" plan.txt
check "less than a tile: no --memfree (it would stop the only tile)" bash -c '! grep -q -- "--memfree [0-9]" plan.txt'
run_batch plan.txt --dry-run --mem-available 100G tiles.txt 2020 input out datamask wetland "$process_tile"
check "tile memory for 2020 is about 2.2 GiB" grep -q "2340674336 bytes per tile" plan.txt
# With the quality run a job also holds one byte per pixel and year 1997-2000.
run_batch plan.txt --dry-run --tile-quality "$tile_quality" --mem-available 800M "${shared[@]}"
check "--quality: a job holds the tile and 4 x 4004 x 4004 quality bytes" \
  grep -q "480960480 bytes per tile with its quality run" plan.txt
check "--quality: --memfree is that much" grep -q -- "--memfree 480960480" plan.txt
run_batch plan.txt --dry-run --quality "${shared[@]}"
check "--quality: tile_quality is looked for beside process_tile" \
  grep -q "$scratch/tools/tile_quality is not an executable" plan.txt
# The printed command runs as printed, after the script has ended: here with
# a process_tile stand-in that only records its arguments.
printf '#!/bin/sh\necho "$*" >> "%s/dry_calls"\n' "$scratch" > recording_process_tile
chmod +x recording_process_tile
run_batch plan.txt --dry-run --no-pin --logs dry_logs --joblog dry.joblog tiles.txt 2000 input dry_out \
  datamask wetland "$scratch/recording_process_tile"
printed="$(tail -n 1 plan.txt)"
status=0
(eval "$printed") > /dev/null 2>&1 || status=$?
check "the dry run's command runs as printed" [ "$status" -eq 0 ]
check "... once per tile, with each tile's origin" [ "$(cut -d' ' -f1,5,6 dry_calls 2>/dev/null | sort | tr '\n' ,)" = "t1 -60 10,t2 -59.75 10,t3 -59.5 10," ]
rm -rf dry_logs dry.joblog dry_out dry_calls
printf 't1 0 0\nt1 1 1\n' > twice.txt
run_batch plan.txt --dry-run twice.txt 2000 input out datamask wetland "$process_tile"
check "a tile listed twice is refused" [ "$status" -eq 2 ]

# --- first run: t3 lacks its canopy height layer --------------------------------
missing="$scratch/input/t3/t3_TCH_2000.tif"
mv "$missing" "$scratch/t3_TCH_2000.tif.aside"
start=$(date +%s)
run_batch run1.txt --retries 2 "${shared[@]}"
echo "first batch run: $(( $(date +%s) - start )) s"
check "batch exits 1 when a tile fails" [ "$status" -eq 1 ]
check "summary counts" grep -q "3 tiles: 2 succeeded, 1 failed, 0 not run" run1.txt
check "region of the two tiles that succeeded" \
  bash -c '[ "$(grep -c "<SourceFilename" out/region/TCC_2000.vrt)" -eq 2 ] && grep -q "Loss_2000_t2.img" out/region/Loss_2000.vrt'
check "summary names t3 with process_tile's message" grep -q "t3  exit 1  $missing not found" run1.txt
check "t3's log holds the message line" [ "$(cat out/logs/t3.out)" = "$missing not found" ]
check "t1 and t2 ran once" [ "$(count t1 calls)$(count t2 calls)" = 11 ]
check "t3 was tried twice (--retries 2)" [ "$(count t3 calls)" = 2 ]
for t in t1 t2; do
  for p in TCC TCH Loss; do
    check "$p of $t written" [ -s "out/${p}_2000_$t.img" ]
  done
done
check "nothing written for t3" bash -c '! ls out/*_t3.img 2>/dev/null'
check "job log: header and one line per tile" [ "$(joblog_lines out/batch.joblog)" -eq 4 ]
check "job log records t3's exit status 1" \
  awk -F'\t' '$1 == 3 && $7 == 1 { found = 1 } END { exit !found }' out/batch.joblog

# A second plain run is refused rather than redoing every tile.
run_batch again.txt "${shared[@]}"
check "rerun without --resume is refused" [ "$status" -eq 2 ]
check "... and runs nothing" [ "$(wc -l < calls)" -eq 4 ]

# --- hosts over ssh: a real sshd on 127.0.0.1, started and stopped here --------
# As root the test installs openssh-server if missing, makes a host key and a
# user key in a private directory and runs sshd on a free port with its own
# authorized_keys file (no account's ~/.ssh is touched). Without root, the
# package or a running sshd the section is skipped and the test counts as
# skipped (exit 77) once every other check has passed.
ssh_dir="" sshd_pid="" skip_reason="" skipped=0
stop_sshd() {
  if [ -n "$sshd_pid" ]; then
    kill "$sshd_pid" 2>/dev/null || true
    wait "$sshd_pid" 2>/dev/null || true
    sshd_pid=""
  fi
  if [ -n "$ssh_dir" ]; then rm -rf "$ssh_dir"; ssh_dir=""; fi
}
trap stop_sshd EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ssh_installed() { [ -x /usr/sbin/sshd ] && command -v ssh >/dev/null && command -v ssh-keygen >/dev/null; }
install_ssh() {
  local apt=(env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=120
             openssh-server openssh-client)
  "${apt[@]}" > "$scratch/apt.log" 2>&1 ||
    { apt-get update -q >> "$scratch/apt.log" 2>&1 && "${apt[@]}" >> "$scratch/apt.log" 2>&1; }
}
# Starts sshd in the background (-D, so it stays this script's child) on a free
# port; sets ssh_dir, port and sshd_pid, or skip_reason and returns 1.
start_sshd() {
  if [ "$(id -u)" -ne 0 ]; then skip_reason="not root: cannot install openssh-server or log in as root"; return 1; fi
  ssh_installed || install_ssh || true
  ssh_installed || { skip_reason="openssh-server or openssh-client missing and apt-get could not install them ($scratch/apt.log)"; return 1; }
  ssh_dir="$(mktemp -d)"
  ssh-keygen -q -t ed25519 -N '' -C tilehost -f "$ssh_dir/host_key" &&
    ssh-keygen -q -t ed25519 -N '' -C batch_test -f "$ssh_dir/user_key" &&
    cp "$ssh_dir/user_key.pub" "$ssh_dir/authorized_keys" ||
    { skip_reason="ssh-keygen failed"; return 1; }
  echo "tilehost $(cut -d' ' -f1,2 "$ssh_dir/host_key.pub")" > "$ssh_dir/known_hosts"
  mkdir -p /run/sshd    # privilege separation directory
  for _ in 1 2 3 4 5; do
    port=$(( 20000 + RANDOM % 40000 ))
    ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || continue    # in use
    # StrictModes no: the keys live under /tmp, which is world-writable.
    cat > "$ssh_dir/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $ssh_dir/host_key
AuthorizedKeysFile $ssh_dir/authorized_keys
PidFile $ssh_dir/sshd.pid
PasswordAuthentication no
KbdInteractiveAuthentication no
PubkeyAuthentication yes
PermitRootLogin prohibit-password
AllowUsers root
UsePAM no
StrictModes no
EOF
    : > "$ssh_dir/sshd.log"
    /usr/sbin/sshd -D -f "$ssh_dir/sshd_config" -E "$ssh_dir/sshd.log" &
    sshd_pid=$!
    for _ in $(seq 50); do
      if grep -qF "Server listening on 127.0.0.1 port $port." "$ssh_dir/sshd.log" &&
         (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        return 0
      fi
      kill -0 "$sshd_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$sshd_pid" 2>/dev/null || true
    wait "$sshd_pid" 2>/dev/null || true
    sshd_pid=""
    grep -q "Address already in use" "$ssh_dir/sshd.log" || break    # else another port
  done
  skip_reason="sshd did not start: $(tail -n 2 "$ssh_dir/sshd.log" | tr '\n' ' ')"
  return 1
}

if start_sshd; then
  cat > "$ssh_dir/ssh_config" <<EOF
Host tilehost
  HostName 127.0.0.1
  Port $port
  User root
  IdentityFile $ssh_dir/user_key
  IdentitiesOnly yes
  HostKeyAlias tilehost
  UserKnownHostsFile $ssh_dir/known_hosts
  GlobalKnownHostsFile /dev/null
  StrictHostKeyChecking yes
  BatchMode yes
  ConnectTimeout 10
  LogLevel ERROR
EOF
  # process_tile behind a wrapper that records where each call came from.
  cat > remote_process_tile <<EOF
#!/bin/sh
echo "\$1 \${SSH_CONNECTION:-none}" >> "$scratch/remote_calls"
exec "$process_tile" "\$@"
EOF
  chmod +x remote_process_tile
  : > remote_calls
  # A login with its own ssh command by absolute path and no tile count.
  printf '# the test sshd\n%s -F %s tilehost\n' "$(command -v ssh)" "$ssh_dir/ssh_config" > hosts.txt
  printf 'tX 0 0\nt1 -60 10\n' > remote_tiles.txt
  ssh_failures=$failures
  start=$(date +%s)
  run_batch remote.txt --sshloginfile hosts.txt --logs remote_logs --joblog remote.joblog \
    --tile-quality "$tile_quality" remote_tiles.txt 2000 input remote_out datamask wetland "$scratch/remote_process_tile"
  echo "ssh batch run: $(( $(date +%s) - start )) s"
  check "ssh host: batch exits 1 (one tile failed)" [ "$status" -eq 1 ]
  check "ssh host: summary counts" grep -q "2 tiles: 1 succeeded, 1 failed, 0 not run" remote.txt
  check "ssh host: failure comes back with its message" grep -q "tX  exit 1  $scratch/datamask/tX_datamask.tif not found" remote.txt
  check "ssh host: tile log on this machine" [ "$(cat remote_logs/tX.out)" = "$scratch/datamask/tX_datamask.tif not found" ]
  check "ssh host: job log names the host for both tiles" \
    awk -F'\t' 'FNR > 1 && $2 ~ / tilehost$/ { n++ } END { exit n != 2 }' remote.joblog
  check "ssh host: job log records t1's exit status 0" \
    awk -F'\t' '$1 == 2 && $7 == 0 { found = 1 } END { exit !found }' remote.joblog
  check "ssh host: both tiles ran in an ssh session from 127.0.0.1" \
    awk '$2 == "127.0.0.1" { seen[$1] = 1 } END { exit !(seen["tX"] && seen["t1"] && NR == 2) }' remote_calls
  check "ssh host: sshd accepted the test key for root" grep -q "Accepted publickey for root from 127.0.0.1" "$ssh_dir/sshd.log"
  for p in TCC TCH Loss; do
    check "ssh host: $p of t1 equals the local run's" cmp -s "remote_out/${p}_2000_t1.img" "out/${p}_2000_t1.img"
  done
  check "ssh host: t1's quality run (--quality) wrote its table" \
    [ "$(cut -d, -f1 remote_out/quality/t1_quality.csv 2>/dev/null | tr '\n' ' ')" = "year 2000 " ]
  check "ssh host: the batch quality holds t1" [ "$(tail -n +2 remote_out/quality/batch_quality.csv | cut -d, -f1)" = t1 ]
  [ "$failures" -eq "$ssh_failures" ] || sed 's/^/sshd log: /' "$ssh_dir/sshd.log" >&2
  stop_sshd
  rm -rf remote_out
else
  echo "SKIP: ssh host section: $skip_reason"
  skipped=1
  stop_sshd
fi

# --- Slurm array task body (no Slurm needed to run it) --------------------------
slurm=(bash "$scripts/slurm_array.sh")
"${slurm[@]}" --dry-run --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland "$process_tile" > sbatch.txt
cat sbatch.txt
check "sbatch: one task per tile" grep -q -- "--array=1-3 " sbatch.txt
check "sbatch: memory is the tile rounded up to MiB plus 256" grep -q -- "--mem=654M " sbatch.txt
"${slurm[@]}" --dry-run --tile-quality "$tile_quality" --logs slurm_logs tiles.txt 2000 input slurm_out datamask \
  wetland "$process_tile" > sbatch_quality.txt
check "sbatch --quality: memory covers the quality bytes too (480960480 bytes)" \
  grep -q -- "--mem=715M " sbatch_quality.txt
check "sbatch --quality: the task runs tile_quality into OUTPUT_DIR/quality" \
  grep -q -- " $process_tile $scratch/slurm_logs $tile_quality $scratch/slurm_out/quality )\$" sbatch_quality.txt
check "sbatch --quality: the follow-up job runs the batch quality, then the report" \
  grep -q -- "--follow-up .* $scripts/batch_quality.sh $scratch/slurm_out/quality -- bash $scripts/slurm_array.sh --report --logs $scratch/slurm_logs --tile-quality $tile_quality " sbatch_quality.txt
rm -f slurm_logs/tiles-*.tsv
"${slurm[@]}" --dry-run --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland "$process_tile" > sbatch.txt
submitted=(slurm_logs/tiles-*.tsv)
# sbatch runs a copy of the script from its spool directory, with nothing beside it.
mkdir -p spool && cp "$scripts/slurm_array.sh" spool/slurm_script
task() { SLURM_ARRAY_TASK_ID="$1" bash spool/slurm_script --task 0 "$scratch/${submitted[0]}" 2000 "$scratch/input" \
           "$scratch/slurm_out" "$scratch/datamask" "$scratch/wetland" "$process_tile" "$scratch/slurm_logs" "${@:2}"; }
status=0; task 3 > task3.txt || status=$?
check "slurm task for t3 fails" [ "$status" -eq 1 ]
check "slurm task log and status" [ "$(cat slurm_logs/t3.out)/$(cat slurm_logs/t3.status)" = "$missing not found/1" ]
status=0; task 1 > task1.txt || status=$?
check "slurm task for t1 succeeds" [ "$status" -eq 0 ]
check "slurm task wrote t1's products" [ -s slurm_out/TCC_2000_t1.img ]
"${slurm[@]}" --dry-run --unfinished --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland "$process_tile" > sbatch.txt
check "sbatch --unfinished resubmits t2 and t3 only" grep -q -- "--array=2-3 " sbatch.txt
# The printed line after the sbatch names each tile's task in its job file,
# as a submission does: here as if sbatch had answered job 99.
jobid=99
eval "$(grep -- ' --record-tasks ' sbatch.txt)"
check "printed commands name t2's and t3's tasks of the new array, t1's stays" \
  [ "$(tr '\t' _ < slurm_logs/t1.job)/$(tr '\t' _ < slurm_logs/t2.job)/$(tr '\t' _ < slurm_logs/t3.job)" = "_1/99_2/99_3" ]
"${slurm[@]}" --dry-run --unfinished --quality --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland \
  "$process_tile" > sbatch.txt
check "sbatch --unfinished --quality: t1 has had no quality run, all three" grep -q -- "--array=1-3 " sbatch.txt
# The task with a tile_quality that fails: the task fails, the products stay.
printf '#!/bin/sh\necho "GDAL chatter" >&2\necho "$4/QA_2000_$1.tif cannot be created" >&2\nexit 1\n' > failing_quality
chmod +x failing_quality
status=0; task 1 "$scratch/failing_quality" "$scratch/slurm_out/quality" > task1q.txt || status=$?
check "slurm task with a failing tile_quality fails" [ "$status" -eq 1 ]
check "... its log shows tile_quality's last line" \
  grep -qx "tile_quality: $scratch/slurm_out/quality/QA_2000_t1.tif cannot be created" task1q.txt
check "... process_tile's status 0, the quality status 1" \
  [ "$(cat slurm_logs/t1.status)/$(cat slurm_logs/t1.quality.status)" = 0/1 ]
check "... the products stay" [ -s slurm_out/TCC_2000_t1.img ]
"${slurm[@]}" --dry-run --unfinished --tile-quality "$tile_quality" --logs slurm_logs tiles.txt 2000 input slurm_out \
  datamask wetland "$process_tile" > sbatch.txt
check "sbatch --unfinished --quality resubmits t1 with its failed quality run" grep -q -- "--array=1-3 " sbatch.txt
"${slurm[@]}" --dry-run --unfinished --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland "$process_tile" > sbatch.txt
check "... without --quality, t1 has finished" grep -q -- "--array=2-3 " sbatch.txt
# The report of those logs: no Slurm here, so the tasks' own figures. It runs
# no program, so it works once the binaries have gone; and a log directory
# whose name holds a backslash is read as named.
"${slurm[@]}" --report --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland "$scratch/gone" \
  > slurm_report.txt 2>&1
check "slurm report without the binaries: t1 done, t3 failed with 1, t2 not run" \
  [ "$(awk '$1 ~ /^t[123]$/ { print $1, $2, $3 }' slurm_report.txt | sort | tr '\n' ' ')" = "t1 done 0 t2 not run t3 failed 1 " ]
cp -r slurm_logs 'slurm\tlogs'
"${slurm[@]}" --report --logs 'slurm\tlogs' tiles.txt 2000 input slurm_out datamask wetland "$scratch/gone" \
  > slurm_report_bs.txt 2>&1
check "... the same from a log directory named with a backslash" \
  [ "$(grep '^t' slurm_report_bs.txt)" = "$(grep '^t' slurm_report.txt)" ]
check "... named as it is in the figures line" grep -qF 'slurm\tlogs/TILE.usage' slurm_report_bs.txt
rm -rf slurm_out slurm_logs 'slurm\tlogs' spool

# How the report reads Slurm's accounting, from records as sacct (Slurm 22.05,
# --noconvert --parsable2) printed them on a real cluster, played back by a
# script on PATH beside a scontrol that says the cluster keeps accounting:
# tasks of their own and steps; tasks not yet placed, one record per array
# with ranges as lists, lo-hi and lo-hi:step, and a throttle; a range that
# still holds a task already running; a tile whose task has no record. Tile
# ci is task i of array 7.
mkdir -p acct_bin acct_logs
printf '#!/bin/sh\necho "AccountingStorageType   = accounting_storage/slurmdbd"\n' > acct_bin/scontrol
printf '#!/bin/sh\necho "$*" >> "%s"\ncat "%s"\n' "$scratch/sacct_calls" "$scratch/sacct_records" > acct_bin/sacct
chmod +x acct_bin/scontrol acct_bin/sacct
cat > sacct_records <<'EOF'
7_1|COMPLETED|0:0|12||vm
7_1.batch|COMPLETED|0:0|12|268435456|vm
7_1.extern|COMPLETED|0:0|12|1024|vm
7_3|RUNNING|0:0|5||vm
7_3.batch|RUNNING|0:0|5||vm
7_[3-9:2%1]|PENDING|0:0|0||None assigned
7_[4,6,8-10:2%1]|CANCELLED by 0|0:0|0||None assigned
EOF
for i in $(seq 10); do
  echo "c$i -60 10"
  printf '7\t%d\n' "$i" > "acct_logs/c$i.job"
done > acct_tiles.txt
echo 0 > acct_logs/c1.status; printf '10.50\t200000\tvm\n' > acct_logs/c1.usage
echo 1 > acct_logs/c2.status; printf '3.25\t100000\tvm\n' > acct_logs/c2.usage
echo 1 > acct_logs/c3.status; printf '99.00\t999999\told\n' > acct_logs/c3.usage   # an earlier task's
PATH="$scratch/acct_bin:$PATH" "${slurm[@]}" --report --logs acct_logs acct_tiles.txt 2000 input slurm_out datamask \
  wetland "$process_tile" > acct_report.txt 2>&1
cat acct_report.txt
check "sacct asked once, for array 7" [ "$(cat sacct_calls)" = "--noheader --parsable2 --noconvert --jobs=7 --format=JobID,State,ExitCode,ElapsedRaw,MaxRSS,NodeList" ]
acct_rows() { awk '$1 ~ /^c[0-9]+$/ { $1 = $1; print }' acct_report.txt | sort -V | tr '\n' ';'; }
check "each tile as its task's record has it" [ "$(acct_rows)" = "$(printf '%s;' \
  "c1 done 0 12 256 vm COMPLETED" "c2 failed 1 3.25 98 vm" "c3 running - 5 - vm RUNNING" \
  "c4 failed - - - - CANCELLED" "c5 running - - - - PENDING" "c6 failed - - - - CANCELLED" \
  "c7 running - - - - PENDING" "c8 failed - - - - CANCELLED" "c9 running - - - - PENDING" \
  "c10 failed - - - - CANCELLED")" ]
check "summary: queued and running apart, their times and memory out of the sums" \
  [ "$(grep '^summary' acct_report.txt | tr '\n' ';')" = "$(printf '%s;' \
    "summary: 10 tiles: 1 done, 5 failed, 0 not run, 4 running or queued" \
    "summary: wall time 15.2 s in all, median 7.6 s a tile (2 timed)" "summary: slowest: c1 (12 s) c2 (3.25 s)" \
    "summary: largest memory: c1, 256 MiB")" ]
rm -rf acct_bin acct_logs

# --- resume after the layer is back: only t3 runs -------------------------------
mv "$scratch/t3_TCH_2000.tif.aside" "$missing"
stat -c '%n %y' out/*_t1.img out/*_t2.img > before.txt
start=$(date +%s)
run_batch run2.txt --resume "${shared[@]}"
echo "resume run: $(( $(date +%s) - start )) s"
check "resume exits 0" [ "$status" -eq 0 ]
check "resume summary" grep -q "3 tiles: 3 succeeded, 0 failed, 0 not run" run2.txt
check "resume ran t3 alone" [ "$(tail -n +5 calls | tr '\n' ' ')" = "t3 " ]
check "t1 and t2 products untouched" bash -c 'stat -c "%n %y" out/*_t1.img out/*_t2.img | cmp -s - before.txt'
for p in TCC TCH Loss; do
  check "$p of t3 written" [ -s "out/${p}_2000_t3.img" ]
done
check "job log gained one line, t3 exit 0" \
  bash -c '[ "$(wc -l < out/batch.joblog)" -eq 5 ] && tail -n 1 out/batch.joblog | awk -F"\t" "\$1 == 3 && \$7 == 0 { ok = 1 } END { exit !ok }"'

run_batch run3.txt --resume "${shared[@]}"
check "a resume with nothing left exits 0" [ "$status" -eq 0 ]
# The region once every tile is done: one mosaic per product and year, the
# three tiles side by side (t3 ends 0.5 + 1.001 degrees east of t1's edge).
for p in TCC TCH Loss; do
  check "$p region mosaic of all three tiles" \
    bash -c "[ \"\$(grep -c '<SourceFilename' out/region/${p}_2000.vrt)\" -eq 3 ] && gdalinfo out/region/${p}_2000.vrt > region_$p.txt && grep -q '^Size is 6004, 4004' region_$p.txt"
  check "$p region picture, 2000 pixels wide" \
    bash -c "gdalinfo out/region/${p}_2000.png > picture_$p.txt && grep -q '^Driver: PNG/' picture_$p.txt && grep -q '^Size is 2000, ' picture_$p.txt"
done
check "... and runs nothing" [ "$(wc -l < calls)" -eq 5 ]

# --- --quality ---------------------------------------------------------------------
# The job log of the runs above holds no quality run: resuming it with
# --quality would skip every tile, so it is refused.
run_batch refused.txt --resume --tile-quality "$tile_quality" "${shared[@]}"
check "--quality --resume on a job log without quality runs is refused" [ "$status" -eq 2 ]
check "... naming the tiles" grep -q "records tiles done without --quality (t1 t2 t3)" refused.txt
check "... and runs nothing" [ "$(wc -l < calls)" -eq 5 ]

# t1 and t2 into a new directory; tile_quality (behind a stand-in) fails on
# t2 while the file quality_fails exists, after some chatter on standard error.
cat > flaky_tile_quality <<EOF
#!/bin/sh
if [ "\$1" = t2 ] && [ -e "$scratch/quality_fails" ]; then
  echo "Warning: chatter before the failure" >&2
  echo "t2: quality made to fail" >&2
  exit 1
fi
exec "$tile_quality" "\$@"
EOF
chmod +x flaky_tile_quality
touch quality_fails
printf 't1 -60 10\nt2 -59.75 10\n' > two.txt
quality_shared=(--tile-quality flaky_tile_quality two.txt 2000 input qout datamask wetland "$scratch/counting_process_tile")
calls_before=$(wc -l < calls)
start=$(date +%s)
run_batch quality1.txt "${quality_shared[@]}"
echo "batch run with --quality: $(( $(date +%s) - start )) s"
check "--quality: batch exits 1 when a quality run fails" [ "$status" -eq 1 ]
check "--quality: summary counts t2 as failed" grep -q "2 tiles: 1 succeeded, 1 failed, 0 not run" quality1.txt
check "--quality: summary says it failed in tile_quality" \
  grep -q "1 of the failed tiles failed in tile_quality; their products are written" quality1.txt
check "--quality: summary names t2 with tile_quality's last line" \
  grep -q "t2  exit 1  tile_quality: t2: quality made to fail" quality1.txt
check "--quality: t2's standard error keeps all of it" grep -q "chatter before the failure" qout/logs/t2.out.err
for p in TCC TCH Loss; do
  check "--quality: $p of t2 kept, equal to the plain run's" cmp -s "qout/${p}_2000_t2.img" "out/${p}_2000_t2.img"
done
check "--quality: t2 is in the region" [ "$(grep -c '<SourceFilename' qout/region/TCC_2000.vrt)" -eq 2 ]
quality_header="year,filtered,invalid,jump,repaired,interpolated,post_loss,height_filled,height_capped,height_smoothed,tcc_changed,loss_in,loss_kept"
quality_files() {  # quality_files TILE: the QA raster, table and chart of the tile in qout/quality
  [ -s "qout/quality/QA_2000_$1.tif" ] && [ -s "qout/quality/$1_quality.png" ] &&
    [ "$(head -n 1 "qout/quality/$1_quality.csv")" = "$quality_header" ] &&
    [ "$(grep -c '^2000,' "qout/quality/$1_quality.csv")" -eq 1 ]
}
check "--quality: t1's QA raster, table and chart" quality_files t1
check "--quality: nothing of t2's quality" [ ! -e qout/quality/t2_quality.csv ]
check "--quality: the batch table holds t1 alone" \
  [ "$(cut -d, -f1,2 qout/quality/batch_quality.csv | tr '\n' ' ')" = "tile_id,year t1,2000 " ]

check "--quality: both tiles ran once" [ "$(tail -n +$((calls_before + 1)) calls | sort | tr '\n' ' ')" = "t1 t2 " ]

# The resume once tile_quality works for t2: t2 alone, both programs.
rm quality_fails
calls_before=$(wc -l < calls)
start=$(date +%s)
run_batch quality2.txt --resume "${quality_shared[@]}"
echo "resume with --quality: $(( $(date +%s) - start )) s"
check "--quality: resume exits 0" [ "$status" -eq 0 ]
check "--quality: resume summary" grep -q "2 tiles: 2 succeeded, 0 failed, 0 not run" quality2.txt
check "--quality: the resume ran t2 alone" [ "$(tail -n +$((calls_before + 1)) calls | tr '\n' ' ')" = "t2 " ]
for t in t1 t2; do check "--quality: $t's QA raster, table and chart" quality_files "$t"; done
# gdalinfo's whole output is read before it is searched: no early reader on a pipe.
check "--quality: QA raster of the tile's size" bash -c '[[ "$(gdalinfo qout/quality/QA_2000_t2.tif)" == *$'"'"'\nSize is 4004, 4004\n'"'"'* ]]'
check "--quality: batch table header" [ "$(head -n 1 qout/quality/batch_quality.csv)" = "tile_id,$quality_header" ]
check "--quality: batch table, one line per tile and year" \
  [ "$(tail -n +2 qout/quality/batch_quality.csv | cut -d, -f1,2 | tr '\n' ' ')" = "t1,2000 t2,2000 " ]
check "--quality: batch table lines are the tiles' lines" \
  [ "$(grep '^t2,' qout/quality/batch_quality.csv)" = "t2,$(tail -n 1 qout/quality/t2_quality.csv)" ]
check "--quality: batch chart is a PNG" bash -c 'printf "\211PNG\r\n\032\n" | cmp -s -n 8 - qout/quality/batch_quality.png'
check "--quality: outlier list written" grep -q "^tiles with a share of pixel-years more than 3 times the batch median" \
  qout/quality/batch_quality_outliers.txt
check "--quality: outlier list in the batch's output" grep -q "^tiles with a share of pixel-years" quality2.txt
rm -rf qout

rm -rf input datamask wetland
if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
if [ "$skipped" -eq 1 ]; then echo "every batch check that ran passed; the ssh section was skipped"; exit 77; fi
echo "all batch checks passed"
