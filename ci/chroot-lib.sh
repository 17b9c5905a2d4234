# Sourced by the lanes that run in a Debian chroot (ci/wheel-lanes.sh): makes
# a minimal chroot of a given suite and architecture outside the repository,
# reuses it while it was made with the same package list, runs commands in it
# with the checkout bind-mounted read-only, and unmounts everything it mounted
# on every way out. A foreign architecture runs through qemu-user, which is
# registered with binfmt_misc for as long as the lane needs it.
#
# Environment:
#   CORVANE_MIRROR   Debian mirror (default: the one in this machine's apt sources)

# Unstable's Release file may be past its Valid-Until date.
CORVANE_APT=(apt-get -q -y -o Acquire::Check-Valid-Until=false -o Dpkg::Use-Pty=0)

# The Debian mirror this machine's own apt sources name (deb822 or one-line form).
corvane_host_mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -n 's/^URIs:[[:space:]]*//p' |
          tr ' ' '\n' | grep -E '/debian/?$' | head -n 1 || true)
    if [ -z "$uri" ]; then
        uri=$(grep -h -E '^deb[[:space:]]' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' |
              grep -E '/debian/?$' | head -n 1 || true)
    fi
    echo "${uri:-http://deb.debian.org/debian}"
}

# Installs host packages the lanes need, once.
corvane_host_tools() {  # corvane_host_tools COMMAND:PACKAGE...
    local want=() pair
    for pair in "$@"; do
        command -v "${pair%%:*}" >/dev/null 2>&1 || want+=("${pair#*:}")
    done
    [ "${#want[@]}" -eq 0 ] && return 0
    apt-get -q update
    DEBIAN_FRONTEND=noninteractive apt-get -q -y install --no-install-recommends "${want[@]}"
}

# Lets this machine run aarch64 binaries through qemu-user. The F flag opens
# the emulator at registration, so it works inside a chroot too. What this
# registers (and the binfmt_misc mount, if it makes it) is undone by
# corvane_cleanup.
corvane_binfmt_registered=""
corvane_binfmt_mounted=""
corvane_binfmt_aarch64() {
    corvane_host_tools qemu-aarch64-static:qemu-user-static
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
        corvane_binfmt_mounted=1
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
        local conf=/usr/lib/binfmt.d/qemu-aarch64.conf line
        line=$(grep -v '^#' "$conf" | head -n 1)
        case "${line##*:}" in *F*) ;; *) line="${line}F" ;; esac
        echo "$line" >/proc/sys/fs/binfmt_misc/register
        corvane_binfmt_registered=1
    fi
}

# Makes (or reuses) a chroot. A stamp names the suite, architecture and
# packages it was made with; a different list makes it anew.
corvane_chroot() {  # corvane_chroot DIR SUITE ARCH PACKAGE...
    local dir=$1 suite=$2 arch=$3
    shift 3
    local stamp="corvane-packages: $suite $arch $*"
    if [ "$(cat "$dir/etc/corvane-chroot" 2>/dev/null)" = "$stamp" ]; then
        echo "== reusing the $suite $arch chroot in $dir"
        return 0
    fi
    local mirror="${CORVANE_MIRROR:-$(corvane_host_mirror)}" fresh="$dir.new"
    local log="$dir.debootstrap.log" start=$SECONDS
    echo "== making the $suite $arch chroot in $dir from $mirror"
    corvane_host_tools debootstrap:debootstrap
    rm -rf "$fresh"
    mkdir -p "$(dirname "$dir")"
    debootstrap --variant=minbase --arch="$arch" "$suite" "$fresh" "$mirror" >"$log" 2>&1 || {
        tail -n 30 "$log" >&2
        return 1
    }
    cp /etc/resolv.conf "$fresh/etc/resolv.conf"
    local run=(chroot "$fresh" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive)
    "${run[@]}" "${CORVANE_APT[@]}" update
    "${run[@]}" "${CORVANE_APT[@]}" install --no-install-recommends "$@"
    "${run[@]}" "${CORVANE_APT[@]}" clean
    echo "$stamp" >"$fresh/etc/corvane-chroot"
    rm -rf "$dir"
    mv "$fresh" "$dir"
    echo "== made the $suite $arch chroot in $((SECONDS - start)) s"
}

corvane_mounted=()
corvane_cleanup() {
    local status=$? i
    for ((i = ${#corvane_mounted[@]} - 1; i >= 0; i--)); do
        umount "${corvane_mounted[i]}" 2>/dev/null || umount -l "${corvane_mounted[i]}" || true
    done
    corvane_mounted=()
    if [ -n "$corvane_binfmt_registered" ]; then
        echo -1 >/proc/sys/fs/binfmt_misc/qemu-aarch64 || true
        corvane_binfmt_registered=""
    fi
    if [ -n "$corvane_binfmt_mounted" ]; then
        umount /proc/sys/fs/binfmt_misc || true
        corvane_binfmt_mounted=""
    fi
    return "$status"
}

corvane_mount() {  # corvane_mount TARGET MOUNT-ARGS...
    local target="$1"
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    corvane_mounted+=("$target")
}

# Mounts what a lane needs in the chroot: /proc, a /dev/shm, the checkout
# read-only at /src and, when given, a folder of wheels read-only at /wheels.
corvane_enter() {  # corvane_enter DIR ROOT [WHEELDIR]
    local dir=$1 root=$2 wheels=${3:-}
    corvane_mount "$dir/proc" -t proc proc
    corvane_mount "$dir/dev/shm" -t tmpfs -o mode=1777 tmpfs
    corvane_mount "$dir/src" --bind "$root"
    mount -o remount,bind,ro "$dir/src"
    if [ -n "$wheels" ]; then
        corvane_mount "$dir/wheels" --bind "$wheels"
        mount -o remount,bind,ro "$dir/wheels"
    fi
    # pip reaches the package index through this machine's certificate authorities.
    cp "${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}" "$dir/etc/corvane-host-ca.crt"
    cp /etc/resolv.conf "$dir/etc/resolv.conf"
}

# Runs a command in the chroot with a clean environment.
corvane_run() {  # corvane_run DIR COMMAND...
    local dir=$1
    shift
    chroot "$dir" env -i \
        PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 TMPDIR=/tmp CI="${CI:-}" \
        PIP_CERT=/etc/corvane-host-ca.crt SSL_CERT_FILE=/etc/corvane-host-ca.crt \
        PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 \
        PIP_DEFAULT_TIMEOUT="${PIP_DEFAULT_TIMEOUT:-180}" PYTHONDONTWRITEBYTECODE=1 \
        "$@"
}
