#!/usr/bin/env bash
# A one-node Slurm cluster on this machine, to try `velto-batch --slurm` on a workstation and for
# the cluster tests:
#   scripts/slurm-local.sh start    install Slurm and MUNGE if missing, start munged, slurmctld
#                                   and slurmd, wait for the node; prints the SLURM_CONF to export
#   scripts/slurm-local.sh check    run one small job through it (exit status 0 when it ran)
#   scripts/slurm-local.sh status   exit status 0 when the cluster answers
#   scripts/slurm-local.sh stop     stop the daemons that start started
# Needs root, or sudo without a password. The configuration, the state and the logs live in
# VELTO_SLURM_DIR (default /tmp/velto-slurm); the MUNGE key is the machine's own
# (/etc/munge/munge.key, made here when there is none).
set -euo pipefail

dir=${VELTO_SLURM_DIR:-/tmp/velto-slurm}
conf=$dir/slurm.conf
export SLURM_CONF=$conf

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -n "$@"; fi
}

alive() {
  [ -s "$1" ] && as_root kill -0 "$(cat "$1")" 2> /dev/null
}

install_missing() {
  local missing=() package
  for package in slurmctld slurmd slurm-client munge; do
    dpkg -s "$package" > /dev/null 2>&1 || missing+=("$package")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

start_munge() {
  if [ ! -s /etc/munge/munge.key ]; then
    if [ -x /usr/sbin/mungekey ]; then
      as_root /usr/sbin/mungekey --create --keyfile=/etc/munge/munge.key
    else
      as_root dd if=/dev/urandom of=/etc/munge/munge.key bs=1024 count=1 status=none
    fi
    as_root chown munge:munge /etc/munge/munge.key
    as_root chmod 0400 /etc/munge/munge.key
  fi
  # A munged that already answers (the system's own service) is used as it is.
  if munge -n < /dev/null 2> /dev/null | unmunge > /dev/null 2>&1; then
    return
  fi
  as_root install -d -o munge -g munge -m 0755 /run/munge
  as_root runuser -u munge -- /usr/sbin/munged
  as_root touch "$dir/munged.ours"
  for _ in $(seq 50); do
    munge -n < /dev/null 2> /dev/null | unmunge > /dev/null 2>&1 && return
    sleep 0.2
  done
  echo "munged does not answer" >&2
  return 1
}

write_config() {
  local host cpus total margin
  host=$(hostname -s)
  cpus=$(nproc)
  total=$(free -m | awk '/^Mem:/ { print $2 }')
  # slurmd drains a node that has less memory than configured: leave a margin.
  margin=$((total / 20 > 256 ? total / 20 : 256))
  as_root tee "$conf" > /dev/null << EOF
# One node: this machine. Written by scripts/slurm-local.sh.
ClusterName=velto-test
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
AuthType=auth/munge
MpiDefault=none
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
# Memory is a resource a task asks for (1 GiB per CPU unless it asks for more), and a task that
# grows beyond it is ended within a second, as a production cluster's memory limit ends it.
SelectTypeParameters=CR_Core_Memory
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/linux
JobAcctGatherFrequency=task=1
JobAcctGatherParams=OverMemoryKill
# Refuse at submission what the partition does not allow, rather than queue it for ever.
EnforcePartLimits=ALL
ReturnToService=2
KillWait=5
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$((total - margin)) State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=1-00:00:00 DefMemPerCPU=1024 State=UP
EOF
}

node_state() {
  sinfo --noheader --Node --format=%t 2> /dev/null | head -n 1
}

start() {
  install_missing
  as_root install -d -m 0755 "$dir" "$dir/state" "$dir/spool" "$dir/log"
  start_munge
  if alive "$dir/slurmctld.pid" && alive "$dir/slurmd.pid"; then
    echo "The one-node cluster already runs."
  else
    write_config
    alive "$dir/slurmctld.pid" || as_root slurmctld -f "$conf" -i
    alive "$dir/slurmd.pid" || as_root slurmd -f "$conf"
  fi
  local state=""
  for i in $(seq 120); do
    state=$(node_state)
    case $state in
      idle* | mix* | alloc*) break ;;
      down* | drain* | drng*)
        # A node left down by an earlier, unclean stop comes back here.
        [ "$i" -eq 20 ] && as_root scontrol update nodename="$(hostname -s)" state=resume || true
        ;;
    esac
    sleep 0.5
  done
  case $state in
    idle* | mix* | alloc*) ;;
    *)
      echo "The node did not come up (state '${state:-none}'); see $dir/log/" >&2
      tail -n 5 "$dir/log/slurmctld.log" "$dir/log/slurmd.log" >&2 || true
      return 1
      ;;
  esac
  echo "One-node Slurm cluster up. In your shell:"
  echo "  export SLURM_CONF=$conf"
}

check() {
  local out
  out=$(mktemp -d)
  if timeout 120 sbatch --quiet --wait --chdir="$out" --output="$out/check.out" \
    --wrap 'echo ran on $(hostname -s)'; then
    cat "$out/check.out"
    rm -rf "$out"
    return 0
  fi
  echo "A job could not be run:" >&2
  cat "$out/check.out" >&2 2> /dev/null || true
  rm -rf "$out"
  return 1
}

stop() {
  local daemon pid
  for daemon in slurmd slurmctld; do
    if alive "$dir/$daemon.pid"; then
      pid=$(cat "$dir/$daemon.pid")
      as_root kill "$pid"
      for _ in $(seq 100); do
        as_root kill -0 "$pid" 2> /dev/null || break
        sleep 0.1
      done
    fi
  done
  if [ -e "$dir/munged.ours" ]; then
    alive /run/munge/munged.pid && as_root kill "$(cat /run/munge/munged.pid)"
    as_root rm -f "$dir/munged.ours"
  fi
  echo "One-node Slurm cluster stopped."
}

case ${1:-} in
  start) start ;;
  check) check ;;
  status) alive "$dir/slurmctld.pid" && alive "$dir/slurmd.pid" && sinfo > /dev/null 2>&1 ;;
  stop) stop ;;
  *)
    echo "Usage: $0 start|check|status|stop" >&2
    exit 2
    ;;
esac
