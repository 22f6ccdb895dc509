#!/usr/bin/env bash
# A private Slurm cluster whose nodes are apart: each slurmd in a network,
# UTS and mount namespace of its own, with its own hostname (nodeN), its
# own /dev/shm and /tmp, and an address on a private bridge. munged and
# slurmctld run on the host, reached from the nodes through the bridge
# (slurmctld) and the shared file system (munged's socket).
#
#   netns-cluster.sh start STATE [--nodes N]   start (N = 2 by default),
#                                              wait until every node is
#                                              idle, write STATE
#   netns-cluster.sh stop STATE                cancel every job, stop every
#                                              daemon by its PID, remove
#                                              the bridge and the files
#   netns-cluster.sh nodes-apart               exit 0 if namespaces can be
#                                              made here, else 77 and why
#
# STATE holds what cluster.sh's does, and the bridge, the network's prefix
# and each node's address and PID (its namespaces are those of that PID).
# The cluster's files are under /var/tmp, not /tmp, which each node has of
# its own: work that tasks share belongs outside /tmp too. Exit status 77:
# Slurm, munge or iproute2 is missing, or this process may not make
# namespaces (not root, or a container that forbids them).
set -uo pipefail

readonly skipped=77
readonly start_timeout_s=40
readonly stop_timeout_s=15
# The same lock as cluster.sh's: every test cluster on this machine takes
# turns to choose its ports and network.
readonly port_lock=/tmp/corvane-slurm-ports.lock
PATH="$PATH:/usr/sbin:/sbin"

say() { echo "netns cluster: $*" >&2; }
# shellcheck source=tests/slurm/cluster_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/cluster_lib.sh"

need_programs() {
    local missing=()
    for program in munged slurmctld slurmd sinfo srun scontrol squeue scancel ip unshare nsenter; do
        [ -x "$(command -v "$program")" ] || missing+=("$program")
    done
    if ((${#missing[@]})); then
        say "skipped: ${missing[*]} not installed (Debian: slurmctld slurmd slurm-client munge iproute2 util-linux)"
        exit $skipped
    fi
}

# Namespaces and veth pairs need root (CAP_SYS_ADMIN, CAP_NET_ADMIN) and a
# kernel and container that allow them: try both, leaving nothing behind.
nodes_apart() {
    if [ "$(id -u)" != 0 ]; then
        say "skipped: nodes in network namespaces need root"
        exit $skipped
    fi
    local said
    if ! said=$(unshare --net --uts --mount --propagation private -- \
        sh -c 'mount -t tmpfs tmpfs /dev/shm && ip link add probe0 type veth peer name probe1' 2>&1); then
        say "skipped: namespaces or veth pairs are not permitted here: $said"
        exit $skipped
    fi
}

launch() {
    local name=$1
    shift
    setsid "$@" < /dev/null > "$dir/$name.out" 2>&1 &
    local pid=$! started
    started=$(start_time_of "$pid") || {
        say "$name exited at once: $(cat "$dir/$name.out")"
        return 1
    }
    echo "daemons+=($pid:$started:$name)" >> "$state"
    daemons+=("$pid:$started:$name")
    launched=$pid
}

# A /24 in 10.0.0.0/8 that no interface here is on.
free_prefix() {
    local taken
    taken=$(ip -4 -o addr show 2> /dev/null)
    for _ in $(seq 50); do
        local prefix="10.$((100 + RANDOM % 150)).$((RANDOM % 250))"
        grep -qF " $prefix." <<< "$taken" || { echo "$prefix" && return 0; }
    done
    return 1
}

# What runs inside a node's new namespaces before slurmd: its hostname, its
# own /dev/shm and /tmp, the cluster's names, and its end of the veth pair
# once the host has moved it in.
write_node_init() {
    cat > "$dir/node-init.sh" << 'EOF'
set -e
node=$1 address=$2 gateway=$3 dir=$4
hostname "$node"
mount -t tmpfs -o mode=1777,size=256m "shm-$node" /dev/shm
mount -t tmpfs -o mode=1777,size=256m "tmp-$node" /tmp
mount --bind "$dir/hosts" /etc/hosts
ip link set lo up
for _ in $(seq 100); do ip link show eth0 > /dev/null 2>&1 && break; sleep 0.1; done
ip addr add "$address/24" dev eth0
ip link set eth0 up
ip route add default via "$gateway"
exec slurmd -D -N "$node" -f "$dir/slurm.conf"
EOF
    # Each task's temporary directory is its node's own /tmp, whatever the
    # submitting shell had.
    printf '#!/bin/sh\necho export TMPDIR=/tmp\n' > "$dir/task-prolog.sh"
    chmod 755 "$dir/task-prolog.sh"
}

write_config() {
    local host hardware
    host=$(hostname -s)
    hardware=$(slurmd -C 2> /dev/null | head -n 1 | sed -e 's/^NodeName=[^ ]* //' -e 's/ RealMemory=[0-9]*//')
    cat > "$dir/slurm.conf" << EOF
ClusterName=corvane
SlurmctldHost=$host($prefix.1)
SlurmctldPort=$ctld_port
SlurmdPort=6818
SlurmUser=$(id -un)
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket
StateSaveLocation=$dir/ctld
SlurmdSpoolDir=$dir/slurmd-%n
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd-%n.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd-%n.log
TmpFS=/tmp
TaskProlog=$dir/task-prolog.sh
MailProg=/bin/true
ProctrackType=proctrack/linuxproc
TaskPlugin=task/affinity
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
MpiDefault=none
ReturnToService=2
KillWait=2
InactiveLimit=0
MinJobAge=5
SlurmdTimeout=10
MessageTimeout=5
UnkillableStepTimeout=20
EOF
    echo "$prefix.1 $host" > "$dir/hosts"
    echo "127.0.0.1 localhost" >> "$dir/hosts"
    nodes=()
    for ((n = 1; n <= node_count; ++n)); do
        nodes+=("node$n")
        echo "NodeName=node$n NodeHostname=node$n NodeAddr=$prefix.$((10 + n)) $hardware State=UNKNOWN" >> "$dir/slurm.conf"
        echo "$prefix.$((10 + n)) node$n" >> "$dir/hosts"
    done
    echo "PartitionName=debug Nodes=ALL Default=YES MaxTime=INFINITE State=UP OverSubscribe=NO" >> "$dir/slurm.conf"
}

start_cluster() {
    state=$1
    node_count=$2
    need_programs
    nodes_apart
    [ ! -e "$state" ] || stop_cluster "$state" 2> /dev/null
    local begun=$SECONDS
    exec 9> "$port_lock"
    flock -w "$start_timeout_s" 9 || {
        say "no turn to choose a port and a network within $start_timeout_s s"
        return 1
    }
    prefix=$(free_prefix) || { say "no free 10.x.y.0/24 found" && return 1; }
    local taken
    taken=$(ss -Htln | awk '{ n = split($4, a, ":"); print a[n] }')
    ctld_port=""
    for _ in $(seq 50); do
        local port=$((10000 + RANDOM % 20000))
        grep -qx "$port" <<< "$taken" || { ctld_port=$port && break; }
    done
    [ -n "$ctld_port" ] || { say "no free port found" && return 1; }
    dir=$(mktemp -d /var/tmp/corvane-netns.XXXXXX) || return 1
    local id=${dir##*.}
    id=$(tr 'A-Z' 'a-z' <<< "${id:0:5}")
    bridge=cvb$id
    mkdir -m 755 "$dir/munge"
    mkdir -m 700 "$dir/ctld"
    chmod 755 "$dir"
    daemons=()
    write_config
    write_node_init
    {
        echo "export SLURM_CONF=$dir/slurm.conf"
        echo "cluster_dir=$dir"
        echo "cluster_nodes=\"${nodes[*]}\""
        echo "cluster_bridge=$bridge"
        echo "cluster_prefix=$prefix"
        echo "daemons=()"
        echo "declare -A node_pid=() node_address=() node_link=()"
    } > "$state"
    export SLURM_CONF="$dir/slurm.conf"

    ip link add "$bridge" type bridge || return 1
    ip addr add "$prefix.1/24" dev "$bridge" || return 1
    ip link set "$bridge" up || return 1

    dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 status=none
    chmod 400 "$dir/munge/munge.key"
    launch munged munged --foreground --force --socket="$dir/munge/munge.socket" \
        --key-file="$dir/munge/munge.key" --log-file="$dir/munge/munged.log" \
        --pid-file="$dir/munge/munged.pid" --seed-file="$dir/munge/munged.seed" 9>&- || return 1
    wait_for "munged's socket" test -S "$dir/munge/munge.socket" || return 1
    launch slurmctld slurmctld -D -i -f "$dir/slurm.conf" 9>&- || return 1

    local n=0
    for node in "${nodes[@]}"; do
        n=$((n + 1))
        mkdir -m 755 "$dir/slurmd-$node"
        local address=$prefix.$((10 + n)) link=cv${id}n$n
        launch "slurmd-$node" unshare --net --uts --mount --propagation private -- \
            bash "$dir/node-init.sh" "$node" "$address" "$prefix.1" "$dir" 9>&- || return 1
        # Until unshare has made the namespace, the PID is still in this
        # one, where the peer's name may be taken and must not land.
        wait_for "$node's own network namespace" own_network_namespace "$launched" || return 1
        {
            echo "node_pid[$node]=$launched"
            echo "node_address[$node]=$address"
            echo "node_link[$node]=$link"
        } >> "$state"
        ip link add "$link" type veth peer name eth0 netns "$launched" || return 1
        ip link set "$link" master "$bridge" up || return 1
    done
    wait_for "every node idle" nodes_idle || return 1
    exec 9>&-
    say "${#nodes[@]} node(s) idle after $((SECONDS - begun)) s on bridge $bridge ($prefix.0/24), slurmctld port $ctld_port, SLURM_CONF=$dir/slurm.conf"
}

own_network_namespace() {
    local theirs
    theirs=$(readlink "/proc/$1/ns/net" 2> /dev/null) && [ "$theirs" != "$(readlink /proc/self/ns/net)" ]
}

# Every process in the network namespace of one of the nodes' PIDs that
# is not that PID itself: slurmstepd and the tasks below it.
processes_on_nodes() {
    local namespaces
    ((${#@})) || return 0
    namespaces=$(ps -o netns= -p "$(tr ' ' , <<< "$*")" 2> /dev/null | tr -d ' ' | grep -v '^-$' | sort -u)
    [ -n "$namespaces" ] || return 0
    ps -e -o pid=,netns= | awk -v namespaces="$namespaces" -v own=" $* " '
        BEGIN { split(namespaces, list, "\n"); for (i in list) wanted[list[i]] = 1 }
        ($2 in wanted) && index(own, " " $1 " ") == 0 { print $1 }'
}

stop_cluster() {
    local state=$1
    [ -e "$state" ] || return 0
    local SLURM_CONF="" cluster_dir="" cluster_bridge="" daemons=()
    declare -A node_pid=() node_address=() node_link=()
    # shellcheck disable=SC1090
    source "$state"
    local failed=0 node_pids=() deadline
    for node in "${!node_pid[@]}"; do node_pids+=("${node_pid[$node]}"); done
    if [ -n "$cluster_dir" ] && [ -e "$SLURM_CONF" ]; then
        timeout 10 scancel --full --quiet --user "$(id -un)" 2> /dev/null
        deadline=$((SECONDS + stop_timeout_s))
        while ((SECONDS < deadline)) && [ -n "$(timeout 5 squeue -h -o %i 2> /dev/null)" ]; do
            sleep 0.2
        done
        # The steps' processes on the nodes end after Slurm stops listing
        # the job: wait for them within the same bound.
        while ((SECONDS < deadline)) && [ -n "$(processes_on_nodes "${node_pids[@]}")" ]; do
            sleep 0.2
        done
    fi
    # Whatever is still on a node now is left behind: ended and reported.
    local leftovers
    leftovers=$(processes_on_nodes "${node_pids[@]}" | tr '\n' ' ')
    if [ -n "$leftovers" ]; then
        say "left behind on the nodes, killed:$(for pid in $leftovers; do echo -n " $pid ($(cat /proc/$pid/comm 2> /dev/null))"; done)"
        kill -KILL $leftovers 2> /dev/null
        failed=1
    fi
    local count=${#daemons[@]}
    for ((i = count - 1; i >= 0; --i)); do
        IFS=: read -r pid started name <<< "${daemons[i]}"
        still_running "$pid" "$started" || continue
        kill -TERM "$pid" 2> /dev/null
        deadline=$((SECONDS + stop_timeout_s))
        while still_running "$pid" "$started" && ((SECONDS < deadline)); do sleep 0.1; done
        if still_running "$pid" "$started"; then
            say "$name (PID $pid) ignored SIGTERM for $stop_timeout_s s: killed"
            kill -KILL "$pid" 2> /dev/null
            failed=1
        fi
    done
    # A node's namespaces end with its last process, and its veth pair and
    # mounts with them; the bridge is the host's and goes last.
    for node in "${!node_link[@]}"; do
        ip link show "${node_link[$node]}" > /dev/null 2>&1 && ip link del "${node_link[$node]}"
    done
    if [ -n "$cluster_bridge" ] && ip link show "$cluster_bridge" > /dev/null 2>&1; then
        ip link del "$cluster_bridge" || failed=1
    fi
    [ -n "$cluster_dir" ] && [ -d "$cluster_dir" ] && rm -rf "$cluster_dir"
    rm -f "$state"
    return $failed
}

usage() {
    say "usage: netns-cluster.sh start STATE [--nodes N] | stop STATE | nodes-apart"
    exit 2
}

command=${1:-}
shift
case "$command" in
start)
    [ $# -ge 1 ] || usage
    state_file=$1
    shift
    nodes_wanted=2
    if [ "${1:-}" = --nodes ]; then
        nodes_wanted=${2:-}
        shift 2 || usage
    fi
    [[ "$nodes_wanted" =~ ^[1-9]$ ]] || usage
    if ! start_cluster "$state_file" "$nodes_wanted"; then
        stop_cluster "$state_file"
        exit 1
    fi
    ;;
stop)
    [ $# -ge 1 ] || usage
    stop_cluster "$1"
    ;;
nodes-apart)
    need_programs
    nodes_apart
    ;;
*) usage ;;
esac
