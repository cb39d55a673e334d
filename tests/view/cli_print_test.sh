#!/usr/bin/env bash
# tvfax print at the process level, into PDF files: cli_print_test.sh TVFAX
set -euo pipefail
tvfax=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Printers of the machine stay out of it.
export CUPS_SERVER=$work/no-scheduler.sock

fail() { echo "FAIL: $*" >&2; exit 1; }
expect() { # expect PATTERN TEXT
  grep -qE -- "$1" <<<"$2" || fail "expected /$1/ in: $2"
}
pages() { pdfinfo "$1" | sed -n 's/^Pages: *//p'; }

printf 'First page\n\fSecond page\n\fThird page\n' > letter.txt
"$tvfax" convert --fine letter.txt letter.apf >/dev/null
printf 'Wide\n' > wide.txt
"$tvfax" convert --wide wide.txt wide.apf >/dev/null
"$tvfax" append letter.apf wide.apf >/dev/null  # four pages, the last one wider

"$tvfax" print --pdf all.pdf --log print.log letter.apf 2>/dev/null
[ "$(pages all.pdf)" -eq 4 ] || fail "4 pages expected"
expect 'FILE: letter\.apf' "$(pdftotext -f 1 -l 1 all.pdf -)"
expect 'PAGE: 4 of 4' "$(pdftotext -f 4 -l 4 all.pdf -)"
expect '^Printing letter\.apf started at ' "$(sed -n 1p print.log)"
expect '^Printing letter\.apf finished at ' "$(sed -n 2p print.log)"
[ -z "$(sed -n 3p print.log)" ] || fail "an empty line ends the job"

"$tvfax" print --pdf some.pdf --pages 2-3 --header 'Sent $D' --footer '' letter.apf 2>/dev/null
[ "$(pages some.pdf)" -eq 2 ] || fail "--pages 2-3"
text=$(pdftotext some.pdf -)
expect 'Sent [0-9]' "$text"
grep -q 'PAGE:' <<<"$text" && fail "the footer was switched off"
"$tvfax" print --pdf four.pdf --four-up letter.apf 2>/dev/null
[ "$(pages four.pdf)" -eq 1 ] || fail "four up"
"$tvfax" print --pdf two.pdf --four-up --landscape letter.apf 2>/dev/null
[ "$(pages two.pdf)" -eq 2 ] || fail "two up in landscape"
expect '842 x 595' "$(pdfinfo two.pdf)"

# Damaged and foreign files: a clear message, exit status 1, and no PDF;
# an older PDF of the same name stays as it was.
echo OLD > keep.pdf
: > empty.apf
echo 'not a fax file, but long enough to hold the 64-byte header of one......' > text.apf
head -c 1000 letter.apf > cut.apf  # inside page 2
for bad in empty.apf text.apf cut.apf missing.apf; do
  if out=$("$tvfax" print --pdf keep.pdf "$bad" 2>&1); then fail "$bad printed"; fi
  expect "cannot print $bad" "$out"
  [ "$(cat keep.pdf)" = OLD ] || fail "$bad replaced the PDF"
done
[ -z "$(ls -A | grep '^\.')" ] || fail "a half-written file was left: $(ls -A)"

out=$("$tvfax" print --pdf x.pdf --pages 9 letter.apf 2>&1) && fail "page 9 printed"
expect 'has 4 pages' "$out"
out=$("$tvfax" print letter.apf 2>&1) && fail "printed without a printer"
expect 'no default printer' "$out"
set +e
"$tvfax" print --pages 3-1 letter.apf >/dev/null 2>&1
[ $? -eq 2 ] || fail "a backward page range is a usage error"
"$tvfax" print --printer a --pdf b.pdf letter.apf >/dev/null 2>&1
[ $? -eq 2 ] || fail "--printer with --pdf is a usage error"
set -e
echo "cli print: all passed"
