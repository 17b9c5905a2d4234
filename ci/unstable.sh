#!/usr/bin/env bash
# Builds the module and runs the whole test suite on CPython 3.14 and 3.15, the
# interpreters Debian's unstable suite packages, inside a minimal unstable
# chroot. The chroot is kept outside the repository and reused when present;
# the first run makes it (about a minute or four, by the mirror's speed).
#
#   ci/unstable.sh [python3.14 python3.15 ...]   (interpreters inside the chroot)
#
# Environment:
#   CORVANE_CHROOT   where the chroot lives (default: /var/cache/corvane-acp/unstable)
#   CORVANE_MIRROR   Debian mirror (default: the one in this machine's apt sources)
#
# The checkout is bind-mounted read-only; every build happens in the chroot's
# /tmp. Whatever is mounted is unmounted again on every way out.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CHROOT="${CORVANE_CHROOT:-/var/cache/corvane-acp/unstable}"
PACKAGES=(python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
          g++ cmake make ca-certificates)
# Unstable's Release file may be past its Valid-Until date.
APT=(apt-get -q -y -o Acquire::Check-Valid-Until=false -o Dpkg::Use-Pty=0)

if [ "$#" -gt 0 ]; then interpreters=("$@"); else interpreters=(python3.14 python3.15); fi

if [ "$(id -u)" != 0 ]; then
    echo "unstable.sh: needs root (debootstrap, chroot, mount)" >&2
    exit 1
fi

# The Debian mirror this machine's own apt sources name (deb822 or one-line form).
host_mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -n 's/^URIs:[[:space:]]*//p' |
          tr ' ' '\n' | grep -E '/debian/?$' | head -n 1 || true)
    if [ -z "$uri" ]; then
        uri=$(grep -h -E '^deb[[:space:]]' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' |
              grep -E '/debian/?$' | head -n 1 || true)
    fi
    echo "${uri:-http://deb.debian.org/debian}"
}

# The packages the chroot was made with; a different list makes it anew.
stamp="corvane-packages: ${PACKAGES[*]}"

make_chroot() {
    local mirror="${CORVANE_MIRROR:-$(host_mirror)}"
    local fresh="$CHROOT.new"
    echo "== making the unstable chroot in $CHROOT from $mirror"
    if ! command -v debootstrap >/dev/null 2>&1; then
        apt-get -q update
        apt-get -q -y install debootstrap
    fi
    rm -rf "$fresh"
    mkdir -p "$(dirname "$CHROOT")"
    debootstrap --variant=minbase unstable "$fresh" "$mirror" >"$(dirname "$CHROOT")/debootstrap.log" 2>&1 || {
        tail -n 30 "$(dirname "$CHROOT")/debootstrap.log" >&2
        return 1
    }
    cp /etc/resolv.conf "$fresh/etc/resolv.conf"
    chroot "$fresh" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
        "${APT[@]}" update
    chroot "$fresh" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
        "${APT[@]}" install --no-install-recommends "${PACKAGES[@]}"
    chroot "$fresh" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "${APT[@]}" clean
    echo "$stamp" >"$fresh/etc/corvane-chroot"
    rm -rf "$CHROOT"
    mv "$fresh" "$CHROOT"
}

if [ "$(cat "$CHROOT/etc/corvane-chroot" 2>/dev/null)" != "$stamp" ]; then
    make_chroot
else
    echo "== reusing the unstable chroot in $CHROOT"
fi

mounted=()
cleanup() {
    local status=$? i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
    done
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_here() {  # mount_here TARGET MOUNT-ARGS...
    local target="$1"
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounted+=("$target")
}

mount_here "$CHROOT/proc" -t proc proc
mount_here "$CHROOT/dev/shm" -t tmpfs -o mode=1777 tmpfs
mount_here "$CHROOT/src" --bind "$ROOT"
mount -o remount,bind,ro "$CHROOT/src"
# pip reaches the package index through this machine's certificate authorities.
cp "${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}" "$CHROOT/etc/corvane-host-ca.crt"
cp /etc/resolv.conf "$CHROOT/etc/resolv.conf"

chroot "$CHROOT" env -i \
    PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 TMPDIR=/tmp CI="${CI:-}" \
    PIP_CERT=/etc/corvane-host-ca.crt SSL_CERT_FILE=/etc/corvane-host-ca.crt \
    PIP_DEFAULT_TIMEOUT="${PIP_DEFAULT_TIMEOUT:-180}" PYTHONDONTWRITEBYTECODE=1 \
    bash /src/ci/interpreters.sh "${interpreters[@]}"
