#!/bin/bash
# The system test: a release's Debian package under that release's systemd,
# in a minimal root of the release (packaging/debian-root.sh, kept as a
# tarball) booted by systemd-nspawn on a private network, with the stand-in
# service on the container's loopback. Named steps, each with a time limit,
# print their result and evidence; they are the same on every release (the
# first two name the release and its systemd; a step that had to differ
# would say which way it ran). Run as root: tests/system/run.sh BUILD_DIR
# RELEASE (12, 13 or a code name), with the package and the stand-in that
# make debs built in BUILD_DIR/debian<N>/deb/. Status 0: passed; 1: a step
# failed; 2: an unsupported release; 77: this machine cannot boot a
# container or the package is missing (skipped, never passed). The
# container, its root and what systemd-nspawn leaves on a host without
# systemd as PID 1 (cgroups, its run-time folder) are removed whatever
# happens.
set -u
source "$(dirname "$0")/../../packaging/debian-root.sh"
BUILD=$(cd "${1:-build}" && pwd) || exit 1
debianRelease "${2:-}" || exit 2
W=$BUILD/debian$RELEASE_NUMBER/systemtest
PKG=$BUILD/debian$RELEASE_NUMBER/deb
TAR=$BUILD/roots/debian$RELEASE_NUMBER-system.tar
ROOT=$W/root
TOKEN=systemtest-token
CA=/srv/standin/ca.pem
passed=0 stepPid='' nspawnPid='' began=$SECONDS
export W PKG TAR ROOT TOKEN CA BUILD nspawnPid

# Helpers, also used inside the steps.
fail() { echo "FAILED: $*"; exit 1; }
# Waits up to $1 seconds until the command that follows succeeds.
until_() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do [ $SECONDS -lt $end ] && sleep 0.2 || return 1; done
}
# Runs a command inside the container, with a clean environment.
ct() { nsenter -t "$(cat "$W/pid1")" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
want() { [ "$2" = "$3" ] || fail "$1: got \"$2\", want \"$3\""; }
has() { grep -qE -- "$3" <<<"$2" || fail "$1: no line matching /$3/ in:"$'\n'"$2"; }
prop() { ct systemctl show -p "$1" --value vantrel; }
active() { [ "$(prop ActiveState)" = active ]; }
# A --since mark; journalctl --after-cursor with -p would drop a line.
mark() { date -u '+%Y-%m-%d %H:%M:%S.%6N UTC'; }
journal() { ct journalctl --sync && ct journalctl --no-pager -q -o cat "$@"; }
# The stand-in's admin interface, reached in the container's network.
admin() {
    nsenter -t "$(cat "$W/pid1")" -n curl -sSf --cacert "$ROOT$CA" "${@:2}" \
        "https://127.0.0.1:8443/_admin/$1"
}
zones() { admin "zones?token=$TOKEN" | sort | tr '\n' ' '; }
# Makes the stand-in's next bulk insertion stall for $1 ms.
stall() { admin fault -d kind=stall -d "ms=$1" -d endpoint=/api/zones/bulk_insert >/dev/null; }
zonesAre() { [ "$(zones)" = "$1" ]; }
# Writes the zones file $1 of the master zones that follow and one slave, as
# BIND's checker accepts it.
zonesFile() {
    local zone
    for zone in "${@:2}"; do
        printf 'zone "%s" { type master; file "/var/lib/bind/%s.db"; };\n' "$zone" "$zone"
    done >"$ROOT$1"
    echo 'zone "slave.example" { type slave; masters { 192.0.2.1; }; };' >>"$ROOT$1"
}
# Rewrites /etc/vantrel.conf in place (its owner and mode stay); later keys win.
# Deletions go out at once: the reload and the watchdog step replace zones.
conf() {
    printf '%s\n' SERVER_HOSTNAME=127.0.0.1:8443 "TOKEN=$TOKEN" ZONES_FILE=/etc/bind/named.conf \
        "CA_FILE=$CA" LOG_LEVEL=INFO DELETE_GRACE=0 "$@" >"$ROOT/etc/vantrel.conf"
}
booted() {
    pgrep -P "$nspawnPid" -x systemd >"$W/pid1" &&
        [ "$(ct systemctl is-system-running 2>/dev/null)" = running ]
}

step_bootstrap() {
    debianRoot "$TAR" "$PACKAGES" || fail "debootstrap: $(tail -3 "$TAR.log")"
    mkdir "$ROOT" && tar -C "$ROOT" -xf "$TAR" || fail "cannot unpack $TAR"
    echo "Debian $(cat "$ROOT/etc/debian_version") root, made $(date -r "$TAR.key" '+%F %T')"
    install -m 644 "$DEB" "$ROOT/root/pkg.deb"
    install -m 755 "$PKG/vantrel-standin" "$ROOT/usr/local/bin/standin"
    install -d -m 755 "$ROOT/srv/standin" "$ROOT/etc/bind"
    printf '%s\n' '[Unit]' Before=vantrel.service '[Service]' \
        "ExecStart=/usr/local/bin/standin --cert-dir /srv/standin --port 8443 --token $TOKEN" \
        "ExecStartPost=/bin/bash -c 'until : </dev/tcp/127.0.0.1/8443; do sleep 0.1; done'" \
        '[Install]' WantedBy=multi-user.target >"$ROOT/etc/systemd/system/standin.service"
    echo "root of $(du -sm "$ROOT" | cut -f1) MiB with $(basename "$DEB") and the stand-in"
}

step_boot() {
    until_ 50 booted || fail "the container did not reach the running state"
    echo "systemd $(ct systemctl --version | head -1 | cut -d' ' -f2) is the container's PID 1"
}

step_install() {
    ct dpkg -i /root/pkg.deb >"$W/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$W/dpkg.log")"
    want "user, configuration, unit" "$(ct id -un vantrel; ct stat -c '%U:%G %a' /etc/vantrel.conf
        ct systemctl is-enabled vantrel; ct systemctl is-active vantrel)" \
        $'vantrel\nroot:vantrel 640\ndisabled\ninactive'
    echo "vantrel $(ct dpkg-query -W -f '${Version}' vantrel): user vantrel," \
        "/etc/vantrel.conf root:vantrel 640, unit disabled and inactive"
}

# The configuration as the package installs it (no host name, no token, no
# zones file), with passes every second.
step_unconfigured() {
    local t errors
    echo UPDATE_INTERVAL=1 >>"$ROOT/etc/vantrel.conf"
    t=$(mark)
    ct systemctl start vantrel || fail "start"
    sleep 4.5
    has "STATUS=" "$(prop StatusText)" '^not configured: SERVER_HOSTNAME is empty; '
    errors=$(journal -u vantrel -p 3..3 --since "$t")
    want "refusals in 5 passes" "$(grep -c '^Not configured: SERVER_HOSTNAME' <<<"$errors")" 1
    ! grep -E '^(Could not|last_seen:)' <<<"$errors" || fail "a request was attempted"
    has "start-up warning at priority 4" "$(journal -u vantrel -p 4..4 --since "$t")" \
        '^Warning: SERVER_HOSTNAME or TOKEN is empty\.$'
    ct vantrel -t -c /etc/vantrel.conf >/dev/null && fail "check mode passed"
    echo "STATUS=$(prop StatusText)"
    ct systemctl stop vantrel
    echo "one refusal at priority 3 in 5 passes (2 heartbeats due), no request;" \
        "start-up warning at 4; -t exits 1"
}

# Readiness only after the first pass, whose bulk insertion stalls 3 s.
step_start() {
    local begun ms
    zonesFile /etc/bind/named.conf a.example b.example
    conf
    ct systemctl start standin || fail "stand-in"
    stall 3000 || fail "fault"
    mark >"$W/clean"
    begun=$(date +%s%N)
    ct systemctl start --no-block vantrel
    sleep 1.5
    want "during the first pass" "$(prop ActiveState) [$(zones)]" "activating []"
    until_ 20 active || fail "not active"
    ms=$((($(date +%s%N) - begun) / 1000000))
    want "zones" "$(zones)" "a.example b.example "
    has "STATUS=" "$(prop StatusText)" '^2 zones; last pass ok;.* in sync;'
    echo "activating with an empty service for ${ms} ms, then active holding a.example b.example"
    echo "STATUS=$(prop StatusText)"
}

# A removed zone and an option BIND rejects: the zone stays at the service
# past DELETE_GRACE, BIND's message at priority 3 and in STATUS=; without the
# option the deletion goes.
step_verdict() {
    local t message
    zonesFile /etc/bind/named.conf a.example b.example
    conf DELETE_GRACE=2
    ct systemctl restart vantrel || fail "restart"
    until_ 20 zonesAre "a.example b.example " || fail "zones: $(zones)"
    t=$(mark)
    zonesFile /etc/bind/named.conf a.example
    sed -i '1i options { max-stale-ttl: 43200; };' "$ROOT/etc/bind/named.conf"
    message="BIND refuses its configuration: /etc/bind/named.conf:1: unknown option 'max-stale-ttl:'"
    until_ 20 eval 'journal -u vantrel -p 3..3 --since "$t" | grep -qF "$message"' ||
        fail "no line at 3: $(journal -u vantrel --since "$t")"
    has "STATUS=" "$(prop StatusText)" "^$message"
    sleep 3
    want "past DELETE_GRACE=2" "$(zones)" "a.example b.example "
    sed -i 1d "$ROOT/etc/bind/named.conf"
    until_ 20 zonesAre "a.example " || fail "zones once BIND accepts: $(zones)"
    zonesFile /etc/bind/named.conf a.example b.example
    until_ 20 zonesAre "a.example b.example " || fail "zones: $(zones)"
    mark >"$W/clean"
    echo "held past DELETE_GRACE with \"$message\" at 3 and in STATUS=; gone once BIND accepts"
}

step_sandbox() {
    local pid uid status exposure cap
    pid=$(prop MainPID) uid=$(ct id -u vantrel)
    status=$(ct cat "/proc/$pid/status")
    has "user" "$status" "^Uid:\s+$uid\s+$uid\s+$uid\s+$uid$"
    for cap in CapInh CapPrm CapEff CapBnd CapAmb; do has "$cap" "$status" "^$cap:\s+0+$"; done
    has "no new privileges" "$status" '^NoNewPrivs:\s+1$'
    want "systemd-analyze verify" "$(ct systemd-analyze verify --man=no vantrel.service 2>&1)" ""
    exposure=$(ct systemd-analyze security vantrel | grep -oP 'Overall exposure .*?: \K[0-9.]+')
    awk "BEGIN { exit !(\"$exposure\" != \"\" && $exposure <= 1.6) }" || fail "exposure $exposure"
    echo "PID $pid runs as vantrel ($uid), every capability set empty, no new privileges;" \
        "unit verified, exposure $exposure"
}

step_reload() {
    local pid
    pid=$(prop MainPID)
    zonesFile /etc/bind/other.conf d.example
    conf ZONES_FILE=/etc/bind/other.conf
    ct systemctl reload vantrel || fail "reload"
    until_ 20 zonesAre "d.example " || fail "zones after reload: $(zones)"
    want "PID after reload" "$(prop MainPID)" "$pid"
    echo "PID $pid kept; the new ZONES_FILE's d.example replaced a.example b.example"
}

step_stop() {
    local t begun ms
    t=$(mark) begun=$(date +%s%N)
    ct systemctl stop vantrel
    ms=$((($(date +%s%N) - begun) / 1000000))
    [ "$ms" -lt 2000 ] || fail "stop took $ms ms"
    want "errors in start, reload, stop" "$(journal -u vantrel -p err --since "$(<"$W/clean")")" ""
    want "lines as Vantrel" "$(journal -t Vantrel)" ""
    want "debug lines (LOG_LEVEL=INFO)" "$(journal -t vantrel -p 7..7)" ""
    want "stop line at notice" "$(journal -t vantrel -p 5..5 --since "$t")" \
        "Received SIGTERM... Quiting."
    echo "stopped in $ms ms; since the start no line at err, none at debug (LOG_LEVEL=INFO)," \
        "none as Vantrel; the stop line at notice as vantrel"
}

step_priorities() {
    local t pid
    conf DAEMONIZE=TRUE TOKEN=wrong-token
    t=$(mark)
    ct systemctl start vantrel || fail "start with DAEMONIZE=TRUE"
    sleep 1
    pid=$(prop MainPID)
    want "after the start" "$(prop ActiveState) $(prop NRestarts) $(ct ps -o comm= "$pid")" \
        "active 0 vantrel"
    has "warning" "$(journal -u vantrel -p 4..4 --since "$t")" '^Warning: DAEMONIZE=TRUE is ignored'
    has "failed request" "$(journal -u vantrel -p 3..3 --since "$t")" \
        '^bulk_insert: HTTP 401 from 127\.0\.0\.1:8443: "invalid token"$'
    ct mv /etc/vantrel.conf /root/saved.conf
    ct systemctl reload vantrel
    until_ 5 eval 'journal -t vantrel -p 3..3 | grep -q "^Restart on SIGHUP refused"' ||
        fail "reload"
    want "after a refused reload" "$(prop MainPID) $(prop ActiveState)" "$pid active"
    ct systemctl stop vantrel
    t=$(mark)
    ct systemctl start vantrel 2>/dev/null && fail "started without a configuration file"
    want "without a configuration" "$(prop ActiveState) $(prop ExecMainStatus) $(prop NRestarts)" \
        "failed 255 0"
    want "at priority 4" "$(journal -t vantrel -p 4..4 --since "$t")" \
        "No configuration file found; tried /etc/vantrel.conf, vantrel.conf, /etc/orvel.conf."
    has "at priority 3" "$(journal -u vantrel -p 3..3 --since "$t")" '^Error reading file'
    ct mv /root/saved.conf /etc/vantrel.conf
    ct systemctl reset-failed vantrel
    echo "DAEMONIZE=TRUE: stays the main process, warning at 4; HTTP 401 cause line at 3"
    echo "reload without the configuration file: refused at 3, same PID, still active"
    echo "no configuration: status 255, not restarted, each candidate named once at 4, error at 3"
}

step_watchdog() {
    local pid t
    mkdir -p "$ROOT/etc/systemd/system/vantrel.service.d"
    printf '[Service]\nWatchdogSec=5s\nRestartSec=1s\n' \
        >"$ROOT/etc/systemd/system/vantrel.service.d/watchdog.conf"
    conf # back to named.conf, which still holds a.example b.example
    ct systemctl daemon-reload
    ct systemctl start vantrel || fail "start"
    pid=$(prop MainPID)
    # A transfer stalled longer than the watchdog's period is not a frozen agent.
    stall 8000 || fail "fault"
    zonesFile /etc/bind/named.conf a.example b.example e.example
    until_ 20 zonesAre "a.example b.example e.example " || fail "zones: $(zones)"
    want "after an 8 s stalled transfer" "$(prop MainPID) $(prop NRestarts)" "$pid 0"
    t=$(mark)
    ct systemctl kill --kill-whom=main --signal=SIGSTOP vantrel
    until_ 30 eval '[ "$(prop MainPID)" != "$pid" ] && active' || fail "not restarted"
    want "restarts" "$(prop NRestarts)" 1
    has "watchdog" "$(journal -u vantrel --since "$t")" 'Watchdog timeout'
    has "abort" "$(journal -u vantrel --since "$t")" 'status=6/ABRT'
    rm -r "$ROOT/etc/systemd/system/vantrel.service.d"
    ct systemctl daemon-reload
    echo "8 s stalled transfer under WatchdogSec=5s: same PID $pid, e.example arrived"
    echo "SIGSTOP: watchdog timeout, killed with SIGABRT, restarted as PID $(prop MainPID)"
}

step_enable() {
    ct systemctl enable standin vantrel 2>/dev/null
    want "enabled" "$(ct systemctl is-enabled vantrel)" enabled
    echo "enabled; the container is shut down and booted again"
}

step_reboot() {
    until_ 50 booted || fail "the container did not boot again"
    until_ 20 active || fail "vantrel is $(prop ActiveState) after the boot"
    until_ 20 zonesAre "a.example b.example e.example " || fail "zones: $(zones)"
    echo "second boot: vantrel active (PID $(prop MainPID)) and the fresh service holds its zones"
}

confState() { ct sh -c 'sha256sum /etc/vantrel.conf; stat -c "%U:%G %a" /etc/vantrel.conf'; }
step_upgrade() {
    local pid version before
    pid=$(prop MainPID) version=$(dpkg-deb -f "$DEB" Version)+systemtest1
    before=$(confState)
    rm -rf "$W/upgrade"
    # Its unit lies in /lib, which a merged /usr links to /usr/lib: the move
    # of the upgrade from 2.0.0-1, the other way round; dpkg must keep it.
    dpkg-deb -R "$DEB" "$W/upgrade" && mv "$W/upgrade/usr/lib" "$W/upgrade/lib" &&
        sed -i 's,  usr/lib/,  lib/,' "$W/upgrade/DEBIAN/md5sums" &&
        sed -i "s/^Version: .*/Version: $version/" "$W/upgrade/DEBIAN/control" &&
        dpkg-deb -b "$W/upgrade" "$ROOT/root/pkg-upgrade.deb" >/dev/null || fail "package $version"
    ct dpkg -i /root/pkg-upgrade.deb >"$W/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$W/dpkg.log")"
    want "version" "$(ct dpkg-query -W -f '${Version}' vantrel)" "$version"
    want "/etc/vantrel.conf" "$(confState)" "$before"
    until_ 20 active || fail "not active after the upgrade"
    [ "$(prop MainPID)" != "$pid" ] || fail "the running agent was not restarted"
    want "enabled" "$(ct systemctl is-enabled vantrel)" enabled
    echo "upgraded to $version, unit moved to /lib: the edited /etc/vantrel.conf unchanged" \
        "($(tail -1 <<<"$before")), the agent restarted, still enabled"
}

step_purge() {
    ct rm /root/pkg.deb /root/pkg-upgrade.deb
    ct dpkg -P vantrel >"$W/dpkg.log" 2>&1 || fail "dpkg -P: $(cat "$W/dpkg.log")"
    want "unit" "$(ct systemctl is-active vantrel
        ct systemctl list-unit-files --no-legend 'vantrel*')" inactive
    want "files left" "$(ct find / /run -xdev -name '*vantrel*' -not -path '/run/log/*')" ""
    want "user (kept, as is Debian practice)" "$(ct id -un vantrel)" vantrel
    echo "purged: agent stopped, no unit, no file named *vantrel* on / or /run; user kept"
}
# shellcheck disable=SC2046 # function names are single words
export -f $(compgen -A function)

# The folders systemd-nspawn makes beside itself in each cgroup hierarchy it
# uses, and its run-time folder: removed after each boot unless they existed.
leftovers=
while IFS=: read -r _ hierarchy path; do
    case $hierarchy in
        name=systemd) mount=$(awk '$4 ~ /(^|,)name=systemd/ { print $2 }' /proc/self/mounts) ;;
        "") mount=$(awk '$3 == "cgroup2" { print $2; exit }' /proc/self/mounts) ;;
        *) continue ;;
    esac
    for folder in "$mount${path%/}/payload" "$mount${path%/}/supervisor"; do
        [ -n "$mount" ] && [ ! -e "$folder" ] && leftovers="$leftovers $folder"
    done
done </proc/self/cgroup
[ -e /run/systemd/nspawn ] || leftovers="$leftovers /run/systemd/nspawn"

boot() {
    systemd-nspawn -q -D "$ROOT" -b --register=no --keep-unit --private-network \
        --console=read-only </dev/null >>"$W/console.log" 2>&1 &
    nspawnPid=$!
}
halt() {
    [ -n "$nspawnPid" ] || return 0
    kill -TERM "$nspawnPid" 2>/dev/null
    # Ended: gone, or a zombie not yet reaped.
    until_ 20 eval '! grep -qs "^[0-9]* ([^)]*) [^Z]" /proc/$nspawnPid/stat' ||
        kill -KILL "$nspawnPid"
    nspawnPid=
    local folder
    for folder in $leftovers; do
        case $folder in
            /run/*) rm -rf "$folder" ;;
            *) [ -d "$folder" ] && find "$folder" -depth -type d -exec rmdir {} + ;;
        esac
    done
}
cleanup() {
    [ -n "$stepPid" ] && kill -TERM -- "-$stepPid" 2>/dev/null
    halt
    # Never into a mount that outlived the container.
    rm -rf --one-file-system "$ROOT" "$W/upgrade" "$TAR.root"
}
trap cleanup EXIT
trap 'exit 1' TERM INT HUP

skip() { echo "systemtest: SKIPPED: $*"; exit 77; }
# Runs step_$1 within $2 seconds and prints its result; with "skip", a
# failure means this machine cannot run the test.
run() {
    local name=$1 limit=$2 begun status=0
    begun=$(date +%s%N)
    timeout -k 5 "$limit" bash -c "step_$name" >"$W/$name.log" 2>&1 &
    stepPid=$!
    wait "$stepPid" || status=$?
    stepPid=
    [ $status -ne 124 ] || echo "FAILED: no result within $limit s" >>"$W/$name.log"
    printf '%-4s %-13s %5d ms\n' "$([ $status -eq 0 ] && echo PASS || echo FAIL)" "$name" \
        $((($(date +%s%N) - begun) / 1000000))
    sed 's/^/       /' "$W/$name.log"
    if [ $status -ne 0 ]; then
        [ "${3:-}" = skip ] && skip "step $name: this machine cannot make or boot the container"
        echo "systemtest: $passed passed, 1 failed"
        exit 1
    fi
    passed=$((passed + 1))
}

[ "$(id -u)" -eq 0 ] || skip "needs root to boot a container"
for tool in systemd-nspawn debootstrap nsenter pgrep curl dpkg-deb; do
    command -v $tool >/dev/null || skip "no $tool (scripts/install-deps.sh --with-systemtest)"
done
DEB=$(ls "$PKG"/vantrel_*.deb 2>/dev/null | head -1)
[ -n "$DEB" ] || skip "no package for Debian $RELEASE_NUMBER in $PKG (make debs)"
# The container's packages besides minbase: the init, the package's
# dependencies (it is installed without a network) and the stand-in's.
PACKAGES="systemd dbus bind9-utils $(cat "$PKG/vantrel-standin.depends") $(dpkg-deb -f "$DEB" Depends |
    sed -E 's/\([^)]*\)//g; s/\|[^,]*//g; s/[ ,]+/ /g')"
export DEB PACKAGES
mkdir -p "$W" "$BUILD/roots" && rm -rf --one-file-system "$ROOT" && : >"$W/console.log"

run bootstrap 300 skip
boot
run boot 60 skip
for step in install unconfigured start sandbox verdict reload stop priorities watchdog enable; do
    run $step 60
done
halt
boot
run reboot 60
run upgrade 60
run purge 60
echo "systemtest: $passed passed, 0 failed in $((SECONDS - began)) s"
