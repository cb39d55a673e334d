#!/usr/bin/env bash
# The tvfax image sub-commands at the process level: tvfax_image_test.sh TVFAX
set -euo pipefail
tvfax=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
expect() { # expect PATTERN TEXT
  grep -qE -- "$1" <<<"$2" || fail "expected /$1/ in: $2"
}

printf 'First page\n\fSecond page\n' > letter.txt
out=$("$tvfax" convert --fine --station 555-1234 letter.txt)
expect '^letter\.APF: 2 pages$' "$out"

out=$("$tvfax" info letter.APF)
expect '^Pages: 2$' "$out"
expect '^Station: 555-1234$' "$out"
expect '^Created: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}$' "$out"
expect '^Page 2: [0-9]+ bytes, fine, 1728, line blocks$' "$out"

"$tvfax" convert --wide --small-font --margin 0 --top 2 --lines 1 --tab 8 letter.txt wide.apf >/dev/null
expect 'Page 1: [0-9]+ bytes, standard, 2048, line blocks' "$("$tvfax" info wide.apf)"

# Standard pages come out doubled in height unless asked otherwise.
expect '^a\.pbm: 2048 x 10$' "$("$tvfax" render --no-autoscale wide.apf 1 a.pbm)"
expect '^b\.pbm: 2048 x 20$' "$("$tvfax" render wide.apf 1 b.pbm)"
expect '^c\.pbm: 1024 x 10$' "$("$tvfax" render --half-width wide.apf 1 c.pbm)"
[ "$(head -n 2 a.pbm | tr '\n' ' ')" = "P4 2048 10 " ] || fail "not a raw PBM"
[ "$(stat -c %s a.pbm)" -eq $((11 + 256 * 10)) ] || fail "PBM size"

expect '^letter\.APF: 4 pages$' "$("$tvfax" append letter.APF wide.apf)"
"$tvfax" rerender letter.APF joined.apf >/dev/null
expect '^Pages: 4$' "$("$tvfax" info joined.apf)"
# Re-rendered pages are fine pages as wide as their content needs.
expect 'Page 4: [0-9]+ bytes, fine, 1728, line blocks' "$("$tvfax" info joined.apf)"

# Failures exit non-zero with the code's message.
echo "not a fax" > junk.apf
if msg=$("$tvfax" info junk.apf 2>&1); then fail "info accepted junk"; fi
expect 'File is not an APF file' "$msg"
if msg=$("$tvfax" render letter.APF 9 x.pbm 2>&1); then fail "render accepted page 9"; fi
expect 'File is not an APF file' "$msg"
if msg=$("$tvfax" convert missing.tif 2>&1); then fail "convert accepted a missing file"; fi
expect 'File not found' "$msg"
printf 'II*\0\10\0\0\0\0\0' > bad.tif
if msg=$("$tvfax" convert bad.tif 2>&1); then fail "convert accepted a bad TIFF"; fi
expect 'Unsupported graphics file format' "$msg"
[ ! -e bad.APF ] || fail "a failed conversion left its output"
if msg=$("$tvfax" append letter.APF junk.apf 2>&1); then fail "append accepted junk"; fi
expect 'File is not an APF file' "$msg"
expect '^Pages: 4$' "$("$tvfax" info letter.APF)"
if "$tvfax" rerender junk.apf x.apf 2>/dev/null; then fail "rerender accepted junk"; fi

# A failed conversion leaves a file of the output's name as it was, and an
# output that is the input is refused before anything is read or written.
cp letter.APF old.apf
if "$tvfax" convert bad.tif old.apf 2>/dev/null; then fail "convert accepted a bad TIFF"; fi
cmp -s letter.APF old.apf || fail "a failed conversion changed the old output"
cp letter.txt keep.txt
if msg=$("$tvfax" convert keep.txt keep.txt 2>&1); then fail "convert wrote over its input"; fi
expect 'is the input' "$msg"
cmp -s letter.txt keep.txt || fail "the input was changed"
# Numbers beyond what a page holds are refused.
for option in "--top 2147483647" "--lines 99999" "--tab 100000" "--margin 1728"; do
  if msg=$("$tvfax" convert $option letter.txt big.apf 2>&1); then fail "convert took $option"; fi
  expect 'takes a number from 0 to' "$msg"
done
[ ! -e big.apf ] || fail "a refused conversion left its output"
# Rerendering a file onto itself, and appending, leave no working files.
"$tvfax" rerender joined.apf joined.apf >/dev/null
expect '^Pages: 4$' "$("$tvfax" info joined.apf)"
[ -z "$(ls -A | grep -e '^\.tv-' -e '^TEMP')" ] || fail "working files left: $(ls -A)"
if "$tvfax" convert letter.doc 2>/dev/null; then fail "convert guessed a kind"; fi

# A hostile PostScript document writes nowhere: not in the caller's TMPDIR
# (which -dSAFER would let it write in), and what it leaves in its own
# private temporary folder is removed with that folder.
if command -v gs >/dev/null; then
  mkdir -m 700 tmp
  printf '%%!PS\n{ (%s/tmp/pwned) (w) file closefile } stopped pop\n(tv) (w) .tempfile closefile pop showpage\n' \
    "$work" >hostile.ps
  TMPDIR=$work/tmp "$tvfax" convert hostile.ps >/dev/null 2>&1 || true
  [ -z "$(ls -A tmp)" ] || fail "hostile PostScript left $(ls -A tmp)"
fi

# What Ghostscript says about a damaged document is shown as text, never as
# the document's raw bytes.
printf '%%!PS\n\xfe\x01\x1b[31mevil\x07 \n' > bad.ps
if msg=$("$tvfax" convert bad.ps 2>&1); then fail "convert accepted bad PostScript"; fi
expect 'undefined' "$msg"
iconv -f UTF-8 -t UTF-8 <<<"$msg" >/dev/null || fail "not UTF-8: $msg"
if LC_ALL=C grep -q $'[\x01-\x08\x1b\x7f]' <<<"$msg"; then fail "control bytes in: $msg"; fi
# A TIFF that does not give its resolution keeps its rows whatever its coding.
pbmmake -gray 200 300 > square.pbm
for coding in none g3 g4; do
  pnmtotiff -$coding square.pbm > "sq-$coding.tif" 2>/dev/null
  "$tvfax" convert "sq-$coding.tif" >/dev/null
  expect '^x\.pbm: 1728 x 300$' "$("$tvfax" render --no-autoscale "sq-$coding.APF" 1 x.pbm)"
done
echo "all image commands behave"
