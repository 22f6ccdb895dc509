#!/usr/bin/env bash
# corvane-mpi under srun and sbatch on a test cluster that cluster.sh
# started:
#
#   checks.sh STATE CHECK
#
# STATE is the file cluster.sh wrote; CORVANE_MPI, CORVANE_MPI_TESTS and
# CORVANE_MPI_VERSION name the programs built here, CORVANE_BENCH the
# harness (the bench-* checks skip where it was not built). Exit status 77 means
# Slurm is not installed (the check is skipped), 0 passed, 1 failed.
set -uo pipefail

readonly skipped=77
# srun and salloc wait no longer than this for processors: a request
# beyond what is free must fail, not queue.
readonly queue_wait_s=30

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

[ $# -eq 2 ] || fail "usage: checks.sh STATE CHECK"
state=$1
check=$2
PATH="$PATH:/usr/sbin:/sbin"
if [ ! -x "$(command -v srun)" ] || [ ! -x "$(command -v slurmctld)" ]; then
    echo "skipped: Slurm is not installed (Debian: slurmctld slurmd slurm-client munge)"
    exit $skipped
fi
if [ -n "${CORVANE_NETNS_CLUSTER:-}" ]; then
    # Where namespaces are not permitted, the namespaced cluster never
    # started, and its checks say why they skip.
    bash "$CORVANE_NETNS_CLUSTER" nodes-apart || exit $?
fi

# A namespaced cluster of N nodes, started and stopped here: while it runs,
# each node has its own hostname, address and /dev/shm; once stopped, no
# interface, mount or process of it is left, as ip, findmnt and ps show.
if [[ $check == lifecycle-* ]]; then
    count=${check#lifecycle-}
    begun=$SECONDS
    bash "$CORVANE_NETNS_CLUSTER" start "$state" --nodes "$count" || fail "the cluster of $count nodes did not start"
    started_in=$((SECONDS - begun))
    cp "$state" "$state.kept"
    source "$state"
    seen=$(timeout 60 srun -N "$count" -n "$count" bash -c \
        'touch /dev/shm/corvane-$SLURM_PROCID; echo $(hostname) $(ip -4 -o addr show eth0 | awk "{ print \$4 }") $(ls /dev/shm | grep -c corvane-)' 2>&1)
    echo "$seen"
    begun=$SECONDS
    bash "$CORVANE_NETNS_CLUSTER" stop "$state" || fail "the stop reported something left behind"
    echo "started in $started_in s, stopped in $((SECONDS - begun)) s"
    source "$state.kept"
    rm -f "$state.kept"
    [ "$(awk '{ print $1 }' <<< "$seen" | sort -u | grep -c '^node')" -eq "$count" ] || fail "not $count hostnames"
    [ "$(awk '{ print $2 }' <<< "$seen" | grep "^$cluster_prefix\." | sort -u | wc -l)" -eq "$count" ] ||
        fail "not $count addresses on $cluster_prefix.0/24"
    [ "$(awk '$3 == 1' <<< "$seen" | wc -l)" -eq "$count" ] || fail "a node saw another's /dev/shm"
    ((started_in < 60)) || fail "the start took $started_in s"
    left=$(ip -o link show | grep -E "${cluster_bridge}|${node_link[node1]%1}" ;
        findmnt -rn -o SOURCE,TARGET | grep -E '^(shm|tmp)-node' ;
        ps -e -o pid=,args= | grep -F "$cluster_dir" | grep -v grep ;
        for daemon in "${daemons[@]}"; do
            IFS=: read -r pid started name <<< "$daemon"
            stat=$(cat "/proc/$pid/stat" 2> /dev/null) && stat=${stat##*) } && set -- $stat &&
                [ "${20}" = "$started" ] && [ "$1" != Z ] && echo "$name (PID $pid)"
        done)
    [ -z "$left" ] || fail "left behind: $left"
    [ ! -e "$cluster_dir" ] || fail "$cluster_dir is left"
    echo "passed: $check"
    exit 0
fi

[ -e "$state" ] || fail "no test cluster: $state is missing (did the cluster start?)"
source "$state"
work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-srun.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# srun's plugin for the MPI library a program was built with: Open MPI
# starts under PMIx, MPICH (Hydra's PMI client) under PMI-2.
plugin_for_library() {
    case "$1" in
    "Open MPI"*) echo pmix ;;
    MPICH* | *"MPICH Version"*) echo pmi2 ;;
    *) return 1 ;;
    esac
}
library=$("$CORVANE_MPI_VERSION") || fail "$CORVANE_MPI_VERSION failed"
plugin=$(plugin_for_library "$library") || fail "no srun plugin known for \"$library\""
# The plugin that does not match, for the checks of a mismatch.
case $plugin in
pmix) other_plugin=pmi2 ;;
*) other_plugin=pmix ;;
esac

# Debian's MPICH 4.0.2 (ch4:ucx) hangs in MPI_Finalize across nodes over
# TCP: a rank waits in the PMI barrier while its peer waits for UCX's
# disconnect, which needs the first one's progress (MPICH later dropped
# that barrier). Seen here with 2 ranks of 2 threads and with 4 ranks, after
# the bits were right; a test that hangs by chance is worse than none.
if [ -n "${cluster_bridge:-}" ] && [ "$plugin" = pmi2 ]; then
    echo "skipped: $library hangs in MPI_Finalize between nodes over TCP (ch4:ucx: PMI barrier against UCX disconnect)"
    exit $skipped
fi

value_line='^The value of PI is  3\.14159265[0-9]{4}$'
time_line='^The time to calculate PI was [0-9]+\.[0-9]{6} seconds$'

# Runs "$@" with its standard output in out, its error in err and its exit
# status in status; shows both, so that a failure explains itself.
run() {
    echo "+ $*"
    "$@" > out 2> err
    status=$?
    cat out
    cat err >&2
    echo "exit status $status"
}

# The reports in out: value lines and time lines, each in the right place.
count_reports() {
    local lines values times
    lines=$(wc -l < out)
    values=$(grep -cE "$value_line" out)
    times=$(grep -cE "$time_line" out)
    ((values == times && lines == 2 * values)) || fail "output is not whole reports: $lines lines"
    echo "$values"
}

# A step of R ranks of corvane-mpi inside an allocation of R tasks.
reports_of_ranks() {
    local ranks=$1
    run salloc --immediate=$queue_wait_s -n "$ranks" \
        srun --immediate=$queue_wait_s --mpi="$plugin" -n "$ranks" -c 1 "$CORVANE_MPI"
    ((status == 0)) || fail "corvane-mpi on $ranks rank(s) exited with $status"
    local reports
    reports=$(count_reports) || exit 1
    ((reports == 1)) || fail "$reports reports from one world of $ranks rank(s), not 1"
}

# The known bits, checked by the MPI test program itself: R ranks of T
# threads, and a world that holds all R ranks.
bits_of() {
    local ranks=$1 threads=$2
    run env OMP_NUM_THREADS="$threads" CORVANE_TEST_RANKS="$ranks" \
        salloc --immediate=$queue_wait_s -n "$ranks" \
        srun --immediate=$queue_wait_s --mpi="$plugin" -n "$ranks" -c 1 "$CORVANE_MPI_TESTS"
    ((status == 0)) || fail "the MPI tests failed on $ranks rank(s) of $threads thread(s)"
    [ "$(grep -c '^\[  PASSED  \]' out)" -eq 1 ] || fail "not one world: $(grep -c '^\[  PASSED  \]' out) verdicts"
    grep -q '^\[  SKIPPED \]' out && fail "a test skipped: $(grep '^\[  SKIPPED \]' out)"
    return 0
}

# With a plugin that does not match its library, corvane-mpi never gives
# one report and success: MPICH starts one world per rank (two reports per
# two ranks, exit status 0); Open MPI stops in MPI_Init.
mismatched_plugin() {
    local wrong=$1
    run salloc --immediate=$queue_wait_s -n 2 \
        srun --immediate=$queue_wait_s --mpi="$wrong" -n 2 -c 1 "$CORVANE_MPI"
    case "$library" in
    "Open MPI"*)
        ((status != 0)) || fail "Open MPI under --mpi=$wrong succeeded"
        [ ! -s out ] || fail "Open MPI under --mpi=$wrong printed a report"
        ;;
    *)
        ((status == 0)) || fail "MPICH under --mpi=$wrong exited with $status"
        local reports
        reports=$(count_reports) || exit 1
        ((reports == 2)) || fail "MPICH under --mpi=$wrong gave $reports reports, not one per rank"
        ;;
    esac
    # The tests' own oracle sees it too: no world of two.
    run env CORVANE_TEST_RANKS=2 OMP_NUM_THREADS=1 salloc --immediate=$queue_wait_s -n 2 \
        srun --immediate=$queue_wait_s --mpi="$wrong" -n 2 -c 1 "$CORVANE_MPI_TESTS" \
        --gtest_filter=Distributed.WorldHoldsEveryRankTheLauncherStarted
    ((status != 0)) || fail "the MPI tests passed under --mpi=$wrong"
}

# Seconds since the epoch, to the millisecond.
now() { date +%s.%N | cut -c1-14; }
seconds_since() { awk -v from="$1" -v to="$(now)" 'BEGIN { printf "%.1f", to - from }'; }
within() { awk -v taken="$1" -v limit="$2" 'BEGIN { exit !(taken <= limit) }'; }

# A step asking for more than it can get fails within its --immediate
# bound: beyond the allocation, beyond what the allocation has free, and
# beyond the whole cluster.
bounded_queue_wait() {
    local begun taken
    begun=$(now)
    run salloc --immediate=$queue_wait_s -n 1 srun --immediate=3 -n 2 true
    taken=$(seconds_since "$begun")
    ((status != 0)) || fail "a step of 2 tasks ran in an allocation of 1"
    within "$taken" 10 || fail "the step beyond the allocation took $taken s to fail"

    cat > busy.sh << 'EOF'
srun -n "$SLURM_NTASKS" sleep 30 &
sleeper=$!
until squeue -h -s -j "$SLURM_JOB_ID" -o %i | grep -q '\.0$'; do sleep 0.2; done
begun=$(date +%s)
srun --immediate=3 -n 1 true
status=$?
echo "second step: exit status $status after $(($(date +%s) - begun)) s"
scancel "$SLURM_JOB_ID.0"
wait $sleeper
exit $status
EOF
    begun=$(now)
    run timeout 30 salloc --immediate=$queue_wait_s -n 2 bash busy.sh
    taken=$(seconds_since "$begun")
    ((status != 0 && status != 124)) || fail "the step on busy processors did not fail (status $status)"
    within "$taken" 20 || fail "the step on busy processors took $taken s to fail"

    local cluster_cpus
    cluster_cpus=$(sinfo -h -o %C | cut -d/ -f4)
    begun=$(now)
    run timeout 20 srun --immediate=3 -n $((cluster_cpus + 1)) true
    taken=$(seconds_since "$begun")
    ((status != 0 && status != 124)) || fail "a job beyond the cluster's $cluster_cpus CPUs did not fail"
    within "$taken" 10 || fail "the job beyond the cluster took $taken s to fail"
}

# A step ended from outside (scancel of the step, or SIGTERM or SIGKILL to
# srun, as a harness on a timeout or dying would) leaves no task: Slurm no
# longer lists the step or any of its PIDs, and those PIDs are gone.
cancelled_step() {
    local how=$1
    cat > cancel.sh << 'EOF'
how=$1
srun -n 2 sleep 300 &
srun_pid=$!
until [ "$(scontrol listpids "$SLURM_JOB_ID.0" 2> /dev/null | tail -n +2 | wc -l)" -eq 2 ]; do
    sleep 0.2
done
pids=$(scontrol listpids "$SLURM_JOB_ID.0" | awk 'NR > 1 { print $1 }')
echo "step $SLURM_JOB_ID.0 tasks: "$pids
case $how in
scancel) scancel "$SLURM_JOB_ID.0" ;;
term) kill -TERM $srun_pid ;;
kill) kill -KILL $srun_pid ;;
esac
begun=$(date +%s)
for ((tries = 0; tries < 50; ++tries)); do
    kill -0 $srun_pid 2> /dev/null || break
    sleep 0.2
done
if kill -0 $srun_pid 2> /dev/null; then
    echo "srun still runs 10 s after $how"
    kill -TERM $srun_pid
    wait $srun_pid
    exit 1
fi
wait $srun_pid
echo "srun: exit status $? after $(($(date +%s) - begun)) s"
for ((tries = 0; tries < 50; ++tries)); do
    left=""
    for pid in $pids; do [ -e "/proc/$pid" ] && left="$left $pid"; done
    steps=$(squeue -h -s -j "$SLURM_JOB_ID" -o %i | grep '\.0$')
    listed=$(scontrol listpids "$SLURM_JOB_ID.0" 2> /dev/null | tail -n +2)
    [ -z "$left$steps$listed" ] && break
    sleep 0.2
done
echo "after $((tries / 5)) s: tasks left:${left:- none}; squeue -s: ${steps:-none}; scontrol listpids: ${listed:-none}"
[ -z "$left$steps$listed" ]
EOF
    run timeout 60 salloc --immediate=$queue_wait_s -n 2 bash cancel.sh "$how"
    ((status == 0)) || fail "the step ended by $how left something behind"
}

# On nodes in network namespaces of their own (netns-cluster.sh): the MPI
# library is told to use TCP on the nodes' network, Open MPI through its
# TCP transport, MPICH through UCX's. Elsewhere nothing is set.
tcp_env=()
if [ -n "${cluster_bridge:-}" ]; then
    tcp_env=(OMPI_MCA_pml=ob1 OMPI_MCA_btl=tcp,self "OMPI_MCA_btl_tcp_if_include=$cluster_prefix.0/24"
        UCX_TLS=tcp,self UCX_NET_DEVICES=eth0)
fi

# The TCP connections the ranks hold in each node's namespace, from its
# address to another node's: "node local-address peer-address process".
connections_between_nodes() {
    local node
    for node in $cluster_nodes; do
        nsenter -t "${node_pid[$node]}" -n ss -Htnp state established 2> /dev/null |
            awk -v node="$node" -v prefix="$cluster_prefix." -v own="${node_address[$node]}:" '
                index($3, own) == 1 && index($4, prefix) == 1 && index($4, own) != 1 && /corvane-mpi/ {
                    print node, $3, $4, $5 }'
    done
}

# The bytes each node's link has carried, as the host's end counts them.
link_bytes() {
    local node link
    for node in $cluster_nodes; do
        link=${node_link[$node]}
        echo -n "$node $link rx $(cat /sys/class/net/$link/statistics/rx_bytes) tx $(cat /sys/class/net/$link/statistics/tx_bytes); "
    done
    echo
}

# A step of the MPI tests across the nodes; on namespaced nodes, watched
# from outside while it runs: the ranks of each node must hold a TCP
# connection with another node.
mpi_tests_across() {
    local ranks=$1 threads=$2
    shift 2
    local command=(env OMP_NUM_THREADS="$threads" CORVANE_TEST_RANKS="$ranks" "${tcp_env[@]}"
        salloc --immediate=$queue_wait_s -N 2 -n "$ranks" -c "$threads"
        srun --immediate=$queue_wait_s --mpi="$plugin" -N 2 -n "$ranks" -c "$threads" "$CORVANE_MPI_TESTS")
    if [ -z "${cluster_bridge:-}" ]; then
        run "${command[@]}"
    else
        echo "link bytes before: $(link_bytes)"
        echo "+ ${command[*]}"
        "${command[@]}" > out 2> err &
        local step=$! seen=""
        while kill -0 $step 2> /dev/null; do
            # No pause: a rank's connection lasts from its first message to
            # MPI_Finalize, a second or so.
            seen=$( (echo "$seen" && connections_between_nodes) | grep . | sort -u)
        done
        wait $step
        status=$?
        cat out
        cat err >&2
        echo "exit status $status"
        echo "link bytes after: $(link_bytes)"
        echo "TCP connections between the nodes during the step:"
        echo "${seen:-none}"
        local node
        # Seen from either end (the step may end between two looks): an
        # address is only ever in its own node's namespace.
        for node in $cluster_nodes; do
            grep -qF " ${node_address[$node]}:" <<< "$seen" ||
                fail "no rank on $node held a TCP connection with another node"
        done
    fi
    ((status == 0)) || fail "the MPI tests failed on $ranks rank(s) of $threads thread(s) on two nodes"
    [ "$(grep -c '^\[  PASSED  \]' out)" -eq 1 ] || fail "not one world across two nodes"
    grep -q '^\[  SKIPPED \]' out && fail "a test skipped: $(grep '^\[  SKIPPED \]' out)"
    return 0
}

# Two ranks on two nodes, of one and two threads, and, where the nodes are
# apart, four ranks, two on each node: the known bits. Two nodes on one
# host share its hostname and /dev/shm, where Open MPI's shared-memory
# segments of two ranks named alike collide (a crash in vader).
two_nodes() {
    mpi_tests_across 2 1
    mpi_tests_across 2 2
    [ -z "${cluster_bridge:-}" ] || mpi_tests_across 4 1
}

# srun's placement where the cluster binds tasks: --cpu-bind=cores gives
# each task processors of its own, --cpu-bind=none leaves every task all of
# the node's.
binding() {
    local show='grep Cpus_allowed_list /proc/self/status'
    run salloc --immediate=$queue_wait_s -N 1 -n 2 \
        srun --immediate=$queue_wait_s -n 2 -c 1 --cpu-bind=verbose,cores bash -c "$show"
    ((status == 0)) || fail "srun --cpu-bind=cores failed"
    [ "$(sort -u out | wc -l)" -eq 2 ] || fail "two tasks bound to cores share processors"
    grep -q "^cpu-bind=MASK" err || fail "srun did not say which processors it bound"
    run salloc --immediate=$queue_wait_s -N 1 -n 2 \
        srun --immediate=$queue_wait_s -n 2 -c 1 --cpu-bind=none bash -c "$show"
    ((status == 0)) || fail "srun --cpu-bind=none failed"
    [ "$(sort -u out | wc -l)" -eq 1 ] || fail "tasks left unbound differ in their processors"
}

# corvane-bench inside an allocation: salloc's options, --, then
# corvane-bench's arguments.
bench_in() {
    local allocation=()
    while [ "$1" != -- ]; do allocation+=("$1") && shift; done
    shift
    run timeout 300 salloc --immediate=$queue_wait_s "${allocation[@]}" "$CORVANE_BENCH" --warmup 0 "$@"
}

need_bench() {
    if [ ! -x "${CORVANE_BENCH:-}" ]; then
        echo "skipped: corvane-bench was not built"
        exit $skipped
    fi
}

# How often a field of the JSON results (one a line) holds this value.
json_count() { grep -cE "^ *\"$1\": $2,?\$" "$3"; }

# Every MPI cell through srun with the plugin of corvane-mpi's library:
# valid (so its value line is the exact one), its steps recorded, its CPU
# time unknown rather than srun's own, its contention judged by nothing; a
# team size the allocation cannot hold left out, and said so.
bench_through_srun() {
    need_bench
    bench_in -n 2 -- --ranks 1,2 --programs corvane-serial --runs 2 --json r.json
    ((status == 0)) || fail "corvane-bench exited with $status"
    grep -q "^warning: corvane-mpi ranks 2 threads 2 left out: 4 CPUs" out ||
        fail "ranks 2 threads 2 not left out"
    grep -q "^Slurm: job [0-9]* (cluster corvane, partition debug) on .*srun --mpi=$plugin" out ||
        fail "the header does not name the job and srun --mpi=$plugin"
    local cell
    for cell in "1 threads 1" "1 threads 2" "2 threads 1"; do
        grep -qE "^Slurm steps: corvane-mpi ranks $cell: steps [0-9]+\.[0-9]+, [0-9]+\.[0-9]+ on [a-z0-9]+, tasks per node ${cell:0:1}," out ||
            fail "no steps of corvane-mpi ranks $cell"
    done
    [ "$(json_count implementation '"Slurm"' r.json)" -eq 1 ] || fail "the launcher is not recorded as Slurm"
    [ "$(json_count plugin "\"$plugin\"" r.json)" -eq 1 ] || fail "the plugin is not recorded"
    [ "$(json_count valid true r.json)" -eq 8 ] || fail "not every run of the 4 cells is valid"
    # corvane-serial's CPU time is counted; the 6 MPI runs' is unknown.
    [ "$(json_count user_s null r.json)" -eq 6 ] || fail "an MPI run's CPU time is not unknown"
    [ "$(json_count contention_judged_by '"nothing"' r.json)" -eq 3 ] || fail "MPI cells judged by something"
}

# Two ranks on two nodes, bound: the steps name both nodes, a task on each,
# and the masks srun applied.
bench_two_nodes() {
    need_bench
    bench_in -N 2 -n 2 -- --ranks 2 --threads 1 --bind close --programs corvane-serial --runs 1
    ((status == 0)) || fail "corvane-bench exited with $status"
    grep -qE "^Slurm steps: corvane-mpi ranks 2 threads 1: step [0-9]+\.[0-9]+ on node1,node2, tasks per node 1,1, 1 CPU per task, CPU binding MASK: node1 task 0 0x[0-9a-f]+, node2 task 1 0x[0-9a-f]+$" out ||
        fail "the step's nodes, tasks and binding are not recorded"
}

# A rank count beyond the allocation is a usage error at once, not a queue.
bench_beyond_allocation() {
    need_bench
    local begun taken
    begun=$(now)
    bench_in -n 2 -- --ranks 3 --threads 1 --programs corvane-serial --runs 1
    taken=$(seconds_since "$begun")
    ((status == 2)) || fail "corvane-bench exited with $status, not 2"
    grep -q "corvane-mpi ranks 3 threads 1: needs 3 x 1 = 3 CPUs, and Slurm allocation [0-9]* holds 2" err ||
        fail "the refusal does not say why"
    within "$taken" 30 || fail "the refusal took $taken s"
}

# corvane-mpi-version of the other library: srun gets the wrong plugin, and
# the invalid run says so (MPICH: one world per rank; Open MPI: MPI_Init).
bench_wrong_plugin() {
    need_bench
    local bin
    bin=$(dirname "$CORVANE_MPI")
    mkdir wrong
    ln -s "$bin/corvane-serial" "$bin/corvane-mpi" wrong/
    {
        echo '#!/bin/sh'
        case $plugin in
        pmix) echo 'echo "MPICH Version:      4.0.2"' ;;
        *) echo 'echo "Open MPI v4.1.4, package: Debian OpenMPI"' ;;
        esac
    } > wrong/corvane-mpi-version
    chmod +x wrong/corvane-mpi-version
    bench_in -n 2 -- --bin-dir "$work/wrong" --ranks 2 --threads 1 --programs corvane-serial --runs 1
    ((status == 1)) || fail "corvane-bench exited with $status, not 1"
    grep -q "^invalid: corvane-mpi ranks 2 threads 1 run 1: .*srun --mpi=$other_plugin does not match corvane-mpi's MPI library" out ||
        fail "the invalid run does not name the mismatch"
}

# A run that times out, and corvane-bench interrupted or killed during a
# run: no step and no rank remains. Slurm is asked at once after
# corvane-bench has gone (after a kill, once slurmstepd's KillWait of 2 s
# has passed, since nothing of corvane-bench is left to end the step).
bench_step_ended() {
    need_bench
    local how=$1
    {
        echo "how=$how"
        printf 'bench=(%q --warmup 0 --ranks 2 --threads 1 --programs corvane-serial)\n' "$CORVANE_BENCH"
        cat << 'EOF'
left() {
    squeue -h -s -j "$SLURM_JOB_ID" -o "%i %j" | grep " corvane-bench\."
    scontrol listpids "$SLURM_JOB_ID" 2> /dev/null | tail -n +2
    for task in /proc/[0-9]*; do
        [ "$(cat "$task/comm" 2> /dev/null)" = corvane-mpi ] && echo "corvane-mpi ${task#/proc/}"
    done
}
if [ $how = escaped ]; then
    # An srun in a session of its own: the run's SIGTERM misses it, and it
    # is killed as left behind, too late to forward anything; its tasks
    # (a corvane-mpi that sleeps) would run on for slurmstepd's KillWait
    # and more unless the step is cancelled.
    mkdir escape slow
    printf '#!/bin/sh\nexec setsid --wait %s "$@"\n' "$(command -v srun)" > escape/srun
    printf '#!/bin/sh\nsleep 300\n' > slow/corvane-mpi
    printf '#!/bin/sh\nexit 0\n' > slow/corvane-serial
    chmod +x escape/srun slow/*
    ln -s "$(dirname "${bench[0]}")/corvane-mpi-version" slow/
    PATH="$PWD/escape:$PATH" "${bench[@]}" --bin-dir "$PWD/slow" --runs 1 --timeout 3 > /dev/null
    echo "corvane-bench: exit status $?"
elif [ $how = timeout ]; then
    "${bench[@]}" --runs 1 --timeout 0.4 > /dev/null
    echo "corvane-bench: exit status $?"
else
    "${bench[@]}" --runs 50 > /dev/null &
    bench_pid=$!
    until squeue -h -s -j "$SLURM_JOB_ID" -o %j | grep -q "^corvane-bench\.$bench_pid$"; do sleep 0.1; done
    sleep 0.3
    kill -$how $bench_pid
    wait $bench_pid
    echo "corvane-bench: exit status $? after SIG$how"
fi
# Slurm may stop listing a step a moment before its tasks have exited, and
# killed, corvane-bench cancels nothing: the step ends when slurmstepd sees
# its srun gone. On a loaded machine either takes seconds; a step that
# stays is still there after 20.
for _ in $(seq 100); do [ -z "$(left)" ] && break; sleep 0.2; done
still=$(left)
echo "left: ${still:-nothing}"
[ -z "$still" ]
EOF
    } > ended.sh
    run timeout 120 salloc --immediate=$queue_wait_s -n 2 bash ended.sh
    ((status == 0)) || fail "a step or rank remained after $how"
    case $how in
    timeout | escaped) grep -q "exit status 1$" out || fail "the timed-out run did not make corvane-bench exit 1" ;;
    INT) grep -q "exit status 130 " out || fail "the interrupted corvane-bench did not exit 130" ;;
    esac
}

# The batch script as a user submits it: corvane-bench's results on the
# shared path name the job and its nodes, and every cell, corvane-mpi's
# through srun among them, has a valid run.
batch() {
    need_bench
    local bin
    bin=$(dirname "$CORVANE_BENCH")
    mkdir shared
    run sbatch --wait --parsable --chdir="$work" \
        --export=ALL,CORVANE_BIN="$bin",CORVANE_RESULTS="$work/shared",CORVANE_RUNS=1 "$@" \
        "$(dirname "$0")/corvane.sbatch"
    local job
    job=$(head -n 1 out | cut -d';' -f1)
    [ -e "corvane-$job.out" ] && cat "corvane-$job.out"
    local results="shared/corvane-$job.json" table="shared/corvane-$job.txt"
    [ -e "$table" ] && cat "$table"
    ((status == 0)) || fail "the batch job exited with $status"
    [ -e "$results" ] || fail "no $results"
    [ "$(json_count job_id "\"$job\"" "$results")" -eq 1 ] || fail "the results do not name job $job"
    grep -qE '^ *"node_list": ".+",?$' "$results" || fail "the results do not name the nodes"
    grep -q "^Slurm: job $job " "$table" || fail "the table's header does not name job $job"
    local cells=2  # corvane-mpi on one rank and on both
    for program in corvane-serial corvane-serial-simd corvane-omp corvane-omp-simd corvane-autopar; do
        [ -x "$bin/$program" ] && cells=$((cells + 1))
    done
    # One counted run and the default warm-up a cell, each valid.
    [ "$(json_count valid true "$results")" -eq $((2 * cells)) ] ||
        fail "not one valid run and one valid warm-up in each of $cells cells"
    [ "$(json_count implementation '"Slurm"' "$results")" -eq 1 ] || fail "corvane-mpi was not started by srun"
}

# Installed as clusters install software: cmake --install, then Lmod's
# module use and load give the installed corvane-bench, its man page and a
# run in an allocation across the nodes; unload gives the environment back.
module_check() {
    need_bench
    local lmod_init=/usr/share/lmod/lmod/init/bash
    if [ ! -r "$lmod_init" ]; then
        echo "skipped: Lmod is not installed (Debian: lmod)"
        exit $skipped
    fi
    [ -d "${CORVANE_BUILD_DIR:-}" ] || fail "CORVANE_BUILD_DIR does not name the build"
    cmake --install "$CORVANE_BUILD_DIR" --prefix "$work/prefix" > install.log || fail "cmake --install failed"
    local modulefile
    modulefile=$(ls "$work"/prefix/share/modulefiles/corvane/*.lua) || fail "no modulefile installed"
    echo "installed $modulefile"
    local path_before=$PATH manpath_before=${MANPATH-unset}
    set +u
    source "$lmod_init"
    module use "$work/prefix/share/modulefiles"
    module load corvane || fail "module load corvane failed"
    set -u
    [ "$(command -v corvane-bench)" = "$work/prefix/bin/corvane-bench" ] ||
        fail "corvane-bench is $(command -v corvane-bench), not the installed one"
    run corvane-bench --version
    ((status == 0)) && grep -q "$(basename "$modulefile" .lua)" out || fail "corvane-bench --version does not give the module's version"
    run man -w corvane-bench
    grep -q "^$work/prefix/share/man/man1/corvane-bench.1" out || fail "man does not find the installed page"
    run man -w ls
    ((status == 0)) || fail "with the module loaded, man no longer finds the system's pages"
    run timeout 300 salloc --immediate=$queue_wait_s -N 2 -n 2 corvane-bench --warmup 0 --ranks 2 --threads 1 \
        --programs corvane-serial --runs 1 --json module.json
    ((status == 0)) || fail "the installed corvane-bench in an allocation exited with $status"
    [ "$(json_count valid true module.json)" -eq 2 ] || fail "not every run of the installed corvane-bench is valid"
    set +u
    module unload corvane
    set -u
    # Lmod drops repeated entries of a path it changes (this script's PATH
    # has some), so the paths are compared without repeats.
    local once='tr : "\n" | awk "!seen[\$0]++" | paste -sd:'
    [ "$(eval "$once" <<< "$PATH")" = "$(eval "$once" <<< "$path_before")" ] ||
        fail "module unload left PATH as $PATH, not $path_before"
    [ "${MANPATH-unset}" = "$manpath_before" ] || fail "module unload left MANPATH as ${MANPATH-unset}"
}

case $check in
plugin-listed)
    run srun --mpi=list
    grep -qx "[[:space:]]*$plugin" out || fail "srun --mpi=list has no $plugin for $library"
    ;;
one-rank) reports_of_ranks 1 ;;
two-ranks) reports_of_ranks 2 ;;
bits-one-rank) bits_of 1 1 ;;
bits-two-ranks) bits_of 2 1 ;;
bits-two-ranks-two-threads) bits_of 2 2 ;;
plugin-none) mismatched_plugin none ;;
plugin-other) mismatched_plugin "$other_plugin" ;;
queue-wait) bounded_queue_wait ;;
cancel-scancel) cancelled_step scancel ;;
cancel-term) cancelled_step term ;;
cancel-kill) cancelled_step kill ;;
two-nodes) two_nodes ;;
binding) binding ;;
batch) batch ;;
bench-srun) bench_through_srun ;;
bench-beyond) bench_beyond_allocation ;;
bench-wrong-plugin) bench_wrong_plugin ;;
bench-timeout) bench_step_ended timeout ;;
bench-interrupt) bench_step_ended INT ;;
bench-killed) bench_step_ended KILL ;;
bench-escaped-srun) bench_step_ended escaped ;;
bench-two-nodes) bench_two_nodes ;;
batch-two-nodes) batch -N 2 --ntasks-per-node=1 ;;
module) module_check ;;
*) fail "no check named $check" ;;
esac
echo "passed: $check"
