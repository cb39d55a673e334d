#!/usr/bin/env bash
# No tvfax command writes over a file it reads, under any spelling (the same
# name, ./, a full path, a hard link, a symbolic link), and none writes a fax
# file through a link or into a named pipe: writes_over_input_test.sh TVFAX
set -euo pipefail
tvfax=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
has() { "$tvfax" --help | grep -q "^  $1 "; }

printf 'Page one\n' > letter.txt
"$tvfax" convert letter.txt fax.apf >/dev/null
cp fax.apf saved.apf
ln fax.apf hard.apf
ln -s fax.apf soft.apf
mkdir home
for same in fax.apf ./fax.apf "$work/fax.apf" hard.apf soft.apf; do
  writers=("render fax.apf 1 $same" "send --device /dev/null --trace $same 5551234 fax.apf"
           "send --device /dev/null --history $same 5551234 letter.apf --cover fax.apf")
  has print && writers+=("print --pdf $same fax.apf" "print --log $same fax.apf")
  has cover && writers+=("cover --home home --message-file fax.apf $same")
  for writer in "${writers[@]}"; do
    status=0
    msg=$("$tvfax" $writer 2>&1) || status=$?
    [ "$status" -eq 2 ] || fail "tvfax $writer: status $status: $msg"
    grep -q "is the input" <<<"$msg" || fail "tvfax $writer: $msg"
    cmp -s fax.apf saved.apf || fail "tvfax $writer changed its input"
  done
done
if "$tvfax" convert letter.txt ./letter.txt 2>/dev/null; then fail "convert wrote over its input"; fi

printf 'not yours' > other.txt
ln -s other.txt link.apf
mkfifo pipe.apf
for out in link.apf pipe.apf; do
  status=0
  msg=$(timeout 20 "$tvfax" convert letter.txt $out 2>&1) || status=$?
  [ "$status" -ne 0 ] && [ "$status" -ne 124 ] || fail "convert to $out: status $status"
  grep -q "$out is not a regular file" <<<"$msg" || fail "convert to $out: $msg"
done
[ "$(cat other.txt)" = "not yours" ] && [ -L link.apf ] && [ -p pipe.apf ] || fail "a link or pipe was written"
if "$tvfax" render fax.apf 1 /dev/null 2>/dev/null; then fail "render wrote to a device"; fi
[ -z "$(ls -A | grep '^\.tv-')" ] || fail "work files left: $(ls -A)"
echo "no command writes over what it must not"
