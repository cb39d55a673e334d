#!/usr/bin/env bash
# tvfax send through the native serial layer against an independent T.30
# far end: the virtual fax line answers and stores the pages in a TIFF file.
# Sent at 9600 and 14400 bit/s, in one-dimensional and 2-D coding, with and
# without error correction (and with frames spoiled on the line), every page
# must arrive pixel for pixel below the header line and at its own
# resolution, and our station ID must reach the far end.
#   fax_send_line_test.sh TVFAX VIRTUAL_FAX_LINE
set -euo pipefail
source "$(dirname "$0")/fax_pages.sh"
tvfax=$1
line=$2
work=$(mktemp -d)
line_pid=
cleanup() {
  if [ -n "$line_pid" ]; then kill "$line_pid" 2>/dev/null || true; wait "$line_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

send_at() { # send_at BPS CODING [LINE OPTION...]: CODING as the far end reports it
  local bps=$1 coding=$2
  shift 2
  local said
  said=$(coding_said "$coding")
  rm -f received.tif page_*
  start_line --answer received.tif --ident "FAR END 9" "$@"

  local send=("$tvfax" send --device "$work/modem" --class 1 --bps "$bps" --station "TESS TX" --header 'TEST $P/$N'
    5551234 letter.apf)
  if [ "$bps" = 9600 ]; then
    timeout 100 "${send[@]}" > send.out || fail "tvfax send at $bps failed: $(tail -3 send.out)"
    grep -q "^Sending page data: page 3 of 3, $bps bit/s, remote \"FAR END 9\"\$" send.out ||
      fail "no status line for page 3 at $bps: $(cat send.out)"
    [ -z "$(uniq -d send.out)" ] || fail "lines repeated: $(uniq -d send.out)"
  else
    timeout 100 script -qec "$(printf '%q ' "${send[@]}")" /dev/null > send.out ||
      fail "tvfax send at $bps failed: $(tail -3 send.out)"
    grep -q $'\rSending page data: page 3 of 3 \[#*\.*\], '"$bps bit/s" send.out ||
      fail "no live line with a progress bar at $bps: $(cat -A send.out | tail -5)"
  fi
  tail -n 1 send.out | tr -d '\r' | grep -q "Sent 3 pages to \"FAR END 9\" at $bps bit/s$said\$" ||
    fail "last line: $(tail -n 1 send.out | cat -A)"
  wait "$line_pid" || true
  line_pid=
  grep -q "^result 0 pages 3 rate $bps starved [0-9]* of [0-9]* remote \"TESS TX\" dcn . call [0-9]* coding $coding OK" line.out ||
    fail "far end at $bps: $(cat line.out)"

  check_sent_pages letter.apf received.tif 3 "at $bps"
}

make_letter
send_at 9600 MH
send_at 14400 "MMR ECM" --ecm --2d --frame-loss 0.1
send_at 9600 MR --2d
echo "sent 3 pages at 9600 and 14400, MH, MMR with error correction and MR, pixel for pixel below the header"
