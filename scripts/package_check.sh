#!/usr/bin/env bash
# Builds the Debian package and checks it as a desktop meets it: lintian, the
# desktop entry, the AppStream metainfo, the fax file type, the manual pages
# against --help, and the installed programs run from an unpacked copy (as
# the user running this, root included: an installed program never keeps its
# files in its own folder).
# Usage: package_check.sh [BUILD_DIR]
set -euo pipefail
build=$(realpath "${1:-$(dirname "$0")/../build}")
root=$(mktemp -d)
viewer_pid=
cleanup() {
  [ -n "$viewer_pid" ] && kill "$viewer_pid" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
fail() { echo "package: $*" >&2; exit 1; }

cmake --build "$build" --target package >"$root/build.log" 2>&1 || { cat "$root/build.log" >&2; fail "no package"; }
deb=$(ls -t "$build"/tessivane_*.deb | head -n1)
echo "package: $(basename "$deb")"

lintian --fail-on error,warning "$deb" 2> >(grep -v 'root privileges' >&2)
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "Depends has no computed Qt libraries"

dpkg -x "$deb" "$root"
share=$root/usr/share
# The fax printer's backend where CUPS runs it as root, its PPD beside the
# other drivers' (the queue itself is added only by tvfax printer install).
[ "$(stat -c %a "$root/usr/lib/cups/backend/tessivane")" = 700 ] || fail "the CUPS backend is not installed with mode 0700"
[ -f "$share/ppd/tessivane/tessivane.ppd" ] || fail "the fax printer's PPD is not installed"
desktop-file-validate "$share/applications/org.tessivane.Tessivane.desktop"
appstreamcli validate --no-net "$share/metainfo/org.tessivane.Tessivane.metainfo.xml" >/dev/null

# Fax files are known by name and by contents, and open in the program.
update-mime-database "$share/mime" >/dev/null 2>&1
update-desktop-database "$share/applications"
bin=$root/usr/bin
printf 'A fax\n' >"$root/page.txt"
"$bin/tvfax" convert "$root/page.txt" "$root/page.apf" >/dev/null
cp "$root/page.apf" "$root/page-without-suffix"
for file in page.apf page-without-suffix; do
  type=$(XDG_DATA_DIRS=$share gio info -a standard::content-type "$root/$file" | sed -n 's/.*content-type: //p')
  [ "$type" = application/x-tessivane-fax ] || fail "$file is of type '$type'"
done
# Read whole before matching: grep -q would stop reading early, and gio,
# killed by the broken pipe, would fail the pipeline now and then.
handlers=$(PATH=$bin:$PATH XDG_DATA_DIRS=$share gio mime application/x-tessivane-fax)
grep -q 'Default application.*org.tessivane.Tessivane.desktop' <<<"$handlers" || fail "fax files do not open in Tessivane"

# Manual pages: clean to man, and listing what --help lists.
for page in "$share"/man/man1/*.1.gz; do
  warnings=$(man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
help=$("$bin/tvfax" --help)
manual=$(MANWIDTH=1000 man --nh --nj -E UTF-8 -l "$share/man/man1/tvfax.1.gz" 2>/dev/null | col -b)
options() { grep -o -- '--[a-z][a-z-]*' | sort -u; }
[ "$(options <<<"$help")" = "$(options <<<"$manual")" ] ||
  fail "tvfax options differ: $(diff <(options <<<"$help") <(options <<<"$manual") | grep '^[<>]' | tr '\n' ' ')"
for command in $(sed -n 's/^  \([a-z]\+\) .*/\1/p' <<<"$help"); do
  grep -q "^ *$command " <<<"$manual" || fail "the tvfax manual page lacks the command $command"
done

# The installed programs: their data found beside them, their files in the
# user's folder.
export HOME=$root/home XDG_DATA_HOME= XDG_CONFIG_HOME= TESSIVANE_HOME= QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=$root/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
"$bin/tvfax" --help >/dev/null
"$bin/tvfax" cover --to Tester "$root/cover.apf" >/dev/null
[ -f "$HOME/.local/share/tessivane/Covers/tv0001.fct" ] || fail "tvfax cover did not seed the user's Covers folder"
[ "$(ls "$bin")" = "$(printf 'tessivane\ntvfax')" ] || fail "the installed program wrote into its own folder: $(ls "$bin")"

"$bin/tessivane" --home "$root/new" >"$root/tessivane.log" 2>&1 &
viewer_pid=$!
for _ in $(seq 100); do
  [ -f "$root/new/TVOUT.DBF" ] && [ -f "$root/new/Covers/tv0001.fct" ] && break
  kill -0 "$viewer_pid" 2>/dev/null || fail "tessivane stopped: $(cat "$root/tessivane.log")"
  sleep 0.2
done
[ -f "$root/new/TVOUT.DBF" ] && [ -f "$root/new/Covers/tv0001.fct" ] ||
  fail "tessivane --home made no tables or covers: $(ls -R "$root/new")"
kill "$viewer_pid"
wait "$viewer_pid" 2>/dev/null || true
viewer_pid=

# Without its shared data the program says what is missing.
mv "$share/tessivane" "$share/tessivane.away"
rm -rf "$HOME"
if "$bin/tvfax" cover "$root/cover2.apf" 2>"$root/cover.err" >/dev/null; then :; fi
grep -q "$share/tessivane/Covers does not exist" "$root/cover.err" ||
  fail "tvfax cover without shared data: $(cat "$root/cover.err")"
echo "package: lintian, desktop-file-validate, appstreamcli, shared-mime-info, man and the installed programs pass"
