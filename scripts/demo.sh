#!/bin/bash
# Shows the agent's main job against the local stand-in of the cloud DNS
# service: the service's zone list follows the zones file while the agent runs.
# Usage: scripts/demo.sh [build-dir]
set -euo pipefail

BUILD=${1:-build}
AGENT="$BUILD/vantrel"
STANDIN="$BUILD/vantrel-standin"
TOKEN=demo-token
WORK=$(mktemp -d /tmp/vantrel-demo-XXXXXX)
AGENT_PID=""
STANDIN_PID=""

cleanup() {
    [ -n "$AGENT_PID" ] && kill "$AGENT_PID" 2>/dev/null || true
    [ -n "$STANDIN_PID" ] && kill "$STANDIN_PID" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

step() { printf '\n==> %s\n' "$*"; }

for program in "$AGENT" "$STANDIN"; do
    if [ ! -x "$program" ]; then
        echo "demo: $program is missing; build first with 'make'." >&2
        exit 1
    fi
done

step "Starting the stand-in cloud DNS service on 127.0.0.1 with a fresh CA"
mkfifo "$WORK/standin.out"
"$STANDIN" --cert-dir "$WORK/certs" --port 0 --token "$TOKEN" \
    --zone "$TOKEN:stale.example" >"$WORK/standin.out" 2>&1 &
STANDIN_PID=$!
read -r -t 20 LISTENING <"$WORK/standin.out" || { echo "demo: the stand-in did not start" >&2; exit 1; }
echo "$LISTENING"
HOSTPORT=${LISTENING#listening on }

# The service's zone list for the demo token, sorted, on one line.
service_zones() {
    curl -s --fail --cacert "$WORK/certs/ca.pem" "https://$HOSTPORT/_admin/zones?token=$TOKEN" |
        sort | tr '\n' ' ' | sed 's/ $//'
}

# Waits (15 s at most) until the service holds exactly the zones given, then
# shows its list and how long it took; fails the demo when it does not get
# there.
await_service() {
    local expected="$*" tries=0 start
    start=$(date +%s%3N)
    until [ "$(service_zones)" = "$expected" ]; do
        tries=$((tries + 1))
        if [ "$tries" -gt 150 ]; then
            echo "Demo FAILED: the service holds '$(service_zones)', expected '$expected'." >&2
            exit 1
        fi
        sleep 0.1
    done
    echo "service holds: $(service_zones) (after $(($(date +%s%3N) - start)) ms)"
}
echo "service holds: $(service_zones)"

step "Writing a zones file (three master zones, one slave, one commented out)"
ZONES="$WORK/named.conf"
write_zones() {
    {
        printf 'options {\n    directory "%s";\n};\n\n' "$WORK"
        printf '// zone "commented.example" { type master; file "db.commented"; };\n\n'
        for zone in "$@"; do
            printf 'zone "%s" {\n    type master;\n    file "/etc/bind/db.%s";\n};\n\n' "$zone" "$zone"
        done
        printf 'zone "secondary.example" {\n    type slave;\n    masters { 192.0.2.1; };\n};\n'
    } >"$ZONES.tmp"
    mv "$ZONES.tmp" "$ZONES"
    echo "master zones in the file: $*"
}
write_zones a.example b.example c.example

cat >"$WORK/vantrel.conf" <<CONF
// Demo configuration: foreground, a pass every 10 minutes; changes of the
// zones file arrive through the file watch about a second after they are
// written, deletions once a zone has been missing for two seconds and
// BIND's checker has accepted the configuration (here the demo's file).
ZONES_FILE=$ZONES
NAMED_CONF=$ZONES
SERVER_HOSTNAME=$HOSTPORT
TOKEN=$TOKEN
CA_FILE=$WORK/certs/ca.pem
UPDATE_INTERVAL=600
DELETE_GRACE=2
LOG_LEVEL=DEBUG
CONF
chmod 600 "$WORK/vantrel.conf"

step "Before the first start: the plan (nothing is changed at the service)"
set +e
"$AGENT" --plan -c "$WORK/vantrel.conf" 2>/dev/null | sed 's/^/    plan | /'
plan_status=${PIPESTATUS[0]}
set -e
echo "plan exit status: $plan_status (2: a start would change something)"

step "Starting the agent in the foreground (its lines are marked 'agent |')"
"$AGENT" -c "$WORK/vantrel.conf" > >(sed -u 's/^/    agent | /') &
AGENT_PID=$!
await_service a.example b.example c.example
step "The start-up reconciliation inserted the masters and, after the grace period, removed stale.example"

step "Adding d.example to the zones file (the interval is 10 minutes: the watch brings it)"
write_zones a.example b.example c.example d.example
await_service a.example b.example c.example d.example

step "Removing b.example from the zones file (deleted once missing for two seconds)"
write_zones a.example c.example d.example
await_service a.example c.example d.example

step "Stopping the agent with SIGTERM"
kill -TERM "$AGENT_PID"
status=0
wait "$AGENT_PID" || status=$?
AGENT_PID=""
echo "agent exited with status $status"
[ "$status" -eq 0 ] || exit 1

step "Done: the service followed the zones file: $(service_zones)."
