# Bash completion for corvane-bench: its subcommands, options, the program
# names --programs takes (comma-separated) and the files options name.
# Installed as share/bash-completion/completions/corvane-bench.

_corvane_bench_files() {  # $1: the word so far, [$2: a pattern files must match]
    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    if [[ -n $2 ]]; then
        COMPREPLY=($(compgen -d -- "$1") $(compgen -f -X "!$2" -- "$1"))  # directories lead there
    else
        COMPREPLY=($(compgen -f -- "$1"))
    fi
}

_corvane_bench() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local programs="corvane-serial corvane-serial-simd corvane-omp corvane-omp-simd corvane-autopar corvane-mpi"
    local suite_options="--help --version --runs --warmup --timeout --threads --ranks --launcher --mpiexec --hostfile
        --programs --env --seed --bind --bin-dir --kernels --wide --json --csv --markdown --html --plot"
    local compare_options="--help --min-effect --strict --markdown --fail-on-slower --json"
    local report_options="--help --kernels --html --markdown"
    local subcommands="compare report"
    local subcommand="" word
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        [[ " $subcommands " == *" $word "* ]] && subcommand=$word
    done
    COMPREPLY=()
    case $prev in
    --json | --csv | --markdown | --html | --plot | --hostfile)
        _corvane_bench_files "$cur"
        return
        ;;
    --mpiexec)
        _corvane_bench_files "$cur"
        COMPREPLY+=($(compgen -c -X '!mpiexec*' -- "$cur"))
        return
        ;;
    --bin-dir)
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -d -- "$cur"))
        return
        ;;
    --programs)
        # After a comma, the next name; the names before it stay as typed.
        local typed=${cur%"${cur##*,}"}
        compopt -o nospace 2>/dev/null
        COMPREPLY=($(compgen -P "$typed" -W "$programs" -- "${cur##*,}"))
        return
        ;;
    --kernels)  # a flag of the suite; report takes corvane-kernels' JSON
        if [[ $subcommand == report ]]; then
            _corvane_bench_files "$cur" '*.json'
            return
        fi
        ;;
    --bind)
        COMPREPLY=($(compgen -W "none close spread" -- "$cur"))
        return
        ;;
    --launcher)
        COMPREPLY=($(compgen -W "auto srun mpiexec" -- "$cur"))
        return
        ;;
    --threads)
        COMPREPLY=($(compgen -W "cores pus" -- "$cur"))  # or numbers
        return
        ;;
    --runs | --warmup | --timeout | --ranks | --seed | --env | --min-effect)
        return  # a value only the user knows
        ;;
    esac
    if [[ -n $subcommand ]]; then  # both take saved results
        if [[ $cur == -* ]]; then
            local options=${subcommand}_options
            COMPREPLY=($(compgen -W "${!options}" -- "$cur"))
        else
            _corvane_bench_files "$cur" '*.json'
        fi
    elif [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$suite_options" -- "$cur"))
    else
        COMPREPLY=($(compgen -W "$subcommands" -- "$cur"))
    fi
}

complete -F _corvane_bench corvane-bench
