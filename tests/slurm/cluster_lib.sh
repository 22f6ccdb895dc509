# What the test clusters share (cluster.sh and netns-cluster.sh source it):
# knowing their daemons by PID and start time, and waiting for them. The
# functions use the sourcing script's say, daemons, nodes, dir and
# start_timeout_s.

# The start time of a process in clock ticks since boot (field 22 of
# /proc/PID/stat; the command name before it may hold spaces).
start_time_of() {
    local stat
    read -r stat 2> /dev/null < "/proc/$1/stat" || return 1
    stat=${stat##*) }
    set -- $stat
    echo "${20}"
}

# True while the process of this PID and start time exists and is no zombie.
still_running() {
    local pid=$1 started=$2 stat
    read -r stat 2> /dev/null < "/proc/$pid/stat" || return 1
    stat=${stat##*) }
    set -- $stat
    [ "${20}" = "$started" ] && [ "$1" != Z ]
}

# True once every node the cluster started is idle.
nodes_idle() {
    local states
    states=$(timeout 5 sinfo -h -N -o '%N %T' 2> /dev/null) || return 1
    [ "$(grep -c ' idle$' <<< "$states")" -eq "${#nodes[@]}" ]
}

# Waits up to start_timeout_s for a command to succeed, giving up at once
# (with the logs) if one of the daemons stops meanwhile.
wait_for() {
    local what=$1
    shift
    local deadline=$((SECONDS + start_timeout_s))
    while ((SECONDS < deadline)); do
        "$@" && return 0
        for daemon in "${daemons[@]}"; do
            IFS=: read -r pid started name <<< "$daemon"
            if ! still_running "$pid" "$started"; then
                say "$name stopped while waiting for $what:"
                tail -n 20 "$dir/$name.out" "$dir/$name.log" "$dir/munge/munged.log" 2> /dev/null >&2
                return 1
            fi
        done
        sleep 0.2
    done
    say "no $what after $start_timeout_s s"
    tail -n 20 "$dir"/*.log "$dir"/*.out 2> /dev/null >&2
    return 1
}
