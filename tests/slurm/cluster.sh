#!/usr/bin/env bash
# A private Slurm cluster on this machine, for the tests: munged, slurmctld
# and one slurmd (two with --nodes 2), every file under one temporary
# directory, on ports no system Slurm uses.
#
#   cluster.sh start STATE [OPTIONS]     start, wait until every node is idle,
#                                        write the environment to STATE
#   cluster.sh stop STATE                cancel every job, stop every daemon
#                                        started, by its PID, remove the files
#   cluster.sh run [OPTIONS] -- CMD      start, run CMD with SLURM_CONF set,
#                                        then stop, whatever CMD did
#
# OPTIONS: --nodes N (default 1) makes N nodes of this host's processors,
# each its own slurmd on its own port; --port P is the controller's port,
# the nodes' follow it (by default the first of a run of ports that no
# process listens on, chosen at the start under a lock, so that clusters
# started at once never pick the same);
# --bind-tasks lets srun bind tasks to processors (task/affinity, which
# needs no cgroups) instead of leaving placement to the kernel (task/none).
#
# STATE is a shell file: SLURM_CONF, the cluster's directory and the PIDs of
# the daemons with their start times, so that stop never signals a process
# that merely reuses a PID. Exit status 77 means Slurm or munge is not
# installed (CTest reports the test as skipped).
set -uo pipefail

readonly skipped=77
ctld_port=""
task_plugin=task/none
readonly start_timeout_s=30
readonly stop_timeout_s=15
readonly step_exit_timeout_s=60
# Held while a cluster chooses its ports and until its daemons listen on
# them; one path for the machine, whatever TMPDIR each cluster has.
readonly port_lock=/tmp/corvane-slurm-ports.lock

# The Debian packages put the daemons in /usr/sbin, which a user's PATH may
# lack.
PATH="$PATH:/usr/sbin:/sbin"

say() { echo "slurm cluster: $*" >&2; }
# shellcheck source=tests/slurm/cluster_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/cluster_lib.sh"

need_programs() {
    local missing=()
    for program in munged slurmctld slurmd sinfo srun sbatch scontrol squeue scancel; do
        [ -x "$(command -v "$program")" ] || missing+=("$program")
    done
    if ((${#missing[@]})); then
        say "skipped: ${missing[*]} not installed (Debian: slurmctld slurmd slurm-client munge)"
        exit $skipped
    fi
}

# Daemons run in their own session with output to their log, so that the
# test that starts the cluster can end while they run on.
launch() {
    local name=$1
    shift
    setsid "$@" < /dev/null > "$dir/$name.out" 2>&1 9>&- &
    local pid=$!
    local started
    started=$(start_time_of "$pid") || {
        say "$name exited at once: $(cat "$dir/$name.out")"
        return 1
    }
    echo "daemons+=($pid:$started:$name)" >> "$state"
    daemons+=("$pid:$started:$name")
}

write_config() {
    local node_count=$1 host
    host=$(hostname -s)
    # The node's real processors, as slurmd counts them.
    local hardware
    hardware=$(slurmd -C 2> /dev/null | head -n 1 | sed -e 's/^NodeName=[^ ]* //' -e 's/ RealMemory=[0-9]*//')
    cat > "$dir/slurm.conf" << EOF
ClusterName=corvane
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$((ctld_port + 1))
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
TmpFS=$dir/tmp/%n
MailProg=/bin/true
ProctrackType=proctrack/linuxproc
TaskPlugin=$task_plugin
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
EOF
    if ((node_count == 1)); then
        echo "NodeName=$host NodeAddr=127.0.0.1 $hardware State=UNKNOWN" >> "$dir/slurm.conf"
        nodes=("$host")
    else
        nodes=()
        for ((n = 1; n <= node_count; ++n)); do
            nodes+=("node$n")
            echo "NodeName=node$n NodeHostname=$host NodeAddr=127.0.0.1 Port=$((ctld_port + n)) $hardware State=UNKNOWN" >> "$dir/slurm.conf"
        done
    fi
    echo "PartitionName=debug Nodes=ALL Default=YES MaxTime=INFINITE State=UP OverSubscribe=NO" >> "$dir/slurm.conf"
}

start_cluster() {
    state=$1
    local node_count=$2
    need_programs
    [ ! -e "$state" ] || stop_cluster "$state" 2> /dev/null  # an earlier run's leftovers
    local begun=$SECONDS
    # Until the daemons listen, another cluster starting now would see
    # these ports free.
    exec 9> "$port_lock"
    flock -w "$start_timeout_s" 9 || {
        say "no turn to choose ports within $start_timeout_s s ($port_lock)"
        return 1
    }
    if [ -z "$ctld_port" ]; then
        ctld_port=$(free_ports $((node_count + 2))) || {
            say "no run of $((node_count + 2)) free ports found"
            return 1
        }
    elif ! ports_free "$ctld_port" $((node_count + 2)); then
        say "port $ctld_port or one of the $((node_count + 1)) after it is taken: is another test cluster running?"
        return 1
    fi
    dir=$(mktemp -d "${TMPDIR:-/tmp}/corvane-slurm.XXXXXX") || return 1
    # munged refuses a socket directory that others may write to, and
    # clients need to reach into it.
    mkdir -m 755 "$dir/munge"
    mkdir -m 700 "$dir/ctld"
    mkdir -m 755 "$dir/tmp"
    chmod 755 "$dir"
    daemons=()
    write_config "$node_count"
    {
        echo "export SLURM_CONF=$dir/slurm.conf"
        echo "cluster_dir=$dir"
        echo "cluster_nodes=\"${nodes[*]}\""
        echo "daemons=()"
    } > "$state"
    export SLURM_CONF="$dir/slurm.conf"

    dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 status=none
    chmod 400 "$dir/munge/munge.key"
    launch munged munged --foreground --force --socket="$dir/munge/munge.socket" \
        --key-file="$dir/munge/munge.key" --log-file="$dir/munge/munged.log" \
        --pid-file="$dir/munge/munged.pid" --seed-file="$dir/munge/munged.seed" || return 1
    wait_for "munged's socket" test -S "$dir/munge/munge.socket" || return 1

    launch slurmctld slurmctld -D -i -f "$dir/slurm.conf" || return 1
    for node in "${nodes[@]}"; do
        # Each node its own temporary folder: srun's PMIx plugin makes its
        # clients' folder there, named only by job and step.
        mkdir -m 755 "$dir/slurmd-$node" "$dir/tmp/$node"
        launch "slurmd-$node" slurmd -D -N "$node" -f "$dir/slurm.conf" || return 1
    done
    wait_for "every node idle" nodes_idle || return 1
    exec 9>&-
    say "${#nodes[@]} node(s) idle after $((SECONDS - begun)) s on ports $ctld_port-$((ctld_port + node_count + 1)), SLURM_CONF=$dir/slurm.conf"
}

# The TCP ports some process listens on, one a line.
listened_ports() {
    ss -Htln 2> /dev/null | awk '{ n = split($4, a, ":"); print a[n] }'
}

# True if none of COUNT ports from FIRST is listened on.
ports_free() {
    local first=$1 count=$2 taken
    taken=$(listened_ports)
    for ((p = first; p < first + count; ++p)); do
        grep -qx "$p" <<< "$taken" && return 1
    done
    return 0
}

# The first of COUNT consecutive free ports, from a random start below
# the kernel's range for outgoing connections.
free_ports() {
    local count=$1 low
    read -r low _ < /proc/sys/net/ipv4/ip_local_port_range
    ((low > 12000)) || low=32768
    for _ in $(seq 50); do
        local first=$((10000 + RANDOM % (low - 10000 - count)))
        ports_free "$first" "$count" && echo "$first" && return 0
    done
    return 1
}

# The slurmstepd processes started for this cluster (their environment
# names its configuration), and every process below them.
leftover_steps() {
    local conf=$1 found=() pid
    [ -n "$conf" ] || return 0
    local comm stat
    # Builtins only in the loop: a process per entry is seconds on a
    # loaded machine.
    for entry in /proc/[0-9]*; do
        pid=${entry#/proc/}
        read -r comm 2> /dev/null < "$entry/comm" || continue
        [ "$comm" = slurmstepd ] || continue
        read -r stat 2> /dev/null < "$entry/stat" || continue
        stat=${stat##*) }
        [ "${stat%% *}" != Z ] || continue
        tr '\0' '\n' < "$entry/environ" 2> /dev/null | grep -qxF "SLURM_CONF=$conf" && found+=("$pid")
    done
    local queue=("${found[@]}")
    while ((${#queue[@]})); do
        local parent=${queue[0]}
        queue=("${queue[@]:1}")
        for child in $(ps -o pid= --ppid "$parent" 2> /dev/null); do
            found+=("$child")
            queue+=("$child")
        done
    done
    echo "${found[@]}"
}

stop_cluster() {
    local state=$1
    [ -e "$state" ] || return 0
    local SLURM_CONF="" cluster_dir="" cluster_nodes="" daemons=()
    # shellcheck disable=SC1090
    source "$state"
    local failed=0
    if [ -n "$cluster_dir" ] && [ -e "$SLURM_CONF" ]; then
        # Jobs first, while slurmd can still end their steps.
        timeout 10 scancel --full --quiet --user "$(id -un)" 2> /dev/null
        local deadline=$((SECONDS + stop_timeout_s))
        while ((SECONDS < deadline)) && [ -n "$(timeout 5 squeue -h -o %i 2> /dev/null)" ]; do
            sleep 0.2
        done
        # Slurm stops listing a job before its slurmstepd have ended their
        # tasks and exited; on a loaded machine that took over 15 s once a
        # step had timed out. Only a step still there after its own, longer
        # bound is left behind.
        deadline=$((SECONDS + step_exit_timeout_s))
        while ((SECONDS < deadline)) && [ -n "$(leftover_steps "$SLURM_CONF")" ]; do
            sleep 0.2
        done
    fi
    # Nodes, then the controller, then munged: the reverse of the start.
    local count=${#daemons[@]}
    for ((i = count - 1; i >= 0; --i)); do
        IFS=: read -r pid started name <<< "${daemons[i]}"
        still_running "$pid" "$started" || continue
        kill -TERM "$pid" 2> /dev/null
        local deadline=$((SECONDS + stop_timeout_s))
        while still_running "$pid" "$started" && ((SECONDS < deadline)); do sleep 0.1; done
        if still_running "$pid" "$started"; then
            say "$name (PID $pid) ignored SIGTERM for $stop_timeout_s s: killed"
            kill -KILL "$pid" 2> /dev/null
            failed=1
        fi
    done
    # A slurmstepd can outlive its job and the daemons (seen after a step
    # whose launch failed). Ours carry this cluster's SLURM_CONF; they and
    # their tasks are ended, and the stop reports them.
    local leftovers
    leftovers=$(leftover_steps "$SLURM_CONF")
    if [ -n "$leftovers" ]; then
        say "left behind by the cluster, killed:$(for pid in $leftovers; do echo -n " $pid ($(cat /proc/$pid/comm 2> /dev/null))"; done)"
        kill -KILL $leftovers 2> /dev/null
        failed=1
    fi
    if [ -n "$cluster_dir" ] && [ -d "$cluster_dir" ]; then
        rm -rf "$cluster_dir"
    fi
    rm -f "$state"
    return $failed
}

usage() {
    say "usage: cluster.sh start STATE [--nodes N] [--port P] [--bind-tasks] | stop STATE | run [same options] -- COMMAND..."
    exit 2
}

command=${1:-}
shift
state_file=""
if [ "$command" = start ] || [ "$command" = stop ]; then
    [ $# -ge 1 ] || usage
    state_file=$1
    shift
fi
nodes_wanted=1
while [ $# -gt 0 ]; do
    case "$1" in
    --nodes) nodes_wanted=${2:-}; shift 2 || usage ;;
    --port) ctld_port=${2:-}; shift 2 || usage ;;
    --bind-tasks) task_plugin=task/affinity; shift ;;
    --) shift; break ;;
    *) break ;;
    esac
done
[[ "$nodes_wanted" =~ ^[1-9][0-9]*$ && "$ctld_port" =~ ^([1-9][0-9]*)?$ ]] || usage

case "$command" in
start)
    if ! start_cluster "$state_file" "$nodes_wanted"; then
        stop_cluster "$state_file"
        exit 1
    fi
    ;;
stop)
    stop_cluster "$state_file"
    ;;
run)
    [ $# -ge 1 ] || usage
    need_programs
    run_state=$(mktemp "${TMPDIR:-/tmp}/corvane-slurm-state.XXXXXX")
    rm -f "$run_state"
    trap 'stop_cluster "$run_state"' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    start_cluster "$run_state" "$nodes_wanted" || exit 1
    "$@"
    exit $?
    ;;
*)
    usage
    ;;
esac
