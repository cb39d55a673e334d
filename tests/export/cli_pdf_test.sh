#!/usr/bin/env bash
# tvfax pdf at the process level, read back with poppler's tools and qpdf:
# cli_pdf_test.sh TVFAX
set -euo pipefail
tvfax=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
expect() { # expect PATTERN TEXT
  grep -qE -- "$1" <<<"$2" || fail "expected /$1/ in: $2"
}
# The page size pdfinfo gives for page $2 of $1, in whole points.
page_size() { pdfinfo -f "$2" -l "$2" "$1" | sed -n "s/^Page *$2 size: *\([0-9.]*\) x \([0-9.]*\) pts.*/\1 \2/p" |
  awk '{ printf "%d x %d", $1 + 0.5, $2 + 0.5 }'; }
# A PBM picture's pixels as plain text, whatever header spelling it has.
pixels() { pnmtoplainpnm "$1" | tail -n +3 | tr -d ' \n'; }

# Text and a photo (dithered), at standard and fine resolution.
for i in $(seq 1 40); do echo "Line $i: the quick brown fox jumps over the lazy dog 0123456789"; done > text.txt
pgmramp -ellipse 800 500 > photo.pgm
ppmtobmp photo.pgm > photo.bmp 2>/dev/null
"$tvfax" convert text.txt standard.apf >/dev/null
"$tvfax" convert --fine photo.bmp photo.apf >/dev/null
"$tvfax" append standard.apf photo.apf >/dev/null
"$tvfax" convert --fine text.txt fine.apf >/dev/null
"$tvfax" append fine.apf photo.apf >/dev/null
"$tvfax" convert photo.bmp photo.apf >/dev/null
"$tvfax" append fine.apf photo.apf >/dev/null

for fax in standard fine; do
  pages=3; [ $fax = fine ] || pages=2
  expect "^$fax.pdf: $pages pages$" "$("$tvfax" pdf --title "Fax $fax" --author 'Müller & Söhne <Fax>' --subject 'Quarterly figures' --paper a4 $fax.apf $fax.pdf)"
  qpdf --check $fax.pdf >/dev/null || fail "qpdf --check $fax.pdf"
  # Every image is the page itself, embedded as CCITT data.
  [ "$(pdfimages -list $fax.pdf | awk 'NR > 2 { print $9 }' | sort -u)" = ccitt ] || fail "$fax: not CCITT"
  pdfimages $fax.pdf image
  for page in $(seq 1 $pages); do
    "$tvfax" render --no-autoscale $fax.apf "$page" page.pbm >/dev/null
    image=$(printf 'image-%03d.pbm' $((page - 1)))
    [ "$(pixels "$image")" = "$(pixels page.pbm)" ] || fail "$fax page $page differs from the fax"
  done
  rm -f image-*.pbm
  info=$(pdfinfo $fax.pdf)
  expect "^Title: +Fax $fax$" "$info"
  expect '^Subject: +Quarterly figures$' "$info"
  expect '^Author: +Müller & Söhne <Fax>$' "$info"
  expect '^CreationDate: +[A-Z][a-z]{2} ' "$info"
  xmp=$(pdfinfo -meta $fax.pdf)
  expect "<rdf:li xml:lang=\"x-default\">Fax $fax</rdf:li>" "$xmp"
  expect "<rdf:li>Müller &amp; Söhne &lt;Fax&gt;</rdf:li>" "$xmp"
done

# A page is 1728 pixels at 204 an inch across (610 points: wider than A4's
# 595), its lines at 98 or 196 an inch; a short page sits on a sheet of the
# paper chosen.
expect '^610 x 842$' "$(page_size standard.pdf 1)"
"$tvfax" pdf --paper letter standard.apf letter.pdf >/dev/null
expect '^612 x 792$' "$(page_size letter.pdf 1)"
rows=$("$tvfax" render --no-autoscale standard.apf 1 page.pbm | sed 's/.* x //')
expect "^ +1 +0 +image +1728 +$rows .* +204 +98 " "$(pdfimages -list letter.pdf)"
# A long page (200 lines of text at fine resolution) gets a sheet of its own length.
seq 1 200 > long.txt
"$tvfax" convert --fine --lines 9000 long.txt long.apf >/dev/null
rows=$("$tvfax" render --no-autoscale long.apf 1 page.pbm | sed 's/.* x //')
[ "$rows" -gt 2292 ] || fail "the long page has only $rows lines"
"$tvfax" pdf long.apf long.pdf >/dev/null
expect "^610 x $(awk -v r="$rows" 'BEGIN { printf "%d", r * 72 / 196 + 0.5 }')$" "$(page_size long.pdf 1)"

# --ocr: Tesseract's words lie invisibly over the page; pdftotext finds at
# least 90 % of the letter's words, and the image stays the page.
cat > letter.txt <<'END'
Dear customer,

Thank you for your order of twelve boxes of printer paper. The goods
will be shipped on Monday morning by our usual carrier. Please check
the delivery against the enclosed list and tell us within seven days
if anything is missing or damaged.

Yours sincerely,
Margaret Holloway, Sales Department
END
"$tvfax" convert letter.txt letter.apf >/dev/null
"$tvfax" pdf --ocr eng letter.apf ocr.pdf >/dev/null
pdftotext ocr.pdf ocr.txt
words=$(tr -cs 'A-Za-z' '\n' < letter.txt | grep -c .)
found=$(tr -cs 'A-Za-z' '\n' < letter.txt | grep . | while read -r word; do grep -qw -- "$word" ocr.txt && echo; done | wc -l)
[ $((found * 10)) -ge $((words * 9)) ] || fail "pdftotext found $found of $words words"
pdfimages ocr.pdf image
"$tvfax" render --no-autoscale letter.apf 1 page.pbm >/dev/null
[ "$(pixels image-000.pbm)" = "$(pixels page.pbm)" ] || fail "the OCR layer changed the image"
rm -f image-*.pbm
out=$("$tvfax" pdf --ocr xx letter.apf x.pdf 2>&1) && fail "--ocr xx made a PDF"
expect 'no data for the languages xx' "$out"

# A file cut inside its second page, and one with bytes overwritten inside
# its first: what decodes is kept, and the damage said.
head -c "$(($(stat -c %s standard.apf) - 3000))" standard.apf > cut.apf
cp standard.apf spoilt.apf
printf '\x55\xaa\x13\x77\x01\x80' | dd of=spoilt.apf bs=1 seek=5000 conv=notrunc 2>/dev/null
for bad in cut:2 spoilt:1; do
  out=$("$tvfax" pdf ${bad%:*}.apf damaged.pdf 2>&1) || fail "${bad%:*}.apf gave no PDF: $out"
  expect "^tvfax: ${bad%:*}.apf: damaged page ${bad#*:};" "$out"
  expect '^Pages: +2$' "$(pdfinfo damaged.pdf)"
done

# Files that are no fax, and PDFs that cannot be written: a clear message,
# exit status 1, and an older PDF of that name as it was.
echo OLD > keep.pdf
: > empty.apf
echo 'not a fax file, but long enough to hold the 64-byte header of one......' > text.apf
for bad in empty.apf text.apf missing.apf; do
  if out=$("$tvfax" pdf "$bad" keep.pdf 2>&1); then fail "$bad made a PDF"; fi
  expect "^tvfax: $bad: " "$out"
  [ "$(cat keep.pdf)" = OLD ] || fail "$bad replaced the PDF"
done
for target in no-folder/out.pdf keep.pdf/out.pdf; do
  if out=$("$tvfax" pdf standard.apf "$target" 2>&1); then fail "wrote $target"; fi
  expect "^tvfax: $target: " "$out"
done
[ "$(cat keep.pdf)" = OLD ] || fail "keep.pdf changed"
[ -z "$(ls -A | grep '^\.')" ] || fail "a half-written file was left: $(ls -A)"
echo "cli_pdf_test: passed"
