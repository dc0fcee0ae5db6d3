#!/bin/sh
# Stands in for ssh between the hosts of a test cluster (testcluster.py):
#   host-agent.sh [OPTION...] HOST COMMAND...
# runs COMMAND inside HOST's network, UTS and mount namespaces, so it sees
# that host's hostname, interface and /etc/hosts. Like ssh, the command words
# are joined with blanks and run by a shell; leading options (hydra passes -x)
# are ignored. The cluster's directory comes from VELLASTRON_TEST_CLUSTER.
set -eu

cluster=${VELLASTRON_TEST_CLUSTER:?host-agent.sh: VELLASTRON_TEST_CLUSTER is not set}

while [ $# -gt 0 ]; do
  case $1 in
    -*) shift ;;
    *) break ;;
  esac
done
if [ $# -lt 2 ]; then
  echo "usage: host-agent.sh [OPTION...] HOST COMMAND..." >&2
  exit 255
fi

host=$1
shift
if ! holder=$(cat "$cluster/hosts/$host" 2>/dev/null); then
  echo "host-agent.sh: $host is not a host of the cluster in $cluster" >&2
  exit 255
fi

exec nsenter --target "$holder" --net --uts --mount --wd="$PWD" -- /bin/sh -c "$*"
