# shellcheck shell=bash
# Minimal roots of the Debian releases listed in packaging/deb/releases, for
# building the package of each release (packaging/release-build.sh) and for
# trying it under that release's systemd (tests/system/run.sh). A root is
# made with debootstrap --variant=minbase from DEBIAN_MIRROR and kept as a
# tarball with a key naming its release and contents, so that a root only
# ever serves its own release. Sourced by bash; functions only.

DEBIAN_MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
RELEASES_FILE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/deb/releases
export DEBIAN_MIRROR RELEASES_FILE

# Sets RELEASE_NUMBER and RELEASE_NAME for the release $1 names (its number
# or code name); any other name gets an error listing the supported ones on
# standard error and status 2.
debianRelease() {
    local number name supported=
    while read -r number name; do
        [[ $number =~ ^[0-9]+$ ]] || continue
        if [ "$1" = "$number" ] || [ "$1" = "$name" ]; then
            export RELEASE_NUMBER=$number RELEASE_NAME=$name
            return 0
        fi
        supported="$supported${supported:+, }$number ($name)"
    done <"$RELEASES_FILE"
    echo "unsupported Debian release \"$1\"; supported: $supported" >&2
    return 2
}

# Runs the command that follows inside the folder $1 as its root (chroot),
# in mount and PID namespaces of its own, so that nothing it mounts or
# leaves running outlives it: /proc, /sys and /dev of the host, and every
# "HOST:INSIDE[:ro]" of BINDS (blank-separated) bound in. Its environment
# holds PATH, HOME, LC_ALL and SOURCE_DATE_EPOCH only. Status: the command's.
inRoot() {
    unshare --mount --pid --fork --kill-child -- bash -c '
        root=$1 && shift &&
            mount -t proc proc "$root/proc" && mount -t sysfs sysfs "$root/sys" &&
            mount --rbind /dev "$root/dev" || exit 1
        for bind in ${BINDS:-}; do
            IFS=: read -r host inside mode <<<"$bind"
            mkdir -p "$root$inside" && mount --bind ${mode:+-o "$mode"} "$host" "$root$inside" ||
                exit 1
        done
        exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
            LC_ALL=C.UTF-8 ${SOURCE_DATE_EPOCH:+SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH} "$@"' \
        inRoot "$@"
}

# Makes the tarball $1 a minbase root of RELEASE_NAME with the packages $2
# (debootstrap's --include) and what the command $3 then installs inside it
# (with the network, BINDS bound in), unless it is one already: $1.key names
# the release, the mirror, the packages and the command ($4 adds what else
# the command depends on), and a root with another key is made anew, never
# patched. A root of an older point release is used as it is (remove the
# tarball to refresh it). Downloaded packages are kept per release beside it.
# Status 77: debootstrap failed (no mirror, say); 1: the command failed; the
# log is $1.log.
debianRoot() {
    local tar=$1 packages=$2 setup=${3:-} key dir cache lock status=0
    key="$RELEASE_NAME $DEBIAN_MIRROR minbase [$packages] [$setup] ${4:-}"
    # One maker at a time; the others then find the root made.
    exec {lock}>"$tar.lock" && flock "$lock" || return 1
    if [ -f "$tar" ] && [ "$(cat "$tar.key" 2>/dev/null)" = "$key" ]; then
        exec {lock}>&-
        return 0
    fi
    dir=$tar.root cache=$(dirname "$tar")/packages-$RELEASE_NAME
    rm -rf --one-file-system "$tar" "$tar.key" "$dir"
    mkdir -p "$cache/partial"
    debootstrap --variant=minbase --cache-dir="$cache" ${packages:+--include="${packages// /,}"} \
        "$RELEASE_NAME" "$dir" "$DEBIAN_MIRROR" >"$tar.log" 2>&1 || status=77
    if [ $status -eq 0 ] && [ -n "$setup" ]; then
        BINDS="${BINDS:-} $cache:/var/cache/apt/archives" inRoot "$dir" sh -c "$setup" \
            >>"$tar.log" 2>&1 || status=1
    fi
    if [ $status -eq 0 ]; then
        rm -rf "$dir"/var/lib/apt/lists/* "$dir"/var/cache/apt/*.bin &&
            tar -C "$dir" -cf "$tar" . && echo "$key" >"$tar.key" || status=1
    fi
    rm -rf --one-file-system "$dir"
    exec {lock}>&-
    return $status
}
