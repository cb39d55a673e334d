#!/usr/bin/env bash
# Rows lost to lost datagrams over T.38: tools/sip_fax_peer calls `tvfax
# receive` on a SIP line of this machine (127.0.0.1 only) and sends three
# standard pages, losing a seeded share of the datagrams each way, both ends
# repeating each packet in the datagrams after it REDUNDANCY times. Prints
# one line per loss and redundancy: the damaged rows tvfax named, or how the
# call ended. The line runs at twice the clock's pace.
#   bench/sip_loss_rows.sh BUILD_DIR [SEED]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
seed=${2:-9}
tvfax=$build/cli/tvfax
peer=$build/tools/sip_fax_peer/sip_fax_peer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "sip_loss_rows: $*" >&2; exit 1; }
source "$here/../tests/cli/fax_pages.sh"
make_call_pages
mkdir home

printf '%-6s %-11s %s\n' loss redundancy result
for loss in 1 5 10; do
  for redundancy in 0 2 3; do
    rm -f home/SIP.LOG FAX0001.APF
    printf '[SIP]\nAccount=sip:bench@127.0.0.1\nRegister=0\nLocalPort=0\nSpeed=2\nRedundancy=%s\n' "$redundancy" > home/TV.INI
    timeout 120 "$tvfax" receive --home home --device sip --class 1 --dir "$work" --one > receive.out 2>&1 &
    receiver=$!
    for _ in $(seq 50); do
      grep -q ' SIP on 127.0.0.1:' home/SIP.LOG 2>/dev/null && break
      sleep 0.1
    done
    port=$(sed -n 's/.* SIP on 127\.0\.0\.1:\([0-9]*\) .*/\1/p' home/SIP.LOG)
    [ -n "$port" ] || fail "the SIP line did not come up: $(cat receive.out)"
    timeout 120 "$peer" --call "bench@127.0.0.1:$port" --send call.tif --speed 2 --timeout 110 \
      --loss "$loss" --seed "$seed" --redundancy "$redundancy" > peer.out 2>&1 || true
    wait "$receiver" || true
    received=$(grep '^Received .* pages ' receive.out || true)
    if [ -z "$received" ]; then
      result="failed: $(tail -n 1 receive.out)"
    elif [[ $received == *"damaged row"* ]]; then
      result="pages ${received#* pages }"
      result="${result%% from *}, ${received##*MR, }"
    else
      result="pages ${received#* pages }"
      result="${result%% from *}, no damaged row"
    fi
    printf '%-6s %-11s %s\n' "$loss%" "$redundancy" "$result"
  done
done
