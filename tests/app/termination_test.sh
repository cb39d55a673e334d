#!/usr/bin/env bash
# SIGTERM, SIGHUP and SIGINT end the program as Exit does: status 0, the
# window's placement saved in TV.INI (which only a proper close writes), and
# the tables readable at once.
set -euo pipefail
exe=$1
tvfax=$2
home=$(mktemp -d)
trap 'kill -9 "$pid" 2>/dev/null || true; rm -rf "$home"' EXIT
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$home/run}
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
mkdir -p "$home/fax"

for signal in TERM HUP INT; do
  printf '[Modem]\nComPort=0\n' > "$home/fax/TV.INI"
  "$exe" --home "$home/fax" &
  pid=$!
  for _ in $(seq 100); do [ -f "$home/fax/TVPB.CDX" ] && break; sleep 0.05; done
  sleep 0.5
  kill -s "$signal" "$pid"
  status=0
  timeout 10 tail --pid="$pid" -f /dev/null || { echo "SIG$signal: still running after 10 s"; exit 1; }
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || { echo "SIG$signal: exit status $status"; exit 1; }
  grep -q "^\[TMainScreen_Placement" "$home/fax/TV.INI" || { echo "SIG$signal: the window was not closed as Exit closes it"; exit 1; }
  "$tvfax" db list "$home/fax" TVOUT >/dev/null || { echo "SIG$signal: the tables do not open"; exit 1; }
  echo "SIG$signal: ended cleanly"
done
