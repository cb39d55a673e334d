# Pages for the fax line tests, and their checks, shared by the scripts that
# send and receive through a line. Source it from the test's work folder;
# it needs $tvfax, $line, $work and a fail function.

height() { pnmfile "$1" | sed -E 's/.* by ([0-9]+).*/\1/'; }

# coding_said CODING: what tvfax adds to its last line for a call in CODING
# as the virtual line reports it ("MH", "MR", "MMR ECM" ...).
coding_said() {
  case "$1" in
    MH) echo "" ;;
    *ECM) echo ", ${1% ECM} with error correction" ;;
    *) echo ", $1" ;;
  esac
}

# start_line OPTION...: the virtual line ($line) on $work/modem at double
# speed, its report in line.out; waits until it is ready. Sets line_pid.
start_line() {
  "$line" --link "$work/modem" --speed 2 --timeout 100 "$@" > line.out 2> line.err &
  line_pid=$!
  for _ in $(seq 50); do
    grep -q '^ready' line.out 2>/dev/null && break
    sleep 0.1
  done
  grep -q '^ready' line.out || fail "the virtual line did not come up: $(cat line.err)"
}

# letter.apf: two standard pages and a fine one.
make_letter() {
  printf 'A letter through the line\nSecond line of the first page\n\fPage two\n' > letter.txt
  "$tvfax" convert letter.txt letter.apf > /dev/null
  printf 'A fine page\n' > fine.txt
  "$tvfax" convert --fine fine.txt fine.apf > /dev/null
  "$tvfax" append letter.apf fine.apf > /dev/null
}

# check_sent_pages SOURCE.apf RECEIVED.tif COUNT [LABEL]: the far end's TIFF
# holds COUNT pages, each the source page pixel for pixel below the header
# line and at its own resolution (the fine page went as a document of its
# own, with a new DCS).
check_sent_pages() {
  local apf=$1 tiff=$2 count=$3 label=${4:-}
  rm -f page_*.tif
  tiffsplit "$tiff" page_
  local n=0
  local yres=()
  for tif in page_*.tif; do
    n=$((n + 1))
    yres[$n]=$(tiffinfo "$tif" 2> /dev/null | sed -n 's/.*Resolution: [^,]*, *\([0-9.]*\).*/\1/p')
    tifftopnm "$tif" > "received$n.pbm" 2> /dev/null
    "$tvfax" render --no-autoscale "$apf" "$n" "source$n.pbm" > /dev/null
    local header=$(( $(height "received$n.pbm") - $(height "source$n.pbm") ))
    [ "$header" -gt 0 ] || fail "page $n $label has no header line"
    pamcut -top "$header" "received$n.pbm" | pnmtopnm -plain > body.txt
    pnmtopnm -plain "source$n.pbm" > source.txt
    cmp -s body.txt source.txt || fail "page $n $label differs below the header line"
  done
  [ "$n" -eq "$count" ] || fail "$n pages arrived $label"
  awk -v std="${yres[1]}" -v fine="${yres[3]}" 'BEGIN { exit !(fine > 1.5 * std) }' ||
    fail "page 3 $label arrived at ${yres[3]} lines per unit, page 1 at ${yres[1]}"
}

# call.tif: three pages of text for a far end to send, kept as
# call1.pbm .. call3.pbm.
make_call_pages() {
  for page in 1 2 3; do
    pbmtext "Page $page of the line test" | pnmscale 3 2>/dev/null | pgmtopbm -threshold 2>/dev/null |
      pnmpad -white -width 1728 -height 1100 > "call$page.pbm"
    pnmtotiff -g3 -xresolution 204 -yresolution 98 "call$page.pbm" > "call$page.tif" 2>/dev/null
  done
  tiffcp call1.tif call2.tif call3.tif call.tif
}

# check_received_pages RECEIVED.apf [LABEL]: its pages are call.tif's pixel
# for pixel.
check_received_pages() {
  for page in 1 2 3; do
    "$tvfax" render --no-autoscale "$1" "$page" "got$page.pbm" > /dev/null
    cmp -s "got$page.pbm" "call$page.pbm" || fail "page $page ${2:-} differs from the TIFF"
  done
}
