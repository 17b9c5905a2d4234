#!/usr/bin/env bash
# Tests the release wheels where people install them: builds them with
# ci/wheels.sh, installs each into the Debian userland of a lane with that
# userland's own CPython and pip, and runs the whole suite there against it.
#
#   ci/wheel-lanes.sh [LANE...]        (default: bullseye bookworm-arm64 sid)
#
#   bullseye        the cp39 x86_64 wheel on Debian 11 (glibc 2.31, CPython 3.9)
#   bookworm-arm64  the cp311 aarch64 wheel on Debian 12 arm64 (CPython 3.11),
#                   run through qemu-user
#   sid             the cp314 x86_64 wheel (built against Debian's headers, as
#                   every wheel for an interpreter not installed here is) on
#                   Debian unstable's CPython 3.14
# and, asked for by name (emulated, so not in CI's default run):
#   bullseye-arm64  the cp39 aarch64 wheel on Debian 11 arm64
#   trixie-arm64    the cp313 aarch64 wheel on Debian 13 arm64
#   sid-arm64       the cp315 aarch64 wheel on Debian unstable arm64
#
# Each lane's chroot is kept in /var/cache/corvane-acp/<lane> and reused; the
# first run makes it with debootstrap (a few minutes; the arm64 one, emulated,
# about ten). The chroots carry g++ and CMake too, so the suite's engine C++
# test is built natively inside each, by that userland's compiler (under
# emulation for arm64), and run there. Needs root (debootstrap, chroot, mount,
# binfmt_misc).
#
# Environment:
#   CORVANE_CHROOTS  where the chroots live (default: /var/cache/corvane-acp)
#   CORVANE_MIRROR   Debian mirror (default: the one in this machine's apt sources)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=ci/chroot-lib.sh
source "$ROOT/ci/chroot-lib.sh"
CHROOTS="${CORVANE_CHROOTS:-/var/cache/corvane-acp}"
TOOLS=(g++ cmake make ca-certificates)

if [ "$(id -u)" != 0 ]; then
    echo "wheel-lanes.sh: needs root (debootstrap, chroot, mount, binfmt_misc)" >&2
    exit 1
fi
if [ "$#" -gt 0 ]; then lanes=("$@"); else lanes=(bullseye bookworm-arm64 sid); fi

WORK="$(mktemp -d "${TMPDIR:-/tmp}/corvane-lanes.XXXXXX")"
finish() {
    local status=$?
    corvane_cleanup || true
    rm -rf "$WORK"
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT TERM

# lane -> suite, Debian architecture, wheel target, interpreter in the chroot
lane_suite() {
    case "$1" in
        bullseye | bullseye-arm64) echo bullseye ;;
        bookworm-arm64) echo bookworm ;;
        trixie-arm64) echo trixie ;;
        sid | sid-arm64) echo sid ;;
        *) return 1 ;;
    esac
}
lane_arch() { case "$1" in *-arm64) echo arm64 ;; *) echo amd64 ;; esac; }
lane_target() {
    case "$1" in
        bullseye) echo cp39-x86_64 ;;
        bullseye-arm64) echo cp39-aarch64 ;;
        bookworm-arm64) echo cp311-aarch64 ;;
        trixie-arm64) echo cp313-aarch64 ;;
        sid) echo cp314-x86_64 ;;
        sid-arm64) echo cp315-aarch64 ;;
    esac
}
lane_python() { case "$1" in sid) echo python3.14 ;; sid-arm64) echo python3.15 ;; *) echo python3 ;; esac; }

targets=()
for lane in "${lanes[@]}"; do
    lane_suite "$lane" >/dev/null || { echo "wheel-lanes.sh: no lane $lane" >&2; exit 2; }
    targets+=("$(lane_target "$lane")")
done

start=$SECONDS
bash "$ROOT/ci/wheels.sh" "$WORK/wheels" "${targets[@]}"
echo "== wheels built in $((SECONDS - start)) s"

results=()
failed=0
for lane in "${lanes[@]}"; do
    start=$SECONDS
    suite=$(lane_suite "$lane")
    arch=$(lane_arch "$lane")
    target=$(lane_target "$lane")
    abi=${target%-*}
    wheel=$(cd "$WORK/wheels" && ls corvane_acp_native-*-"$abi"-"$abi"-manylinux*_"${target#*-}".whl)
    [ "$arch" = arm64 ] && corvane_binfmt_aarch64
    dir="$CHROOTS/$lane"
    python=$(lane_python "$lane")
    corvane_chroot "$dir" "$suite" "$arch" "$python" "$python-venv" "${TOOLS[@]}"
    lane_wheels="$WORK/lane-$lane"
    mkdir -p "$lane_wheels"
    cp "$WORK/wheels/$wheel" "$lane_wheels/"
    corvane_enter "$dir" "$ROOT" "$lane_wheels"
    echo "== $lane: $wheel with $(chroot "$dir" "$python" -c 'import platform, sys; print("CPython", sys.version.split()[0], "glibc", platform.libc_ver()[1], platform.machine())')"
    # The userland's own pip installs the wheel, as it would for a user there;
    # a tag it does not accept fails here.
    # Under qemu-user, the tests that cap the address space skip (the cap would
    # be the emulator's); every other test runs as on a real machine.
    emulated=""
    [ "$arch" = arm64 ] && [ "$(uname -m)" != aarch64 ] && emulated=qemu-user
    if corvane_run "$dir" env CORVANE_EMULATED="$emulated" bash -euc '
        rm -rf /tmp/lane && "$2" -m venv /tmp/lane
        /tmp/lane/bin/python -m pip --version
        /tmp/lane/bin/python -m pip install -q --no-index --only-binary :all: "/wheels/$1"
        /tmp/lane/bin/python -m pip install -q "pytest>=7" "hypothesis>=6"
        # The schema tests want jsonschema, whose parts are compiled; where the
        # index has no wheel of them for this userland, those tests skip.
        /tmp/lane/bin/python -m pip install -q --only-binary :all: "jsonschema>=4" ||
            echo "== no jsonschema wheel for this userland; the schema tests skip"
        cd /src && /tmp/lane/bin/python -m pytest -q -p no:cacheprovider tests
    ' lane "$wheel" "$python"; then
        results+=("$lane: $wheel passed in $((SECONDS - start)) s")
    else
        results+=("$lane: $wheel FAILED after $((SECONDS - start)) s")
        failed=1
    fi
    corvane_cleanup || true
done

printf '== %s\n' "${results[@]}"
exit "$failed"
