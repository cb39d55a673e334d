#!/usr/bin/env bash
# tvfax cover as a user runs it: the sender from TV.INI, the templates
# installed into a new program folder, a missing template, usage errors.
set -euo pipefail
tvfax=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

home=$dir/home
mkdir -p "$home"
printf '[User]\nName=Ann Sender\nCompany=Acme\nFax=555 0199\nVoice=555 0198\n' >"$home/TV.INI"

"$tvfax" cover --home "$home" --to "Jane Smith" --fax "555 0100" --subject "Plans" --message "Hello" \
  --urgent --reply "$dir/a.apf" >"$dir/out" 2>"$dir/err" || fail "cover failed: $(cat "$dir/err")"
grep -q "cover page from .*/Covers/tv0001.fct" "$dir/out" || fail "template not named: $(cat "$dir/out")"
[ -f "$home/Covers/tv0001.fct" ] && [ -f "$home/Covers/tv0001.bmp" ] || fail "templates not installed"
"$tvfax" info "$dir/a.apf" | grep -q "^Pages: 1$" || fail "not one page"
"$tvfax" info "$dir/a.apf" | grep -q "fine, 1728" || fail "not a fine 1728-pixel page"

# Each value reaches the page: another recipient, another sender, another
# template, a message from a file each give another page.
page() { "$tvfax" render "$1" 1 "$1.pbm" >/dev/null; cat "$1.pbm"; }
"$tvfax" cover --home "$home" --to "Bob Other" --fax "555 0100" --subject "Plans" --message "Hello" \
  --urgent --reply "$dir/b.apf" >/dev/null 2>&1
[ "$(page "$dir/a.apf" | md5sum)" != "$(page "$dir/b.apf" | md5sum)" ] || fail "recipient not drawn"
printf 'Hello' >"$dir/message.txt"
# The page shows the time to the minute: a pair made across the turn of a
# minute is made again.
for attempt in 1 2; do
  "$tvfax" cover --home "$home" --to "Jane Smith" --fax "555 0100" --subject "Plans" --message "Hello" \
    --urgent --reply "$dir/a.apf" >/dev/null 2>&1
  "$tvfax" cover --home "$home" --to "Jane Smith" --fax "555 0100" --subject "Plans" --message-file "$dir/message.txt" \
    --urgent --reply "$dir/c.apf" >/dev/null 2>&1
  cmp -s <(page "$dir/a.apf") <(page "$dir/c.apf") && break
  [ "$attempt" -eq 2 ] && fail "--message-file differs from --message"
done
"$tvfax" cover --home "$home" --template tv0002.fct --to "Jane Smith" "$dir/d.apf" >/dev/null 2>&1
[ "$(page "$dir/d.apf" | md5sum)" != "$(page "$dir/a.apf" | md5sum)" ] || fail "--template not used"

# A template that cannot be read whole (missing, empty, damaged) is an error
# naming it and its first bad element, and no cover is written; an element of
# an unknown kind is left out, and said so once.
: >"$home/Covers/empty.fct"
printf '\x01\x07no template, only bytes' >"$home/Covers/junk.fct"
good=$home/Covers/tv0001.fct
head -c $(($(stat -c %s "$good") - 2)) "$good" >"$home/Covers/cut.fct"
for t in nothing empty junk cut; do
  if "$tvfax" cover --home "$home" --template $t.fct --to Jane "$dir/e.apf" >/dev/null 2>"$dir/err"; then
    fail "template $t accepted"
  fi
  grep -q "$t.fct cannot be used: " "$dir/err" || fail "template $t not named: $(cat "$dir/err")"
  [ ! -e "$dir/e.apf" ] || fail "template $t wrote a cover"
done
grep -q "element [0-9]* (at byte [0-9]*) cannot be read" "$dir/err" || fail "bad element not named: $(cat "$dir/err")"
unknown='\x01\x02\x2A\x02\x00\x02\x00\x02\x00\x02\x00\x06\x00\x06\x00\x02\x00\x08\x08\x08\x02\x00\x02\x00\x02\x00\x02\x00\x02\x00\x02\x00\x00'
{ printf "$unknown$unknown"; cat "$good"; } >"$home/Covers/odd.fct"
"$tvfax" cover --home "$home" --template odd.fct --to Jane "$dir/e.apf" >/dev/null 2>"$dir/err" || fail "odd template refused"
[ "$(grep -c "unknown kind 42 and is left out" "$dir/err")" -eq 1 ] || fail "unknown kind not said once: $(cat "$dir/err")"
"$tvfax" info "$dir/e.apf" | grep -q "^Pages: 1$" || fail "odd template's cover not written"

# Usage errors and an output that cannot be written.
set +e
"$tvfax" cover --message a --message-file "$dir/message.txt" "$dir/f.apf" 2>/dev/null; [ $? -eq 2 ] || fail "both messages"
"$tvfax" cover --home "$home" 2>/dev/null; [ $? -eq 2 ] || fail "no output"
"$tvfax" cover --home "$home" --frobnicate "$dir/f.apf" 2>/dev/null; [ $? -eq 2 ] || fail "unknown option"
"$tvfax" cover --home "$home" "$dir/message.txt/f.apf" 2>"$dir/err"; [ $? -eq 1 ] || fail "unwritable output"
set -e
grep -q "Cannot write the cover sheet .*f.apf" "$dir/err" || fail "unwritable output not named: $(cat "$dir/err")"
echo "cli.cover: ok"
