#!/bin/bash
# Vorpa against real servers on loopback (dovecot, aiosmtpd, exim, OpenSMTPD,
# INN, with and without TLS and logins): installs them when missing, starts
# them fresh, seeds them, runs checks.py and stops them on every way out.
#   VORPA_SERVERS  the servers folder (default <repo>/../shared/servers)
#   VORPA          the program (default <repo>/build/vorpa)
set -uo pipefail
REPO=$(cd "$(dirname "$0")/../.." && pwd)
SERVERS=${VORPA_SERVERS:-$REPO/../shared/servers}
VORPA=${VORPA:-$REPO/build/vorpa}
PY=/usr/bin/python3
export INTEROP_WORK=${INTEROP_WORK:-/tmp/interop}

skip() { echo "interop: skipped: $*"; exit 0; }
fail() { echo "interop: FAIL: $*"; exit 1; }
# runs a harness script, bounded; its output only when it fails
quietly() { local secs=$1 out; shift
  out=$(timeout -k 5 "$secs" "$@" 2>&1) || { echo "$out" | tail -20; return 1; }
}
installed() {
  [ -x /usr/sbin/dovecot ] && [ -x /usr/lib/news/bin/nnrpd ] && [ -x /usr/sbin/exim4 ] &&
    $PY -c 'import aiosmtpd' 2>/dev/null &&
    ls "${INTEROP_VENDOR:-/var/cache/interop-servers}"/opensmtpd_*.deb >/dev/null 2>&1
}

[ -d "$SERVERS" ] || skip "no servers folder at $SERVERS (set VORPA_SERVERS)"
[ "$(id -u)" = 0 ] || skip "not root (the servers must be started as root)"
[ -x "$VORPA" ] || fail "$VORPA missing (make build first)"
[ -x "$PY" ] || fail "$PY missing"

installed || quietly 300 "$SERVERS/setup.sh" || fail "setup.sh could not install the servers"
trap 'quietly 60 "$SERVERS/stop.sh"' EXIT
trap 'exit 130' INT TERM
# a busy port is mostly the servers left running by an earlier run
if ! timeout -k 5 60 "$SERVERS/start.sh" >/dev/null 2>&1; then
  quietly 60 "$SERVERS/stop.sh"
  quietly 60 "$SERVERS/start.sh" || fail "start.sh failed"
fi
quietly 60 "$SERVERS/seed.sh" -m 5 -a 5 -b 5 -s 3000 || fail "seed.sh failed"

timeout -k 5 150 $PY "$(dirname "$0")/checks.py" "$VORPA" "$SERVERS"
rc=$?
[ $rc = 124 ] && echo "interop: FAIL: the checks took longer than 150 s"
exit $rc
