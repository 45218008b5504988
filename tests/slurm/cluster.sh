#!/usr/bin/env bash
# The one-node cluster of the cluster tests, as a CTest fixture:
#   cluster.sh setup MARKER    start it (unless it runs already) and run one job through it
#   cluster.sh cleanup MARKER  stop it again, if setup started it
# When Slurm cannot be started on this machine, setup still succeeds but writes the reason to
# MARKER: the tests then skip with it. VELTO_SLURM_DIR says where the cluster lives.
set -uo pipefail
local_cluster="$(dirname "$0")/../../scripts/slurm-local.sh"
marker=$2
started="$marker.started"

# Shows what the last step said, stops what was started and leaves the reason for the tests.
unavailable() {
  printf '%s\n' "$out"
  "$local_cluster" stop > /dev/null 2>&1
  rm -f "$started"
  printf '%s: %s\n' "$1" "$(printf '%s' "$out" | tail -n 3)" > "$marker"
  exit 0
}

case $1 in
  setup)
    rm -f "$marker"
    # Running already: left to whoever started it (an earlier setup of ours keeps its note).
    if "$local_cluster" status; then
      echo "Using the one-node cluster that runs already."
      exit 0
    fi
    rm -f "$started"
    out=$("$local_cluster" start 2>&1) || unavailable "scripts/slurm-local.sh start failed"
    printf '%s\n' "$out"
    touch "$started"
    out=$("$local_cluster" check 2>&1) || unavailable "the cluster started but runs no job"
    printf '%s\n' "$out"
    ;;
  cleanup)
    if [ -e "$started" ]; then
      "$local_cluster" stop
      rm -f "$started"
    fi
    ;;
  *)
    echo "Usage: $0 setup|cleanup MARKER" >&2
    exit 2
    ;;
esac
