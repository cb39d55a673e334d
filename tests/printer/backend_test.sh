#!/usr/bin/env bash
# The fax printer's backend run exactly as CUPS runs it: documents become a
# complete .APF/.ZPD pair in the job owner's SEND folder, owned by them, with
# every page row as Ghostscript's own black-and-white render; bad jobs end
# with an ERROR message and leave nothing behind.
set -u
backend=$1 tvfax=$2 ppd=$3
. "$(dirname "$0")/printer_test_lib.sh"
local_job="job-originating-host-name=localhost"

# compare_pages APF PDF LINES: every page of the fax equals Ghostscript's
# 1-bit render of the PDF at fine resolution, 1728 pixels across; prints the
# isolated black pixels (grey-edge speckle) of each page.
compare_pages() {
  local apf=$1 pdf=$2 lines=$3 pages
  rm -f "$work"/ref*.pbm "$work"/fax*.pbm
  pages=$("$tvfax" info "$apf" | sed -n 's/^Pages: //p')
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pbmraw -r204x196 -g1728x"$lines" -dFIXEDMEDIA -dFitPage \
    -dTextAlphaBits=1 -dGraphicsAlphaBits=1 -sOutputFile="$work/ref%d.pbm" "$pdf"
  [ "$pages" = "$(ls "$work"/ref*.pbm | wc -l)" ] || fail "$apf has $pages pages, $pdf more or fewer"
  for ((p = 1; p <= pages; p++)); do
    "$tvfax" render --no-autoscale "$apf" "$p" "$work/fax$p.pbm" >/dev/null || fail "cannot render page $p"
  done
  python3 - "$work" "$pages" <<'PY' || fail "pages of $apf differ from Ghostscript's render"
import sys
def pbm(path):
    data = open(path, 'rb').read()
    fields, pos = [], 0
    while len(fields) < 3:
        while data[pos:pos+1].isspace(): pos += 1
        if data[pos:pos+1] == b'#':
            pos = data.index(b'\n', pos)
            continue
        end = pos
        while not data[end:end+1].isspace(): end += 1
        fields.append(data[pos:end]); pos = end
    w, h = int(fields[1]), int(fields[2])
    return w, h, data[pos+1:]
work, pages = sys.argv[1], int(sys.argv[2])
for p in range(1, pages + 1):
    w, h, fax = pbm(f'{work}/fax{p}.pbm')
    rw, rh, ref = pbm(f'{work}/ref{p}.pbm')
    if (w, h) != (rw, rh) or fax != ref:
        rows = [r for r in range(min(h, rh)) if fax[r*216:(r+1)*216] != ref[r*216:(r+1)*216]]
        print(f'page {p}: {w}x{h} against {rw}x{rh}, {len(rows)} rows differ')
        sys.exit(1)
    # Black pixels with no black neighbour: anti-aliasing speckle.
    rows = [int.from_bytes(fax[r*216:(r+1)*216], 'big') for r in range(h)]
    alone = 0
    for r in range(1, h - 1):
        up, row, down = rows[r-1], rows[r], rows[r+1]
        near = up | down | ((up | row | down) << 1) | ((up | row | down) >> 1)
        alone += bin(row & ~near).count('1')
    print(f'page {p}: {h} rows equal, {alone} isolated pixels')
PY
}

# A good job: text, a ruled table and a photograph on A4, the table again
# on Letter; the number and recipient as job options.
make_pdf text a4 "$text_page"
make_pdf letter letter "$table_page"
make_pdf mixed a4 "$text_page $table_page $photo_page"
run_backend "$backend" tvprint "Quarterly report" "$local_job fax-number=555-0123 recipient=Ann\\ Smith" \
  "$work/mixed.pdf" || fail "the job failed: $(cat "$work/log")"
apf=$(ls "$send"/*.APF) && [ -f "${apf%.APF}.ZPD" ] || fail "no pair in SEND: $(ls "$send")"
[ "$(stat -c %U "$apf")" = tvprint ] && [ "$(stat -c %U "${apf%.APF}.ZPD")" = tvprint ] || fail "the pair is not tvprint's"
[ "$(cat "${apf%.APF}.ZPD")" = $'555-0123\r\nAnn Smith\r\nQuarterly report\r' ] || fail "description: $(cat -A "${apf%.APF}.ZPD")"
grep -q "^INFO: The fax .* (3 pages)" "$work/log" || fail "no page count in the job log: $(cat "$work/log")"
compare_pages "$apf" "$work/mixed.pdf" 2292 >"$work/pages" || exit 1
cat "$work/pages"
# Text and rules come out with clean edges: no lone pixels on the first two pages.
grep -Eq '^page 1: .* 0 isolated' "$work/pages" && grep -Eq '^page 2: .* 0 isolated' "$work/pages" ||
  fail "grey-edge speckle on text"

rm -f "$send"/*
run_backend "$backend" tvprint "Letter" "$local_job PageSize=Letter" "$work/letter.pdf" || fail "letter: $(cat "$work/log")"
compare_pages "$send"/*.APF "$work/letter.pdf" 2156 || exit 1

# A title that tries to leave its line or the folder is only the subject.
rm -f "$send"/*
run_backend "$backend" tvprint $'../../x\n/etc/passwd\r..' "$local_job" "$work/text.pdf" || fail "odd title: $(cat "$work/log")"
[ "$(sed -n 3p "$send"/*.ZPD)" = $'../../x /etc/passwd ..\r' ] && [ "$(wc -l <"$send"/*.ZPD)" = 3 ] ||
  fail "title lines: $(cat -A "$send"/*.ZPD)"
[ "$(ls "$send" | wc -l)" = 2 ] || fail "more than the pair: $(ls "$send")"

# A hostile document writes nowhere, not even in /tmp (where Ghostscript
# keeps its temporary files unless given a folder of its own).
pwned=/tmp/tv-printer-pwned-$$
printf '%%!PS\n{ (%s) (w) file closefile } stopped pop showpage\n' "$pwned" >"$work/hostile.ps"
run_backend "$backend" tvprint t "$local_job" "$work/hostile.ps" || fail "hostile document: $(cat "$work/log")"
[ ! -e "$pwned" ] || { rm -f "$pwned"; fail "the job's document wrote $pwned"; }
rm -f "$send"/*

# Bad jobs: each ends with an ERROR line and leaves SEND as it was.
printf '%%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 9 0 R >>\nendobj\ngarbage\n' >"$work/corrupt.pdf"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOwnerPassword=owner -sUserPassword=secret \
  -sOutputFile="$work/locked.pdf" "$work/text.ps"
printf '%%!PS\n{ 1 pop } loop\n' >"$work/endless.ps"
printf '%%!PS\n/Times-Roman findfont 20 scalefont setfont\n1 1 1000 { 100 400 moveto 20 string cvs show showpage } for\n' \
  >"$work/thousand.ps"
expect_refused() {  # WHAT MESSAGE-PATTERN backend-arguments...
  local what=$1 pattern=$2 before
  shift 2
  before=$(ls "$send")
  run_backend "$@" && fail "$what: the job did not fail"
  grep -Eq "^ERROR: .*$pattern" "$work/log" || fail "$what: $(cat "$work/log")"
  [ "$(ls "$send")" = "$before" ] || fail "$what left files in SEND: $(ls "$send")"
  echo "$what: $(grep '^ERROR' "$work/log")"
}
rm -f "$send"/*
expect_refused "corrupt PDF" "." "$backend" tvprint t "$local_job" "$work/corrupt.pdf"
expect_refused "encrypted PDF" "password" "$backend" tvprint t "$local_job" "$work/locked.pdf"
expect_refused "endless PostScript" "." "$backend" tvprint t "$local_job" "$work/endless.ps" \
  TESSIVANE_RENDER_IDLE_SECONDS=2
expect_refused "1000 pages" "500" "$backend" tvprint t "$local_job" "$work/thousand.ps"
expect_refused "unknown user" "no user" "$backend" nosuchuser4711 t "$local_job" "$work/text.pdf"
expect_refused "user without Tessivane" "no Tessivane outgoing folder" "$backend" nobody t "$local_job" "$work/text.pdf"
expect_refused "remote job" "this computer" "$backend" tvprint t "job-originating-host-name=10.0.0.7" "$work/text.pdf"
expect_refused "root's job" "root" "$backend" root t "$local_job" "$work/text.pdf"
# Job data that CUPS would read as a command of its own stays in one line.
expect_refused "hostile user name" "no user" "$backend" $'nosuch\nSTATE: +tv-hostile' t "$local_job" "$work/text.pdf"
[ "$(wc -l <"$work/log")" = 1 ] || fail "job data made lines of their own: $(cat "$work/log")"
# A folder that others can write to could get a link under the name of the
# next fax (here, to a file of the owner's): SEND and the folder it is in
# are refused then, and the link's target is left alone.
install -o tvprint -g tvprint -m 600 /dev/null "$work/victim"
ln -s "$work/victim" "$send/PRN00000.ZPD"
for folder in "$send" "$work"; do
  chmod o+w "$folder"
  expect_refused "$folder writable by others" "can be written by other users" \
    "$backend" tvprint t "$local_job" "$work/text.pdf"
  chmod o-w "$folder"
done
[ ! -s "$work/victim" ] || fail "the planted link was written through"
rm "$send/PRN00000.ZPD"
# The owner's own group (one per user, no other members) is no one else.
chmod g+w "$send"
run_backend "$backend" tvprint t "$local_job" "$work/text.pdf" || fail "SEND writable by its group: $(cat "$work/log")"
chmod g-w "$send"
rm -f "$send"/*
ln -s "$send" "$work/link"
point_tvpd_at "$work/link"
expect_refused "SEND as a link" "symbolic link" "$backend" tvprint t "$local_job" "$work/text.pdf"

# A full disk: SEND on a small file system of its own.
full=$work/full
install -d -o tvprint -g tvprint "$full"
if mount -t tmpfs -o size=48k,mode=755 tmpfs "$full" 2>/dev/null; then
  chown tvprint: "$full"
  point_tvpd_at "$full"
  expect_refused "full disk" "." "$backend" tvprint t "$local_job" "$work/mixed.pdf"
  [ -z "$(ls -A "$full")" ] || fail "the full disk keeps $(ls -A "$full")"
  umount "$full"
else
  echo "full disk: not tried (no tmpfs can be mounted here)"
fi

# Nothing was written anywhere but SEND: no other file of the user's.
[ -z "$(find "$home" -newer "$work/start" ! -type d ! -name TVPD.INI)" ] || fail "files in $home"
echo "all backend jobs behaved"
