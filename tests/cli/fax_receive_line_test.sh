#!/usr/bin/env bash
# tvfax receive through the native serial layer against an independent T.30
# far end: the virtual fax line rings and sends a three-page TIFF; the pages
# of the APF file received must be the TIFF's pixel for pixel, and the
# caller's ID must arrive.
#   fax_receive_line_test.sh TVFAX VIRTUAL_FAX_LINE
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

make_call_pages

receive_with() { # receive_with CODING [LINE OPTION...]: CODING as the far end reports it
  local coding=$1 said
  shift
  said=$(coding_said "$coding")
  rm -f FAX*.APF history.his
  start_line --call call.tif --ident "FAR END 42" "$@"

  timeout 100 "$tvfax" receive --device "$work/modem" --class 1 --bps 14400 --dir "$work" --one --station "TESS RX" \
    --history "$work/history.his" > receive.out || fail "tvfax receive failed: $(cat receive.out)"

  grep -qx "Received $work/FAX0001.APF pages 3 from \"FAR END 42\"$said" receive.out || fail "no fax reported: $(cat receive.out)"
  [ "$(tail -n 1 receive.out)" = "Received 1 fax, 3 pages" ] || fail "last line: $(tail -n 1 receive.out)"
  grep -qx 'Getting page data: page 3, 14400 bit/s, remote "FAR END 42"' receive.out ||
    fail "no status line for page 3 at 14400: $(cat receive.out)"
  [ -z "$(uniq -d receive.out)" ] || fail "lines repeated: $(uniq -d receive.out)"
  # Asking for spoiled frames again is getting the page, not an error.
  ! grep -q "^Error sending page" receive.out || fail "a sender's status on the receiving side: $(cat receive.out)"

  check_received_pages FAX0001.APF
  # The receiver stores the caller's ID padded with blanks to 20 characters.
  "$tvfax" info FAX0001.APF | grep -q '^Station: FAR END 42 *$' || fail "station ID in the file"

  # The history file holds the start line, the end line (and the coding
  # beyond plain pages) and an empty line.
  [ "$(wc -l < history.his)" -eq $((${#said} ? 4 : 3)) ] || fail "history lines: $(cat -A history.his)"
  [ -z "$said" ] || grep -q "^  (${said#, })"$'\r'"\$" history.his || fail "history coding: $(cat -A history.his)"
  grep -q "^Receive $work/FAX0001.APF from FAR END 42 started at .*"$'\r'"\$" history.his || fail "history start"
  grep -q "^Receive finished OK at .*"$'\r'"\$" history.his || fail "history end"

  wait "$line_pid" || true
  line_pid=
  grep -q " coding $coding OK" line.out || fail "far end: $(cat line.out)"
}

receive_with MH
receive_with "MMR ECM" --ecm --2d --frame-loss 0.2
echo "received 3 pages pixel for pixel, MH and MMR with error correction through spoiled frames"
