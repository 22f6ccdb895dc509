# What CI installs on a fresh Debian machine, group by group, so that a
# package mirror in the middle of a sync (an index of the wrong size, i386
# libraries lagging behind their amd64 twins) costs at most the legs it
# touches. Sourced by .ci/run, and by tests/ci_packages_check.sh, which runs
# it against a stand-in apt.

# The README's quick start and everything its test command tests: without
# any of these CI fails.
required_packages=(
    g++ cmake make libgtest-dev libcli11-dev nlohmann-json3-dev   # the README's quick start
    libbenchmark-dev gnuplot-nox qemu-user libopenmpi-dev openmpi-bin libhwloc-dev
    help2man dpkg-dev file                                        # man page, Debian package
    chromium                                                      # the report, tested in a browser
    slurmctld slurmd slurm-client munge                           # the Slurm tests' own cluster
    iproute2 lmod                                                 # its nodes apart; the module
    clang-format                                                  # the house style
)

# The platform legs: what builds each one, and what its tests need besides.
# A leg whose build packages cannot be installed is not built; one whose
# test packages cannot be installed is built and not tested. Either way CI
# says so with apt's reason; leg_state holds "test", or "build: why" or
# "skip: why".
legs=(clang mpich linux-x86 linux-arm64 windows-x86 windows-x64)
declare -A leg_build=(
    [clang]="clang libomp-dev"
    [mpich]="mpich libmpich-dev"
    [linux-x86]="g++-multilib googletest"
    [linux-arm64]="clang googletest libstdc++-12-dev-arm64-cross libc6-dev-arm64-cross binutils-aarch64-linux-gnu"
    [windows-x86]="g++-mingw-w64-i686-posix googletest"
    [windows-x64]="g++-mingw-w64-x86-64-posix googletest"
)
declare -A leg_test=(
    [windows-x86]="wine wine32:i386"
    [windows-x64]="wine64"
)
declare -A leg_state=()

# Retries of a failing `apt-get update`, and the pause before the first
# retry (each next pause is longer): a mirror mid-sync is usually whole
# again within a minute or two.
apt_attempts=${CI_APT_ATTEMPTS:-4}
apt_pause=${CI_APT_PAUSE:-15}

# apt's own words for why it failed: its error lines, without the hint
# that follows every failed fetch.
apt_reason() {
    { grep -E '^(E|W): ' <<<"$1" || true; } | { grep -v 'Some index files failed to download' || true; } |
        sed -E 's/ +\[IP: [^]]*\]//' | tr '\n' ' ' | sed 's/ *$//'
}

missing_of() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            echo "$package"
    done
}

# Brings the package lists up to date, retrying; if the mirror stays broken,
# goes on with the lists apt has and names the indexes that failed.
update_lists() {
    local attempt said
    for ((attempt = 1; attempt <= apt_attempts; attempt++)); do
        said=$(apt-get update -qq 2>&1) && return 0
        if ((attempt < apt_attempts)); then
            echo "apt-get update failed (attempt $attempt of $apt_attempts), again in $((apt_pause * attempt)) s: $(apt_reason "$said")"
            sleep $((apt_pause * attempt))
        fi
    done
    echo "################################################################"
    echo "WARNING: apt-get update failed $apt_attempts times; going on with the package lists apt has."
    { grep -E '^E: Failed to fetch' <<<"$said" || true; } | sed -E 's/^E: Failed to fetch /WARNING: index not updated: /; s/ +\[IP: [^]]*\]//'
    echo "################################################################"
}

# Installs one group; on failure leaves apt's reason in install_failure.
install_failure=""
install_group() {
    local missing said
    missing=$(missing_of "$@" | tr '\n' ' ' | sed 's/ *$//')
    [ -n "$missing" ] || return 0
    echo "installing $missing"
    if said=$(DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing 2>&1); then
        return 0
    fi
    install_failure="cannot install $missing: $(apt_reason "$said")"
    return 1
}

add_architecture() {
    dpkg --print-foreign-architectures | grep -qx "$1" && return 1
    dpkg --add-architecture "$1"
}

# Everything but the tests of the legs that need a foreign architecture's
# libraries (wine32), which install_leg_tests adds once CI knows the leg
# can run at all.
install_packages() {
    local leg lists_stale=false
    # arm64: the package lists that LLVM's arm64 OpenMP runtime is
    # downloaded from (not installed: see cmake/toolchains/arm64-libomp.sh).
    add_architecture arm64 && lists_stale=true
    local everything=("${required_packages[@]}")
    for leg in "${legs[@]}"; do
        everything+=(${leg_build[$leg]} ${leg_test[$leg]:-})
    done
    [ -n "$(missing_of "${everything[@]}" | grep -v ':')" ] && lists_stale=true
    $lists_stale && update_lists
    if ! install_group "${required_packages[@]}"; then
        echo "error: the quick start's and the test command's packages are required: $install_failure" >&2
        return 1
    fi
    for leg in "${legs[@]}"; do
        if install_group ${leg_build[$leg]}; then
            leg_state[$leg]=test
        else
            leg_state[$leg]="skip: $install_failure"
        fi
    done
    for leg in "${legs[@]}"; do
        [[ ${leg_test[$leg]:-} != *:* ]] && install_leg_tests "$leg"
    done
    return 0
}

# The test packages of one leg that is to be tested, with the architecture
# they are built for.
install_leg_tests() {
    local leg=$1 package
    [[ ${leg_state[$leg]} == test && -n ${leg_test[$leg]:-} ]] || return 0
    for package in ${leg_test[$leg]}; do
        [[ $package == *:* ]] && add_architecture "${package#*:}" && update_lists
    done
    install_group ${leg_test[$leg]} || leg_state[$leg]="build: $install_failure"
}

# One clear line for each leg that CI builds without testing, or skips.
say_leg_states() {
    local leg
    for leg in "${legs[@]}"; do
        case ${leg_state[$leg]:-test} in
        build:*) echo "=== $leg built, not tested: ${leg_state[$leg]#build: }" ;;
        skip:*) echo "=== $leg neither built nor tested: ${leg_state[$leg]#skip: }" ;;
        esac
    done
}
