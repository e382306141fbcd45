#!/bin/bash
# Builds inside a minimal root of each Debian release named (12, 13 or their
# code names; packaging/deb/releases), with that release's compiler,
# libraries and tools: a minbase root made once with debootstrap and the
# project's scripts/install-deps.sh, kept as BUILD_DIR/roots/debian<N>-build.tar
# (packaging/debian-root.sh) and unpacked afresh for every build, with these
# sources bound read-only at /src.
#
#   packaging/release-build.sh BUILD_DIR deb RELEASE...
#       "make deb" for the release in BUILD_DIR/debian<N>/deb/: the package
#       (its lintian checks it), the stand-in service and, in
#       vantrel-standin.depends, the packages the stand-in's libraries come
#       from (for the system test); each package is also copied to
#       BUILD_DIR/debs/.
#   packaging/release-build.sh BUILD_DIR test FILTER RELEASE...
#       the test program in BUILD_DIR/debian<N>/test/, run there with the
#       GoogleTest FILTER against the release's own tools (BIND's
#       named-checkconf for the zones reader's tests).
#
# As root. Status 0: done; 1: a build or test failed; 2: usage, or a release
# that is not supported (the supported ones are listed); 77: this machine
# cannot make the roots (not root, no debootstrap, the mirror unreachable),
# "SKIPPED" is printed: never passed.
set -u
source "$(dirname "$0")/debian-root.sh"
SRC=$(cd "$(dirname "$0")/.." && pwd)
usage() {
    echo "usage: $0 BUILD_DIR deb RELEASE... | BUILD_DIR test FILTER RELEASE..." >&2
    exit 2
}
[ $# -ge 3 ] || usage
BUILD=$(mkdir -p "$1" && cd "$1" && pwd) || exit 1
action=$2 filter=
shift 2
case $action in
    deb) ;;
    test) filter=$1 && shift ;;
    *) usage ;;
esac
[ $# -gt 0 ] || usage
for release; do debianRelease "$release" || exit 2; done

skip() {
    echo "release-build $action: SKIPPED: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "needs root to make and enter the roots"
for tool in debootstrap unshare chroot; do
    command -v $tool >/dev/null || skip "no $tool (scripts/install-deps.sh --with-systemtest)"
done
# The build date of the version line and of the package: the last commit's.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$SRC" log -1 --format=%ct 2>/dev/null)}
export SOURCE_DATE_EPOCH

# Inside the root, /out is BUILD_DIR/debian<N>/<action>.
inside_deb='make -C /src --no-print-directory deb DEB_BUILD=/out DEBIAN_RELEASE=$0 || exit
    mkdir -p /out/shlibs/debian && cd /out/shlibs &&
        printf "Source: x\n\nPackage: x\nArchitecture: any\n" >debian/control &&
        { dpkg-shlibdeps -O ../vantrel-standin >depends 2>log || { cat log; exit 1; }; } &&
        sed -E "s/^shlibs:Depends=//; s/ \([^)]*\)//g; s/, / /g" depends \
            >../vantrel-standin.depends'
inside_test='{ cmake -S /src -B /out && cmake --build /out -j "$(nproc)" --target vantrel_tests; } \
    >/out/build.log 2>&1 || { tail -30 /out/build.log; exit 1; }
    echo "$(gcc --version | head -1), $(cmake --version | head -1), BIND $(named-checkconf -v)"
    cd /tmp && /out/vantrel_tests --gtest_filter="$1"'

root=
trap '[ -z "$root" ] || rm -rf --one-file-system "$root"' EXIT
trap 'exit 1' TERM INT HUP
for release; do
    debianRelease "$release"
    began=$SECONDS
    tar=$BUILD/roots/debian$RELEASE_NUMBER-build.tar
    out=$BUILD/debian$RELEASE_NUMBER/$action
    mkdir -p "$BUILD/roots" "$out"
    BINDS="$SRC:/src:ro" debianRoot "$tar" "" "sh /src/scripts/install-deps.sh" \
        "$(cksum <"$SRC/scripts/install-deps.sh")"
    case $? in
        0) ;;
        77) skip "debootstrap $RELEASE_NAME failed: $(tail -3 "$tar.log")" ;;
        *) echo "FAILED: the build root of Debian $RELEASE_NUMBER: $(tail -5 "$tar.log")"
           exit 1 ;;
    esac
    root=$BUILD/debian$RELEASE_NUMBER/root
    rm -rf --one-file-system "$root" && mkdir -p "$root" && tar -C "$root" -xf "$tar" || exit 1
    echo "== Debian $RELEASE_NUMBER ($RELEASE_NAME $(cat "$root/etc/debian_version")):" \
        "root ready after $((SECONDS - began)) s"
    status=0
    if [ "$action" = deb ]; then
        rm -f "$out"/vantrel_*.deb
        BINDS="$SRC:/src:ro $out:/out" inRoot "$root" bash -c "$inside_deb" "$RELEASE_NUMBER" ||
            status=$?
        if [ $status -eq 0 ]; then
            mkdir -p "$BUILD/debs" && rm -f "$BUILD/debs/"vantrel_*+deb"$RELEASE_NUMBER"u*.deb &&
                cp "$out"/vantrel_*.deb "$BUILD/debs/" || status=1
        fi
    else
        BINDS="$SRC:/src:ro $out:/out" inRoot "$root" bash -c "$inside_test" inside "$filter" ||
            status=$?
    fi
    rm -rf --one-file-system "$root"
    root=
    if [ $status -ne 0 ]; then
        echo "FAILED: $action for Debian $RELEASE_NUMBER (status $status)"
        exit 1
    fi
    echo "== Debian $RELEASE_NUMBER: $action done in $((SECONDS - began)) s"
done
