#!/usr/bin/env bash
# CI's package installation against a stand-in apt and dpkg that act out a
# mirror in the middle of a sync: the i386 security index has the wrong
# size, and i386 libraries cannot be installed beside their newer amd64
# twins. The real mirror shows this only on some days.
# Usage: ci_packages_check.sh .ci/packages.sh
set -euo pipefail
packages_script=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

mkdir "$work/bin"
cat > "$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "$*" >> "$STAND_IN/calls"
case $1 in
update)
    if [ -e "$STAND_IN/broken-i386" ] && grep -qx i386 "$STAND_IN/architectures"; then
        echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100
    fi ;;
install)
    shift 3  # -y -qq
    for package in "$@"; do
        if [[ $package == *:i386 && -e "$STAND_IN/broken-i386" ]]; then
            echo "E: Unable to correct problems, you have held broken packages."
            exit 100
        fi
        if grep -qx "$package" "$STAND_IN/uninstallable" 2>/dev/null; then
            echo "E: Unable to locate package $package"
            exit 100
        fi
    done
    printf '%s\n' "$@" >> "$STAND_IN/installed" ;;
esac
EOF
cat > "$work/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
grep -qx "${@: -1}" "$STAND_IN/installed" 2>/dev/null && echo "install ok installed"
EOF
cat > "$work/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
case $1 in
--print-foreign-architectures) cat "$STAND_IN/architectures" ;;
--add-architecture) echo "$2" >> "$STAND_IN/architectures" ;;
esac
EOF
chmod +x "$work/bin/"*

# One CI install on a fresh stand-in machine; $1 names the case, the rest
# are the machine's faults. Prints what CI printed, then the legs' states.
install_on() {
    local case=$1
    shift
    export STAND_IN="$work/$case"
    mkdir "$STAND_IN"
    touch "$STAND_IN/architectures" "$STAND_IN/installed"
    local fault
    for fault in "$@"; do
        case $fault in
        i386-configured) echo i386 > "$STAND_IN/architectures" ;;
        broken-i386) touch "$STAND_IN/broken-i386" ;;
        *) echo "$fault" >> "$STAND_IN/uninstallable" ;;
        esac
    done
    PATH="$work/bin:$PATH" CI_APT_PAUSE=0 bash -c '
        set -euo pipefail
        source "$1"
        status=0
        install_packages || status=$?
        if ((status == 0)); then
            install_leg_tests windows-x86
            say_leg_states
        fi
        echo "install status $status"' - "$packages_script" > "$STAND_IN/said" 2>&1 || true
}
said() { cat "$STAND_IN/said"; }
expect() {  # expect TEXT WHAT: CI printed TEXT
    grep -qF -- "$1" "$STAND_IN/said" || fail "$2: no line with '$1' in: $(said)"
}

# The i386 index fails every time: CI retries, goes on with the lists it
# has and names the index; wine32 cannot be installed, so the 32-bit
# Windows leg is built and not tested, with apt's reason; the rest installs.
install_on mid-sync i386-configured broken-i386
expect "install status 0" "a broken i386 index fails the install"
[ "$(grep -c '^update' "$STAND_IN/calls")" = 4 ] || fail "apt-get update not tried 4 times: $(said)"
expect "WARNING: index not updated: http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" \
    "the failed index is not named"
expect "=== windows-x86 built, not tested: cannot install wine wine32:i386: E: Unable to correct problems, you have held broken packages." \
    "the 32-bit Windows leg does not say why it is not tested"
grep -q "=== linux-x86\|=== clang\|=== mpich\|=== linux-arm64\|=== windows-x64" "$STAND_IN/said" &&
    fail "a leg untouched by the i386 index was given up: $(said)"
grep -qx chromium "$STAND_IN/installed" || fail "the required packages were not installed on a broken i386 index"

# A healthy mirror: every leg installs, i386 is added for wine32 only.
install_on healthy
expect "install status 0" "a healthy mirror fails the install"
grep -q "===" "$STAND_IN/said" && fail "a leg was given up on a healthy mirror: $(said)"
grep -qx wine32:i386 "$STAND_IN/installed" || fail "wine32:i386 not installed on a healthy mirror"

# A leg's compiler that cannot be installed costs that leg only.
install_on leg-lost g++-mingw-w64-i686-posix
expect "install status 0" "a leg's missing compiler fails the install"
expect "=== windows-x86 neither built nor tested: cannot install g++-mingw-w64-i686-posix: E: Unable to locate package g++-mingw-w64-i686-posix" \
    "a leg without its compiler does not say why"

# The README's and the test command's packages are never optional.
install_on required-lost chromium
expect "install status 1" "a required package that cannot be installed passes"
expect "error: the quick start's and the test command's packages are required: cannot install" \
    "a required package's failure is not explained"
expect "E: Unable to locate package chromium" "apt's reason is not given for a required package"

((failures == 0)) && echo "every case passed"
exit $((failures > 0))
