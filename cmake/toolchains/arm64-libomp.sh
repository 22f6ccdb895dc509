#!/usr/bin/env bash
# Unpacks Debian's arm64 build of LLVM's OpenMP runtime (libomp5-14:arm64)
# into build/arm64-libomp, where the linux-arm64 toolchain looks for it.
# Clang compiles OpenMP directives only for libomp, and Debian cannot
# install the arm64 package beside the host's: both own
# /usr/lib/llvm-14/lib/libomp-14.so.5. Needs the arm64 package lists:
#   dpkg --add-architecture arm64 && apt-get update
set -euo pipefail
cd "$(dirname "$0")/../.."
target=build/arm64-libomp
package=libomp5-14:arm64
if [ -e "$target/usr/lib/llvm-14/lib/libomp.so" ]; then
    exit 0
fi
download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
if ! said=$(cd "$download" && apt-get download -q "$package" 2>&1); then
    echo "$said" >&2
    echo "cannot download $package; the arm64 package lists come with" \
        "dpkg --add-architecture arm64 && apt-get update" >&2
    exit 1
fi
mkdir -p "$target"
dpkg-deb -x "$download"/*.deb "$target"
# The name the linker looks for with -lomp, as the -dev package has it.
ln -sf libomp.so.5 "$target/usr/lib/llvm-14/lib/libomp.so"
echo "unpacked $package into $target"
