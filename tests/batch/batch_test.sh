#!/usr/bin/env bash
# Batch runs end to end: three generated full-size tiles, one with a missing
# layer, through scripts/batch.sh (GNU parallel): the failure is recorded with
# process_tile's message, retried, and a resume after the layer is back runs
# that tile alone. Also the job-count arithmetic (dry runs), the lists refused
# before anything runs, a failing and a succeeding tile on an ssh host (a real
# sshd on 127.0.0.1 that the test starts; exit 77, skipped, when it cannot) and
# the body of a Slurm array task run from a lone copy. With --quality, into an
# output directory whose name holds a space: tile_quality after each tile, a
# failing quality run counted as a failed tile whose products stay, the resume
# that reruns that tile alone, and the batch quality (joined tables, chart,
# outlier list; a tile named "batch"; two runs at once). Each tile's record
# (LOGS/tiles/<tile>/record.json) is read with python3's json module. Leaves
# SCRATCH/out with the products of t1..t3 for 2000.
#
#   batch_test.sh PROCESS_TILE MAKE_SYNTHETIC_TILE TILE_QUALITY SCRATCH
set -euo pipefail

[ $# -eq 4 ] || { echo "usage: $0 PROCESS_TILE MAKE_SYNTHETIC_TILE TILE_QUALITY SCRATCH" >&2; exit 2; }
process_tile="$(realpath "$1")" make_tile="$(realpath "$2")" tile_quality="$(realpath "$3")"
scratch="$(realpath -m "$4")"
scripts="$(cd "$(dirname "$0")/../../scripts" && pwd)"

. "$(dirname "$0")/checks.sh"
# shellcheck source=scripts/pictures.sh
. "$scripts/pictures.sh"
count() { grep -cx -- "$1" "$2" || true; }    # lines equal to $1 in file $2
joblog_lines() { wc -l < "$1"; }
# json_field FILE KEY: a field of a JSON object file ("" when the file, the
# object or the field is missing; null as "").
json_field() {
  python3 -c 'import json, sys
try:
    value = json.load(open(sys.argv[1])).get(sys.argv[2])
except (OSError, ValueError, AttributeError):
    value = None
print("" if value is None else value)' "$1" "$2"
}
record() { json_field "$1/tiles/$2/record.json" "$3"; }    # record LOGS TILE KEY
job_mark() { json_field "$1/tiles/$2/job.json" "$3"; }     # job_mark LOGS TILE KEY

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
check "... each job writing its tile's record" \
  [ "$(record dry_logs t1 status)$(record dry_logs t2 status)$(record dry_logs t3 status)/$(record dry_logs t2 origin_x)" = "000/-59.75" ]
rm -rf dry_logs dry.joblog dry_out dry_calls
# Lists refused before anything runs, each bad line named: a tile listed
# twice, ids that name no file of their own, an origin typed with a letter O.
printf 't1 0 0\nt1 1 1\n' > twice.txt
run_batch plan.txt --dry-run twice.txt 2000 input out datamask wetland "$process_tile"
check "a tile listed twice is refused" [ "$status" -eq 2 ]
printf 't1 -60 10\n. 0 0\n.. 1 1\nA 1O 5O\n' > bad.txt
run_batch bad_run.txt bad.txt 2000 input bad_out datamask wetland "$scratch/counting_process_tile"
check "ids . and .. and origins 1O 5O (letter O) are refused (exit 2)" [ "$status" -eq 2 ]
check "... each bad line named, the good one not" \
  bash -c 'grep -q "bad.txt:2: " bad_run.txt && grep -q "bad.txt:3: " bad_run.txt && grep -q "bad.txt:4: .*1O" bad_run.txt &&
           ! grep -q "bad.txt:1:" bad_run.txt'
check "... and nothing runs, no output directory made" bash -c '[ ! -s calls ] && [ ! -e bad_out ]'

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
check "t3's out log holds the message line" [ "$(cat out/logs/tiles/t3/out)" = "$missing not found" ]
check "t3's record: exit status 1, the message, its origin as listed" \
  [ "$(record out/logs t3 status)/$(record out/logs t3 message)/$(record out/logs t3 origin_x)" = "1/$missing not found/-59.5" ]
check "t1's and t2's records: exit status 0" [ "$(record out/logs t1 status)$(record out/logs t2 status)" = 00 ]
check "t1 and t2 ran once" [ "$(count t1 calls)$(count t2 calls)" = 11 ]
check "t3 was tried twice (--retries 2)" [ "$(count t3 calls)" = 2 ]
for t in t1 t2; do
  for p in TCC TCH Loss; do
    check "$p of $t written" [ -s "out/${p}_2000_$t.img" ]
  done
done
check "nothing written for t3" bash -c '! ls out/*_t3.img 2>/dev/null'
check "parallel's job log kept: header and one line per tile" [ "$(joblog_lines out/batch.joblog)" -eq 4 ]

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
  check "ssh host: tile log on this machine" [ "$(cat remote_logs/tiles/tX/out)" = "$scratch/datamask/tX_datamask.tif not found" ]
  check "ssh host: parallel's job log names the host for both tiles" \
    awk -F'\t' 'FNR > 1 && $2 ~ / tilehost$/ { n++ } END { exit n != 2 }' remote.joblog
  check "ssh host: t1's record, written by the job on the host: exit status 0, quality status 0" \
    [ "$(record remote_logs t1 status)/$(record remote_logs t1 quality_status)" = 0/0 ]
  check "ssh host: both tiles ran in an ssh session from 127.0.0.1" \
    awk '$2 == "127.0.0.1" { seen[$1] = 1 } END { exit !(seen["tX"] && seen["t1"] && NR == 2) }' remote_calls
  check "ssh host: sshd accepted the test key for root" grep -q "Accepted publickey for root from 127.0.0.1" "$ssh_dir/sshd.log"
  for p in TCC TCH Loss; do
    check "ssh host: $p of t1 equals the local run's" cmp -s "remote_out/${p}_2000_t1.img" "out/${p}_2000_t1.img"
  done
  check "ssh host: t1's quality run (--quality) wrote its table" \
    [ "$(cut -d, -f1 remote_out/quality/t1_quality.csv 2>/dev/null | tr '\n' ' ')" = "year 2000 " ]
  check "ssh host: the batch quality holds t1" [ "$(tail -n +2 remote_out/quality/batch/batch_quality.csv | cut -d, -f1)" = t1 ]
  [ "$failures" -eq "$ssh_failures" ] || sed 's/^/sshd log: /' "$ssh_dir/sshd.log" >&2
  stop_sshd
  rm -rf remote_out
else
  echo "SKIP: ssh host section: $skip_reason"
  skipped=1
  stop_sshd
fi

# --- Slurm array task body (no Slurm needed to run it) --------------------------
# No Slurm answers here: with an empty configuration file every Slurm command
# fails at once (a missing one makes them retry for a minute), so the tiles'
# records and job marks alone decide.
: > no_slurm.conf
export SLURM_CONF="$scratch/no_slurm.conf"
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
  grep -qF -- " --tile-quality $tile_quality --quality-dir $scratch/slurm_out/quality -- 2000 " sbatch_quality.txt
request_file="$(sed -n "s/.* follow-up \([^ ']*\)'\$/\1/p" sbatch_quality.txt)"
check "sbatch --quality: the follow-up job's request holds the quality run" \
  [ "$(json_field "$request_file" tile_quality)" = "$tile_quality" ]
# The task runs the body with the arguments of the printed sbatch line, from a
# copy alone in a spool directory, as sbatch runs it: here as task i of array 12.
submitted="$(grep -- '^jobid=' sbatch.txt)"
body="${submitted#*/tilejob.py }"
task_args=()
eval "task_args=(${body%)})"
mkdir -p spool && cp "$scripts/../tilebatch/tilejob.py" spool/slurm_script && chmod +x spool/slurm_script
task() {  # task INDEX [OPTION...]
  local index="$1"; shift
  SLURM_ARRAY_JOB_ID=12 SLURM_ARRAY_TASK_ID="$index" "$scratch/spool/slurm_script" "$@" "${task_args[@]}"
}
status=0; task 3 > task3.txt 2>&1 || status=$?
check "slurm task for t3 fails with process_tile's status" [ "$status" -eq 1 ]
check "... its record: exit status 1, the message, its task" \
  [ "$(record slurm_logs t3 status)/$(record slurm_logs t3 message)/$(record slurm_logs t3 job)" = "1/$missing not found/12_3" ]
check "... its Slurm log names the tile, its origin and task" grep -qx "tile t3 (-59.5, 10) on $(hostname), task 12_3" task3.txt
check "... and the failure" grep -qx "tile t3: exit status 1: $missing not found" task3.txt
status=0; task 1 > task1.txt 2>&1 || status=$?
check "slurm task for t1 succeeds" [ "$status" -eq 0 ]
check "slurm task wrote t1's products" [ -s slurm_out/TCC_2000_t1.img ]
"${slurm[@]}" --dry-run --unfinished --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland "$process_tile" > sbatch.txt
check "sbatch --unfinished resubmits t2 and t3 only" grep -q -- "--array=2-3 " sbatch.txt
# The report of those logs: it runs no program, so it works once the binaries
# have gone; and a log directory whose name holds a backslash is read as named.
"${slurm[@]}" --report --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland "$scratch/gone" \
  > slurm_report.txt 2>&1
report_rows() { awk '$1 ~ /^t[123]$/ { print $1, $2, $3 }' "$1" | sort | tr '\n' ' '; }
check "slurm report without the binaries: t1 done, t3 failed with 1, t2 not run" \
  [ "$(report_rows slurm_report.txt)" = "t1 done 0 t2 not run t3 failed 1 " ]
cp -r slurm_logs 'slurm\tlogs'
"${slurm[@]}" --report --logs 'slurm\tlogs' tiles.txt 2000 input slurm_out datamask wetland "$scratch/gone" \
  > slurm_report_bs.txt 2>&1
check "... the same from a log directory named with a backslash" \
  [ "$(report_rows slurm_report_bs.txt)" = "$(report_rows slurm_report.txt)" ]
check "... its report written there, under that name" \
  bash -c 'cmp -s <(grep -v "^slurm_array.sh: the batch page: " slurm_report_bs.txt) "$1/report.txt" && [ ! -e "$2" ]' \
  _ 'slurm\tlogs' $'slurm\tlogs'
# The printed line after the sbatch marks each tile as handed to its task, as
# a submission does: here as if sbatch had answered job 99. Without Slurm to
# ask, a tile handed to a task since its record is of unknown state.
(export jobid=99; bash -c "$(grep -- ' mark-tasks ' sbatch.txt)")
check "printed commands hand t2 and t3 to tasks of the new array, t1 stays with its task" \
  [ "$(job_mark slurm_logs t1 job)/$(job_mark slurm_logs t2 job)/$(job_mark slurm_logs t3 job)" = "12_1/99_2/99_3" ]
"${slurm[@]}" --report --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland "$scratch/gone" \
  > slurm_report.txt 2>&1
check "... the report: t1 done, t2 and t3 handed to Slurm, state unknown" \
  [ "$(report_rows slurm_report.txt)" = "t1 done 0 t2 unknown - t3 unknown - " ]
check "... counted apart in the summary" \
  grep -qx "summary: 3 tiles: 1 done, 0 failed, 0 not run, 2 handed to Slurm, state unknown" slurm_report.txt
"${slurm[@]}" --dry-run --unfinished --quality --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland \
  "$process_tile" > sbatch.txt
check "sbatch --unfinished --quality: t1 has had no quality run, all three" grep -q -- "--array=1-3 " sbatch.txt
# The task with a tile_quality that fails: the task fails, the products stay.
printf '#!/bin/sh\necho "GDAL chatter" >&2\necho "$4/QA_2000_$1.tif cannot be created" >&2\nexit 1\n' > failing_quality
chmod +x failing_quality
status=0
task 1 --tile-quality "$scratch/failing_quality" --quality-dir "$scratch/slurm_out/quality" > task1q.txt 2>&1 || status=$?
check "slurm task with a failing tile_quality fails" [ "$status" -eq 1 ]
check "... its log shows tile_quality's last line" \
  grep -qx "tile_quality: $scratch/slurm_out/quality/QA_2000_t1.tif cannot be created" task1q.txt
check "... its record: process_tile's status 0, the quality status 1" \
  [ "$(record slurm_logs t1 status)/$(record slurm_logs t1 quality_status)" = 0/1 ]
check "... the products stay" [ -s slurm_out/TCC_2000_t1.img ]
"${slurm[@]}" --dry-run --unfinished --tile-quality "$tile_quality" --logs slurm_logs tiles.txt 2000 input slurm_out \
  datamask wetland "$process_tile" > sbatch.txt
check "sbatch --unfinished --quality resubmits t1 with its failed quality run" grep -q -- "--array=1-3 " sbatch.txt
"${slurm[@]}" --dry-run --unfinished --logs slurm_logs tiles.txt 2000 input slurm_out datamask wetland "$process_tile" > sbatch.txt
check "... without --quality, t1 has finished" grep -q -- "--array=2-3 " sbatch.txt
unset SLURM_CONF
rm -rf slurm_out slurm_logs 'slurm\tlogs' spool

# --- resume after the layer is back: only t3 runs -------------------------------
mv "$scratch/t3_TCH_2000.tif.aside" "$missing"
stat -c '%n %y' out/*_t1.img out/*_t2.img > before.txt
cp out/logs/tiles/t1/record.json t1_record_before.json
cp out/logs/tiles/t2/record.json t2_record_before.json
start=$(date +%s)
run_batch run2.txt --resume "${shared[@]}"
echo "resume run: $(( $(date +%s) - start )) s"
check "resume exits 0" [ "$status" -eq 0 ]
check "resume summary" grep -q "3 tiles: 3 succeeded, 0 failed, 0 not run" run2.txt
check "resume ran t3 alone" [ "$(tail -n +5 calls | tr '\n' ' ')" = "t3 " ]
check "t1 and t2 products untouched" bash -c 'stat -c "%n %y" out/*_t1.img out/*_t2.img | cmp -s - before.txt'
check "t1's and t2's records untouched" \
  bash -c 'cmp -s t1_record_before.json out/logs/tiles/t1/record.json && cmp -s t2_record_before.json out/logs/tiles/t2/record.json'
for p in TCC TCH Loss; do
  check "$p of t3 written" [ -s "out/${p}_2000_t3.img" ]
done
check "t3's new record: exit status 0, no message" [ "$(record out/logs t3 status)/$(record out/logs t3 message)" = "0/" ]

run_batch run3.txt --resume "${shared[@]}"
check "a resume with nothing left exits 0" [ "$status" -eq 0 ]
# The region once every tile is done: one mosaic per product and year, the
# three tiles side by side (t3 ends 0.5 + 1.001 degrees east of t1's edge).
for p in TCC TCH Loss; do
  check "$p region mosaic of all three tiles" \
    bash -c "[ \"\$(grep -c '<SourceFilename' out/region/${p}_2000.vrt)\" -eq 3 ] && gdalinfo out/region/${p}_2000.vrt > region_$p.txt && grep -q '^Size is 6004, 4004' region_$p.txt"
  check "$p region picture is a PNG" \
    bash -c "gdalinfo out/region/${p}_2000.png > picture_$p.txt && grep -q '^Driver: PNG/' picture_$p.txt"
done
# Each tile's job left the reduced copy the pictures are drawn from, so the
# region made none itself.
check "each tile's job wrote its reduced copy" \
  bash -c 'for t in t1 t2 t3; do info="$(gdalinfo "out/reduced/Reduced_2000_$t.tif")" || exit 1
             grep -q "^Size is 182, 182" <<< "$info" || exit 1; done'
check "... which the region took as they were" bash -c '! grep -q "reduced copies made here" run3.txt' 
check "... and runs nothing" [ "$(wc -l < calls)" -eq 5 ]

# --- --quality ---------------------------------------------------------------------
# The tiles above were done without a quality run: asked with --quality they
# are not done, and a resume would run them all again (here only reported and
# dry run).
run_batch quality0.txt --report --tile-quality "$tile_quality" "${shared[@]}"
check "--quality --report: tiles done without it are not run, saying so" \
  [ "$(awk -F'\t' 'NR > 1 { print $1, $2, $NF }' out/logs/report.tsv | sort | tr '\n' ';')" = \
    "t1 not run done without --quality;t2 not run done without --quality;t3 not run done without --quality;" ]
run_batch quality0.txt --dry-run --resume --tile-quality "$tile_quality" "${shared[@]}"
check "--quality --resume: every tile is to run again" [ "$(cut -f1 out/logs/tiles.tsv | tr '\n' ' ')" = "t1 t2 t3 " ]
check "... and runs nothing" [ "$(wc -l < calls)" -eq 5 ]

# t1 and t2 into a new directory whose name holds a space; tile_quality
# (behind a stand-in) fails on t2 while the file quality_fails exists, after
# some chatter on standard error.
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
qout="q out"
quality_shared=(--tile-quality flaky_tile_quality two.txt 2000 input "$qout" datamask wetland "$scratch/counting_process_tile")
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
check "--quality: t2's quality log keeps all of it" grep -q "chatter before the failure" "$qout/logs/tiles/t2/quality.err"
check "--quality: t2's record: process_tile's status 0, the quality status 1" \
  [ "$(record "$qout/logs" t2 status)/$(record "$qout/logs" t2 quality_status)" = 0/1 ]
for p in TCC TCH Loss; do
  check "--quality: $p of t2 kept, equal to the plain run's" cmp -s "$qout/${p}_2000_t2.img" "out/${p}_2000_t2.img"
done
check "--quality: t2 is in the region" [ "$(grep -c '<SourceFilename' "$qout/region/TCC_2000.vrt")" -eq 2 ]
quality_header="year,filtered,invalid,jump,repaired,interpolated,post_loss,height_filled,height_capped,height_smoothed,tcc_changed,loss_in,loss_kept"
quality_files() {  # quality_files TILE: the QA raster, table and chart of the tile in $qout/quality
  [ -s "$qout/quality/QA_2000_$1.tif" ] && [ -s "$qout/quality/$1_quality.png" ] &&
    [ "$(head -n 1 "$qout/quality/$1_quality.csv")" = "$quality_header" ] &&
    [ "$(grep -c '^2000,' "$qout/quality/$1_quality.csv")" -eq 1 ]
}
batch_quality="$qout/quality/batch"
check "--quality: t1's QA raster, table and chart" quality_files t1
check "--quality: nothing of t2's quality" [ ! -e "$qout/quality/t2_quality.csv" ]
check "--quality: the batch table holds t1 alone" \
  [ "$(cut -d, -f1,2 "$batch_quality/batch_quality.csv" | tr '\n' ' ')" = "tile_id,year t1,2000 " ]

check "--quality: both tiles ran once" [ "$(tail -n +$((calls_before + 1)) calls | sort | tr '\n' ' ')" = "t1 t2 " ]

# The resume once tile_quality works for t2: t2 alone, both programs, and a
# batch that ends 0 with the space in its directory's name.
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
check "--quality: QA raster of the tile's size" \
  bash -c '[[ "$(gdalinfo "$1/quality/QA_2000_t2.tif")" == *$'"'"'\nSize is 4004, 4004\n'"'"'* ]]' _ "$qout"
check "--quality: batch table header" [ "$(head -n 1 "$batch_quality/batch_quality.csv")" = "tile_id,$quality_header" ]
check "--quality: batch table, one line per tile and year" \
  [ "$(tail -n +2 "$batch_quality/batch_quality.csv" | cut -d, -f1,2 | tr '\n' ' ')" = "t1,2000 t2,2000 " ]
check "--quality: batch table lines are the tiles' lines" \
  [ "$(grep '^t2,' "$batch_quality/batch_quality.csv")" = "t2,$(tail -n 1 "$qout/quality/t2_quality.csv")" ]
check "--quality: batch chart is a whole PNG" whole_png "$batch_quality/batch_quality.png"
check "--quality: outlier list written" grep -q "^tiles with a share of pixel-years more than 3 times the batch median" \
  "$batch_quality/batch_quality_outliers.txt"
check "--quality: outlier list in the batch's output" grep -q "^tiles with a share of pixel-years" quality2.txt

# batch_quality.sh on its own, in a quality directory that also holds a tile
# named "batch" (its table and chart as tile_quality names them; here t2's):
# the batch's files go into batch/ and leave the tile's alone.
mkdir qb
cp "$qout/quality/t1_quality.csv" "$qout/quality/t2_quality.csv" qb/
cp "$qout/quality/t2_quality.csv" qb/batch_quality.csv
cp "$qout/quality/t2_quality.png" qb/batch_quality.png
status=0; bash "$scripts/batch_quality.sh" qb t1 batch > qb_run.txt 2>&1 || status=$?
check "batch quality with a tile named batch: exit 0" [ "$status" -eq 0 ]
check "... that tile's table and chart untouched" \
  bash -c 'cmp -s qb/batch_quality.csv "$1/t2_quality.csv" && cmp -s qb/batch_quality.png "$1/t2_quality.png"' _ "$qout/quality"
expected_table() {  # expected_table TILE...: the batch table of those tiles, made from their tables in qb
  local t
  echo "tile_id,$quality_header"
  for t in "$@"; do sed -n "2,\$s/^/$t,/p" "qb/${t}_quality.csv"; done
}
check "... the batch table holds t1 and the tile batch" [ "$(cat qb/batch/batch_quality.csv)" = "$(expected_table t1 batch)" ]
# Two at once, of other tiles: the table that stays is one run's, whole, and
# the totals beside it are that table's sums.
bash "$scripts/batch_quality.sh" qb t1 t2 > qb_a.txt 2>&1 & first=$!
bash "$scripts/batch_quality.sh" qb t2 batch t1 > qb_b.txt 2>&1 & second=$!
status_a=0; wait "$first" || status_a=$?
status_b=0; wait "$second" || status_b=$?
check "two batch quality runs at once: both exit 0" [ "$status_a/$status_b" = 0/0 ]
check "... the batch table is one run's, whole" \
  bash -c '[ "$1" = "$2" ] || [ "$1" = "$3" ]' _ "$(cat qb/batch/batch_quality.csv)" "$(expected_table t1 t2)" \
  "$(expected_table t2 batch t1)"
check "... the totals are that table's sums" python3 -c 'import csv, sys
sums = {}
for row in csv.DictReader(open(sys.argv[1])):
    year = sums.setdefault(row.pop("year"), {})
    row.pop("tile_id")
    for k, v in row.items():
        year[k] = year.get(k, 0) + int(v)
totals = {}
for row in csv.DictReader(open(sys.argv[2])):
    year = row.pop("year")
    totals[year] = {k: int(v) for k, v in row.items()}
sys.exit(0 if sums and sums == totals else 1)' qb/batch/batch_quality.csv qb/batch/batch_quality_totals.csv
check "... and the chart a whole PNG" whole_png qb/batch/batch_quality.png
rm -rf "$qout" qb

rm -rf input datamask wetland
if [ "$failures" -gt 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
if [ "$skipped" -eq 1 ]; then echo "every batch check that ran passed; the ssh section was skipped"; exit 77; fi
echo "all batch checks passed"
