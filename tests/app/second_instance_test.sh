#!/usr/bin/env bash
# A second start on the same folder hands over to the running copy and exits
# with 0 at once, creating or changing no file in the folder. The first start
# creates the three tables with their indexes, SEND and Receive, and no TV.INI.
set -euo pipefail
exe=$1
home=$(mktemp -d)
trap 'kill "$first" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$home"' EXIT
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$home/run}
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

"$exe" --home "$home/fax" &
first=$!
for _ in $(seq 100); do [ -d "$home/fax/Receive" ] && break; sleep 0.05; done
[ -d "$home/fax/SEND" ] || { echo "first copy did not start"; exit 1; }
sleep 0.3
for f in TVOUT.DBF TVOUT.CDX TVREC.DBF TVREC.CDX TVPB.DBF TVPB.CDX; do
  [ -f "$home/fax/$f" ] || { echo "first start did not create $f"; exit 1; }
done
# Preferences is open and nothing was saved yet.
[ ! -e "$home/fax/TV.INI" ] || { echo "TV.INI written before any setting was saved"; exit 1; }
before=$(cd "$home/fax" && find . -printf '%p %s %T@\n' | sort)

start=$(date +%s%N)
timeout 10 "$exe" --home "$home/fax"
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))

after=$(cd "$home/fax" && find . -printf '%p %s %T@\n' | sort)
[ "$before" = "$after" ] || { echo "second copy changed the folder:"; diff <(echo "$before") <(echo "$after"); exit 1; }
kill -0 "$first" || { echo "first copy died"; exit 1; }
echo "second copy exited 0 after ${elapsed_ms} ms"
