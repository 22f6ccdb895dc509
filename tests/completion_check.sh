#!/usr/bin/env bash
# The bash completion of corvane-bench, run as bash would run it, and held to
# what corvane-bench --help offers: every option and subcommand completes.
#   completion_check.sh COMPLETION_SCRIPT CORVANE_BENCH
source "$1"
bench=$2
failed=0

# What completing the last word of a command line offers, sorted, one line.
offered() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _corvane_bench
    ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}

expect() {  # what should be offered, then the command line
    local want=$1 got
    shift
    got=$(offered "$@")
    if [[ $got != "$want" ]]; then
        echo "completing '$*': expected '$want', got '$got'"
        failed=1
    fi
}

expect "--programs " corvane-bench --prog
expect "--wide " corvane-bench --wi
expect "compare " corvane-bench co
expect "--strict " corvane-bench compare --st
expect "--html " corvane-bench report --ht
expect "corvane-serial,corvane-omp corvane-serial,corvane-omp-simd " corvane-bench --programs corvane-serial,corvane-om
expect "" corvane-bench --runs ""
expect "spread " corvane-bench --bind sp
expect "srun " corvane-bench --launcher sr
expect "auto mpiexec srun " corvane-bench --launcher ""

files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
touch "$files/a.json" "$files/notes.txt"
mkdir "$files/sub"
expect "$files/a.json $files/notes.txt $files/sub " corvane-bench --json "$files/"
expect "$files/a.json $files/sub " corvane-bench compare "$files/"
expect "$files/a.json $files/sub " corvane-bench report r.json --kernels "$files/"
expect "--kernels " corvane-bench --kernels --ker
expect "$files/sub " corvane-bench --bin-dir "$files/"

# Options as --help lists them, one per line; not those its texts mention.
options_of() { "$bench" "$@" --help | grep -oE -- '^ +(-[a-zA-Z],)?--[a-z][a-z-]*' | grep -oE -- '--[a-z-]+' | sort -u; }

# Nothing corvane-bench takes is missing from the completion.
for option in $(options_of); do
    [[ " $(offered corvane-bench --) " == *" $option "* ]] || { echo "$option does not complete"; failed=1; }
done
for subcommand in compare report; do
    for option in $(options_of $subcommand); do
        [[ " $(offered corvane-bench $subcommand --) " == *" $option "* ]] ||
            { echo "$subcommand $option does not complete"; failed=1; }
    done
done
for subcommand in $("$bench" --help | sed -n '/^Subcommands:/,$p' | awk 'NR > 1 && NF { print $1 }'); do
    [[ " $(offered corvane-bench "") " == *" $subcommand "* ]] ||
        { echo "subcommand $subcommand does not complete"; failed=1; }
done
exit $failed
