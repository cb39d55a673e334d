#!/usr/bin/env bash
# tvfax send and receive over a SIP line (--device sip, the account in
# [SIP] of TV.INI, no registration) against tools/sip_fax_peer, a spandsp
# fax machine on SIP, all on 127.0.0.1: over T.38, and over G.711 with a far
# end that refuses T.38 with 488 (the line calls again with G.711 alone),
# and over calls that start on G.711 and move to T.38: by the far end's
# re-INVITE, and by ours once the line hears the far end's fax machine (its
# CNG when it calls, its V.21 preamble when it answers; a far end that
# refuses with 488 or 606 keeps the fax on G.711). The moved calls lose 10%
# of their datagrams each way (the redundancy of 3 recovers them) and have
# their session refreshed in the middle of a page, by re-INVITE or UPDATE. Every page arrives pixel for
# pixel in 2-D coding (MR: no error correction over a SIP line), at its own
# resolution, and tvfax and the line's log name the medium
# the call took. A far end that answers 486 is BUSY to the modem; one that
# hangs up in the middle of a page or in training ends the call with a
# failure within seconds; a call that loses 30% of its datagrams each way
# ends within bounds.
#   sip_line_test.sh TVFAX SIP_FAX_PEER send|receive|failures
set -euo pipefail
source "$(dirname "$0")/fax_pages.sh"
tvfax=$1
peer=$2
part=$3
work=$(mktemp -d)
peer_pid=
receive_pid=
cleanup() {
  for pid in $peer_pid $receive_pid; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

logged() { # logged TEXT...: the line's log says each
  local text
  for text in "$@"; do
    grep -qF "$text" home/SIP.LOG || fail "the log lacks \"$text\": $(cat home/SIP.LOG)"
  done
}

# use_account DOMAIN LOCAL_PORT: our account calls DOMAIN; the lines run at
# twice the clock's pace.
use_account() {
  mkdir -p home
  rm -f home/SIP.LOG
  printf '[SIP]\nAccount=sip:tess@%s\nRegister=0\nLocalPort=%s\nSpeed=2\n' "$1" "$2" > home/TV.INI
}

# answering_peer PEER_OPTION...: a far end that answers into received.tif,
# and our account calling it.
answering_peer() {
  rm -f received.tif
  "$peer" --answer received.tif "$@" > peer.out 2> peer.err &
  peer_pid=$!
  for _ in $(seq 100); do
    grep -q '^ready' peer.out 2>/dev/null && break
    sleep 0.1
  done
  local port
  port=$(sed -n 's/^ready //p' peer.out)
  [ -n "$port" ] || fail "the far end did not come up: $(cat peer.out peer.err)"
  use_account "127.0.0.1:$port" 0
}

send_over() { # send_over MEDIUM [PEER OPTION...]
  local medium=$1
  shift
  answering_peer --ident "SIP PEER" --speed 2 --timeout 100 "$@"

  timeout 100 "$tvfax" send --home home --device sip --class 1 --station "TESS TX" --header 'TEST $P/$N' \
    5551234 letter.apf > send.out || fail "tvfax send over $medium failed: $(tail -3 send.out)"
  tail -n 1 send.out | grep -q "Sent 3 pages to \"SIP PEER\" at 14400 bit/s over $medium, MR\$" || fail "last line: $(tail -n 1 send.out)"
  wait "$peer_pid" || true
  peer_pid=
  grep -q "^result 0 pages 3 medium $medium remote \"TESS TX\" " peer.out || fail "far end over $medium: $(cat peer.out)"
  grep -q "medium $medium to 127.0.0.1:" home/SIP.LOG || fail "log over $medium: $(cat home/SIP.LOG)"
  if [ "$medium" = G.711 ]; then
    grep -q "488 to our offer with T.38: calling again with G.711 alone" home/SIP.LOG || fail "no 488: $(cat home/SIP.LOG)"
  fi
  check_sent_pages letter.apf received.tif 3 "over $medium"
}

# receiving: tvfax receives one call in the background; sets receive_pid
# and port, the line's SIP port (a free one, which its log names).
receiving() {
  rm -f FAX0001.APF
  use_account 127.0.0.1 0
  timeout 100 "$tvfax" receive --home home --device sip --class 1 --dir "$work" --one --station "TESS RX" \
    > receive.out &
  receive_pid=$!
  for _ in $(seq 50); do
    grep -q ' SIP on 127.0.0.1:' home/SIP.LOG 2>/dev/null && break
    sleep 0.1
  done
  port=$(sed -n 's/.* SIP on 127\.0\.0\.1:\([0-9]*\) .*/\1/p' home/SIP.LOG)
  [ -n "$port" ] || fail "the line did not come up: $(cat home/SIP.LOG receive.out)"
}

receive_over() { # receive_over MEDIUM [PEER OPTION...]
  local medium=$1
  shift
  receiving
  timeout 100 "$peer" --call "tess@127.0.0.1:$port" --send call.tif --ident "FAR END 42" --speed 2 --timeout 100 "$@" \
    > peer.out 2> peer.err || fail "far end over $medium: $(cat peer.out peer.err)"
  wait "$receive_pid" || fail "tvfax receive over $medium failed: $(cat receive.out)"
  receive_pid=
  grep -qx "Received $work/FAX0001.APF pages 3 from \"FAR END 42\" over $medium, MR" receive.out || fail "no fax: $(cat receive.out)"
  grep -q "^result 0 pages 3 medium $medium remote \"TESS RX\" " peer.out || fail "far end over $medium: $(cat peer.out)"
  check_received_pages FAX0001.APF "over $medium"
}

busy() {
  answering_peer --busy --timeout 30
  "$tvfax" at --home home --device sip --timeout 10 'AT+FCLASS=1' ATD5551234 > at.out || true
  grep -qx BUSY at.out || fail "no BUSY: $(cat at.out)"
  grep -q 'call ended: 486 Busy Here' home/SIP.LOG || fail "log: $(cat home/SIP.LOG)"
  kill "$peer_pid"
  wait "$peer_pid" || true
  peer_pid=
}

hang_up_in_page() {
  answering_peer --hang-up-after 20 --speed 2 --timeout 60
  local start=$SECONDS
  timeout 60 "$tvfax" send --home home --device sip --class 1 5551234 letter.apf > send.out &&
    fail "sent to a far end that hung up: $(cat send.out)"
  grep -q '^Sending page data: page' send.out || fail "hung up before any page: $(cat send.out)"
  tail -n 1 send.out | grep -q '^Failed: ' || fail "last line: $(tail -n 1 send.out)"
  # 10 s of the clock into the call, and T.30's 3 s wait for an answer after it.
  [ $((SECONDS - start)) -le 25 ] || fail "the send took $((SECONDS - start)) s to give up"
  grep -q 'call ended: the far end hung up' home/SIP.LOG || fail "log: $(cat home/SIP.LOG)"
  wait "$peer_pid" || true
  peer_pid=
}

# A caller that hangs up in training: the modem says NO CARRIER and the
# receive ends within seconds with what happened.
hang_up_in_training() {
  receiving
  timeout 30 "$peer" --call "tess@127.0.0.1:$port" --send call.tif --speed 2 --timeout 30 --hang-up-after 6 \
    > peer.out 2> peer.err || true
  local start=$SECONDS
  wait "$receive_pid" && fail "received from a far end that hung up: $(cat receive.out)"
  receive_pid=
  grep -qx 'Failed: Fax failed in mid-session' receive.out || fail "receive: $(cat receive.out)"
  [ $((SECONDS - start)) -le 10 ] || fail "the receive took $((SECONDS - start)) s to give up"
  logged 'call ended: the far end hung up'
}

# 30% of the datagrams lost each way: the send ends within bounds, failed
# with a message or with the pages the far end confirmed (spandsp's
# receiver confirms pages with some damaged rows).
lossy_send() {
  answering_peer --speed 4 --timeout 60 --loss 30 --seed 3
  local start=$SECONDS
  timeout 60 "$tvfax" send --home home --device sip --class 1 5551234 letter.apf > send.out || true
  [ $((SECONDS - start)) -le 40 ] || fail "the send took $((SECONDS - start)) s to end"
  wait "$peer_pid" || true
  peer_pid=
  tail -n 1 send.out | grep -Eq '^(Failed: |Sent 3 pages )' || fail "last line: $(tail -n 1 send.out)"
}

case $part in
  send)
    make_letter
    send_over G.711 --no-t38
    logged "heard the far end's V.21 preamble on G.711" "488 Not Acceptable Here to our re-INVITE to T.38: the fax goes on over G.711"
    send_over T.38 --reinvite
    # Our move to T.38, lost datagrams and a session refresh in the middle
    # of a page, one call.
    send_over T.38 --audio-first --loss 10 --seed 7 --refresh-after 20
    logged "heard the far end's V.21 preamble on G.711" "re-INVITE to T.38" "re-INVITE: the call stays on T.38"
    ;;
  receive)
    make_call_pages
    receive_over G.711 --no-t38 --refuse-with 606
    logged "heard the far end's CNG on G.711" "606 Not Acceptable to our re-INVITE to T.38: the fax goes on over G.711"
    receive_over T.38 --reinvite
    receive_over T.38 --audio-first --loss 10 --seed 11 --update-after 20
    logged "heard the far end's CNG on G.711" "re-INVITE to T.38" "UPDATE: the call stays on T.38"
    ;;
  failures)
    make_letter
    make_call_pages
    busy
    hang_up_in_page
    hang_up_in_training
    lossy_send
    ;;
  *) fail "no such part: $part" ;;
esac
echo "$part: passed"
