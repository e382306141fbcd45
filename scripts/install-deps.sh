#!/bin/sh
# Installs the Debian packages the build, the tests, the demo and the Debian
# package (dpkg-dev for dpkg-buildflags and dpkg-shlibdeps, lintian, and
# man-db, with which lintian renders the manual pages) need, by the names
# Debian 12 and 13 share; make debs also runs it inside each release's root.
# With --with-fuzz the fuzzers' compiler, with --with-systemtest the tools
# that make and boot those roots (make debs, make systemtest). Never the
# recommended packages: systemd-container's libnss-mymachines would edit the
# host's /etc/nsswitch.conf.
# As root it runs apt-get itself; otherwise it prints the command to run.
set -eu

PACKAGES="build-essential cmake pkg-config ca-certificates openssl libssl-dev \
libcurl4-openssl-dev libjsoncpp-dev libcpp-httplib-dev libgtest-dev libgmock-dev \
libbenchmark-dev libsystemd-dev bind9-utils curl time git dpkg-dev lintian man-db"
if [ "${1:-}" = "--with-fuzz" ]; then
    PACKAGES="$PACKAGES clang libclang-rt-dev"
elif [ "${1:-}" = "--with-systemtest" ]; then
    PACKAGES="$PACKAGES debootstrap systemd-container procps"
fi

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages:$missing" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y$missing" >&2
    exit 1
fi
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends $missing
