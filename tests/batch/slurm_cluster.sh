# shellcheck shell=bash
# A one-node Slurm for the tests, sourced by them (as root, in their scratch
# directory): installs Debian's slurmctld, slurmd, slurm-client and munge when
# missing, starts munged, slurmctld and slurmd from a configuration in a
# temporary directory and stops them by pid (and cancels the jobs first) when
# the test exits. Expects skip (print SKIP: and exit 77) and installed (is a
# Debian package installed) from the test. Optional before sourcing:
#   slurm_node_cpus    the node's CPUs (default the machine's, at most 2)
#   slurm_extra_conf   lines added to slurm.conf
#   slurm_accounting   1: job accounting as a site has it, slurmdbd over a
#                      MariaDB server of its own (Debian's slurmdbd and
#                      mariadb-server, installed when missing), so that sacct
#                      answers; the job's processes are sampled every second
# Sets SLURM_CONF, node, cpus, real_memory, conf_dir (and with accounting
# dbd_pid, the slurmdbd's pid). Its submit calls $scripts/slurm_array.sh
# ($scripts set by the test).
# --- Debian's Slurm and munge ------------------------------------------------------
to_install=()
packages=(slurmctld slurmd slurm-client munge)
[ "${slurm_accounting:-0}" -eq 0 ] || packages+=(slurmdbd mariadb-server)
for p in "${packages[@]}"; do installed "$p" || to_install+=("$p"); done
# The Slurm tests run side by side and may each install on a fresh machine:
# apt would refuse the second while the first holds dpkg's lock, so each
# waits its turn (10 minutes at most) on a lock of their own.
apt_in_turn() { flock -w 600 /var/lock/process_tile-tests-apt.lock apt-get "$@"; }
if [ "${#to_install[@]}" -gt 0 ]; then
  echo "installing ${to_install[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! apt_in_turn install -y --no-install-recommends "${to_install[@]}" > apt.log 2>&1; then
    { apt_in_turn update > apt.log 2>&1 &&
      apt_in_turn install -y --no-install-recommends "${to_install[@]}" >> apt.log 2>&1; } ||
      { tail -n 5 apt.log; skip "the packages ${to_install[*]} cannot be installed"; }
  fi
fi
tools=(munged munge slurmctld slurmd sbatch squeue sinfo scancel)
[ "${slurm_accounting:-0}" -eq 0 ] || tools+=(slurmdbd sacct mariadbd mariadb-install-db mariadb)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || skip "$tool missing after installing the packages"
done

# --- the daemons, from a temporary directory, stopped by pid at the end -----------
conf_dir="$(mktemp -d /tmp/pt-slurm.XXXXXX)"
daemon_pids=()
stop_all() {
  local status=$? pid _
  trap - EXIT
  if [ -n "${SLURM_CONF:-}" ] && [ "${#daemon_pids[@]}" -ge 2 ]; then
    # Jobs first, so that no slurmstepd outlives its slurmd.
    scancel --full --quiet --user=root 2>/dev/null || true
    for _ in $(seq 60); do
      [ -z "$(squeue -h -o %i 2>/dev/null)" ] && break
      sleep 0.5
    done
  fi
  for pid in "${daemon_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${daemon_pids[@]}"; do
    for _ in $(seq 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.25; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$conf_dir"
  exit "$status"
}
trap stop_all EXIT
trap 'exit 143' TERM INT HUP

show_logs() { local f; for f in "$conf_dir"/*.log; do echo "--- $f"; tail -n 15 "$f"; done; }

# munged with its own socket, pid, seed and log files; the key is the system's
# (created here when there is none), and root runs it (--force).
if [ ! -s /etc/munge/munge.key ]; then
  mkdir -p /etc/munge
  dd if=/dev/urandom of=/etc/munge/munge.key bs=1024 count=1 status=none
  chown munge:munge /etc/munge/munge.key 2>/dev/null || true
  chmod 0400 /etc/munge/munge.key
fi
socket="$conf_dir/munge.socket"
munged --foreground --force --socket="$socket" --pid-file="$conf_dir/munged.pid" \
  --log-file="$conf_dir/munged.log" --seed-file="$conf_dir/munged.seed" > "$conf_dir/munged.stdout.log" 2>&1 &
daemon_pids+=($!)
munge_up=0
for _ in $(seq 40); do
  if munge -n -S "$socket" > "$conf_dir/cred" 2>/dev/null && unmunge -S "$socket" < "$conf_dir/cred" > /dev/null 2>&1; then
    munge_up=1; break
  fi
  sleep 0.25
done
[ "$munge_up" -eq 1 ] || { show_logs; skip "munged did not come up within 10 s"; }

# Four free TCP ports in a row: slurmctld, slurmd, and with accounting
# slurmdbd and MariaDB. They are taken below the kernel's range of ephemeral
# ports, from which every outgoing connection (another test's daemons talking
# to each other, say) takes its local port: a port that is free when looked
# at there may be in use by the time a daemon binds it. Ports in any state
# count as used, not only listening ones.
ports_in_use() {  # the local ports of all TCP sockets, one per line (decimal)
  local local_addr rest
  cat /proc/net/tcp /proc/net/tcp6 2>/dev/null | while read -r _ local_addr rest; do
    case "$local_addr" in *:*) echo $(( 16#${local_addr##*:} )) ;; esac
  done
}
ports_in_use > "$conf_dir/ports"
read -r ephemeral_low _ < /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || ephemeral_low=32768
[ "$ephemeral_low" -gt 12000 ] || skip "the ephemeral port range starts at $ephemeral_low, leaving no room below it"
port=""
for _ in $(seq 50); do
  p=$(( 10000 + RANDOM % (ephemeral_low - 10004) ))
  if ! grep -qx -e "$p" -e "$((p + 1))" -e "$((p + 2))" -e "$((p + 3))" "$conf_dir/ports"; then
    port=$p; break
  fi
done
[ -n "$port" ] || skip "no four free TCP ports found"

node="$(hostname -s)"
cpus="${slurm_node_cpus:-$(( $(nproc) < 2 ? $(nproc) : 2 ))}"
mem_total_mib=$(( $(awk '$1 == "MemTotal:" { print $2 }' /proc/meminfo) / 1024 ))
real_memory=$(( mem_total_mib / 4 ))   # a share of the machine, which others use too
mkdir -p "$conf_dir/state" "$conf_dir/spool"
export SLURM_CONF="$conf_dir/slurm.conf"

# --- with accounting: MariaDB on loopback, then slurmdbd over it -------------------
accounting_conf="JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none"
if [ "${slurm_accounting:-0}" -eq 1 ]; then
  db_port=$((port + 3)) dbd_port=$((port + 2))
  # No name lookups: a minimal machine may resolve neither its own name nor
  # localhost, and the database knows its one client by address.
  mariadb-install-db --no-defaults --user=root --datadir="$conf_dir/db" --skip-test-db --force \
    --skip-name-resolve --auth-root-authentication-method=socket > "$conf_dir/mariadb-install.log" 2>&1 ||
    { show_logs; skip "mariadb-install-db could not make a database directory"; }
  mariadbd --no-defaults --user=root --skip-name-resolve --datadir="$conf_dir/db" --socket="$conf_dir/db.socket" \
    --port="$db_port" --bind-address=127.0.0.1 --pid-file="$conf_dir/mariadbd.pid" \
    --log-error="$conf_dir/mariadbd.log" > /dev/null 2>&1 &
  daemon_pids+=($!)
  # slurmdbd's own database user, over TCP; root keeps its socket login.
  db_password="pt$RANDOM$RANDOM"
  db_up=0
  for _ in $(seq 80); do
    if mariadb --no-defaults --socket="$conf_dir/db.socket" -u root -e \
      "CREATE USER IF NOT EXISTS 'slurm'@'127.0.0.1' IDENTIFIED BY '$db_password';
       GRANT ALL ON slurm_acct_db.* TO 'slurm'@'127.0.0.1';" > /dev/null 2>&1; then
      db_up=1; break
    fi
    sleep 0.25
  done
  [ "$db_up" -eq 1 ] || { show_logs; skip "MariaDB did not come up within 20 s"; }
  # slurmdbd reads slurmdbd.conf beside SLURM_CONF, and only when no one but
  # its user can read it (it holds the database password).
  ( umask 077; cat > "$conf_dir/slurmdbd.conf" <<EOF
AuthType=auth/munge
AuthInfo=socket=$socket
DbdHost=localhost
DbdAddr=127.0.0.1
DbdPort=$dbd_port
SlurmUser=root
PidFile=$conf_dir/slurmdbd.pid
LogFile=$conf_dir/slurmdbd.log
StorageType=accounting_storage/mysql
StorageHost=127.0.0.1
StoragePort=$db_port
StorageUser=slurm
StoragePass=$db_password
StorageLoc=slurm_acct_db
EOF
  )
  slurmdbd -D > "$conf_dir/slurmdbd.stdout.log" 2>&1 &
  dbd_pid=$!
  daemon_pids+=("$dbd_pid")
  dbd_up=0
  for _ in $(seq 120); do
    if (exec 3<> "/dev/tcp/127.0.0.1/$dbd_port") 2>/dev/null; then dbd_up=1; break; fi
    sleep 0.25
  done
  [ "$dbd_up" -eq 1 ] || { show_logs; skip "slurmdbd did not listen within 30 s"; }
  accounting_conf="JobAcctGatherType=jobacct_gather/linux
JobAcctGatherFrequency=task=1
AccountingStorageType=accounting_storage/slurmdbd
AccountingStorageHost=127.0.0.1
AccountingStoragePort=$dbd_port
AccountingStoragePass=$socket"
fi

cat > "$SLURM_CONF" <<EOF
ClusterName=pttest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$conf_dir/state
SlurmdSpoolDir=$conf_dir/spool
SlurmctldPidFile=$conf_dir/slurmctld.pid
SlurmdPidFile=$conf_dir/slurmd.pid
SlurmctldLogFile=$conf_dir/slurmctld.log
SlurmdLogFile=$conf_dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
MpiDefault=none
ReturnToService=2
$accounting_conf
JobCompType=jobcomp/none
KillWait=10
MinJobAge=600
NodeName=$node NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$real_memory State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
${slurm_extra_conf:-}
EOF
slurmctld -D -f "$SLURM_CONF" > "$conf_dir/slurmctld.stdout.log" 2>&1 &
daemon_pids+=($!)
slurmd -D -f "$SLURM_CONF" -N "$node" > "$conf_dir/slurmd.stdout.log" 2>&1 &
daemon_pids+=($!)
node_state=""
for _ in $(seq 120); do
  node_state="$(sinfo -h -N -n "$node" -p test -o %T 2>/dev/null || true)"   # a line per partition
  [ "$node_state" = idle ] && break
  sleep 0.5
done
[ "$node_state" = idle ] || { show_logs; skip "the Slurm node was not idle within 60 s (state '${node_state}')"; }
echo "Slurm up: node $node, $cpus CPUs, $real_memory MiB, ports $port and $((port + 1))"

# Waiting for jobs and submitting through slurm_array.sh, as both tests do.
wait_jobs() {  # wait_jobs ID[,ID...]: until none is pending, running or completing (5 min)
  local _
  for _ in $(seq 600); do
    squeue -h -j "$1" -t PD,R,CG,CF,S -o %i > queue.txt 2>/dev/null || true
    [ -s queue.txt ] || return 0
    sleep 0.5
  done
  echo "jobs $1 still queued after 5 minutes:" >&2; cat queue.txt >&2
  return 1
}
submit() {  # submit OUTFILE ARGS...: slurm_array.sh, then array_jobs and follow_up_job from its output
  local status=0
  bash "${scripts:?}/slurm_array.sh" "${@:2}" > "$1" 2>&1 || status=$?
  cat "$1"
  array_jobs="$(sed -n 's/^slurm_array.sh: submitted array job \([0-9]*\) .*/\1/p' "$1" | paste -sd , -)"
  # shellcheck disable=SC2034  # read by the test
  follow_up_job="$(sed -n 's/^slurm_array.sh: submitted follow-up job \([0-9]*\) .*/\1/p' "$1")"
  [ "$status" -eq 0 ] && [ -n "$array_jobs" ]
}
