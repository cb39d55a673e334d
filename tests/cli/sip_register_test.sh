#!/usr/bin/env bash
# tvfax sip register against the registrar of tools/sip_fax_peer on
# 127.0.0.1, which challenges with digest authentication: the right password
# registers, a wrong one, none, or one in a file others may read is refused
# in plain words, and a registrar that does not answer is named within the
# time-out. A SIP line with Register=1 registers when its port opens, and
# the password appears in none of what it writes.
#   sip_register_test.sh TVFAX SIP_FAX_PEER
set -euo pipefail
tvfax=$1
peer=$2
work=$(mktemp -d)
peer_pid=
cleanup() {
  if [ -n "$peer_pid" ]; then kill "$peer_pid" 2>/dev/null || true; wait "$peer_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

"$peer" --answer unused.tif --registrar tess:s3cret-pw --timeout 60 > peer.out 2> peer.err &
peer_pid=$!
for _ in $(seq 50); do
  grep -q '^ready' peer.out 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^ready //p' peer.out)
[ -n "$port" ] || fail "the registrar did not come up: $(cat peer.err)"
mkdir home
printf '[SIP]\nAccount=sip:tess@127.0.0.1:%s\nRegister=1\nLocalPort=0\n' "$port" > home/TV.INI

register() { # register EXPECTED_STATUS EXPECTED_TEXT
  local status=0
  "$tvfax" sip register --home home --timeout 5 > register.out 2>&1 || status=$?
  [ "$status" -eq "$1" ] || fail "exit $status, not $1: $(cat register.out)"
  grep -qF "$2" register.out || fail "not \"$2\": $(cat register.out)"
}

register 1 "refused: 401 Unauthorized (no password for [SIP]: put it in $work/home/SIP.PWD)"
echo s3cret-pw > home/SIP.PWD
chmod 644 home/SIP.PWD
register 1 "SIP.PWD may be read by others: it must be yours alone (chmod 600)"
chmod 600 home/SIP.PWD
register 0 "registered with 127.0.0.1:$port: 200 OK"
echo wrong > home/SIP.PWD
register 1 "the registrar 127.0.0.1:$port refused: 403 Forbidden"

echo s3cret-pw > home/SIP.PWD
"$tvfax" at --home home --device sip --timeout 5 AT > at.out || fail "the line: $(cat at.out)"
grep -q 'REGISTER: 200 OK' home/SIP.LOG || fail "the line did not register: $(cat home/SIP.LOG)"
! grep -rq s3cret-pw home/SIP.LOG at.out register.out || fail "the password was written out"

printf '[SIP]\nAccount=sip:tess@127.0.0.1:9\n' > home/TV.INI
start=$SECONDS
"$tvfax" sip register --home home --timeout 2 > register.out 2>&1 && fail "registered with no registrar"
grep -qx "tvfax: no answer from the registrar 127.0.0.1:9 within 2 s" register.out || fail "$(cat register.out)"
[ $((SECONDS - start)) -le 4 ] || fail "took $((SECONDS - start)) s"
echo "registered with the right password only, and said why not in plain words"
