#!/usr/bin/env bash
# A real queue: a private CUPS scheduler (its own configuration, spool and
# socket in a temporary folder) gets the fax printer through
# "tvfax printer install"; a PDF printed with lp as the user tvprint arrives
# as a pair in their SEND folder, and one that another user prints under
# tvprint's name does not. Prints the seconds from lp to the pair.
set -u
tvfax=$1
ppd=
. "$(dirname "$0")/printer_test_lib.sh"
command -v cupsd >/dev/null && command -v lp >/dev/null && [ -x /usr/lib/cups/filter/pdftopdf ] ||
  { echo "skipped: CUPS (cups-daemon, cups-client, cups-filters) is not installed"; exit 77; }
pages=${PAGES:-1}

cups=$work/cups
mkdir -p "$cups/bin/backend" "$cups/spool/tmp" "$cups/cache" "$cups/state" "$cups/log" "$cups/ppd"
for d in filter daemon cgi-bin notifier monitor driver; do
  [ -e /usr/lib/cups/$d ] && ln -s /usr/lib/cups/$d "$cups/bin/$d"
done
cat >"$cups/cups-files.conf" <<CONF
ServerRoot $cups
ServerBin $cups/bin
DataDir /usr/share/cups
RequestRoot $cups/spool
CacheDir $cups/cache
StateDir $cups/state
TempDir $cups/spool/tmp
ErrorLog stderr
AccessLog $cups/log/access_log
PageLog $cups/log/page_log
Printcap $cups/printcap
FileDevice No
CONF
cat >"$cups/cupsd.conf" <<CONF
Listen $cups/cups.sock
LogLevel info
Browsing No
WebInterface No
DefaultPolicy open
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy open>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
# As CUPS ships it: a job's user is the one who authenticated (on this
# computer, by the credentials of the process at the socket's other end).
<Policy authenticated>
  <Limit Create-Job Print-Job Print-URI Validate-Job>
    AuthType Default
    Order deny,allow
  </Limit>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
cupsd -f -c "$cups/cupsd.conf" -s "$cups/cups-files.conf" 2>"$cups/log/error_log" &
cupsd_pid=$!
stop_cupsd() {
  local status=$?
  kill "$cupsd_pid" 2>/dev/null
  wait "$cupsd_pid"
  [ "$status" -eq 0 ] || tail -20 "$cups/log/error_log"
  cleanup
}
trap stop_cupsd EXIT
export CUPS_SERVER=$cups/cups.sock
for ((i = 0; i < 100; i++)); do lpstat -r >/dev/null 2>&1 && break; sleep 0.1; done
lpstat -r >/dev/null 2>&1 || fail "the scheduler did not start: $(cat "$cups/log/error_log")"

CUPS_SERVERBIN=$cups/bin "$tvfax" printer install || fail "tvfax printer install failed"
[ "$(stat -c %a "$cups/bin/backend/tessivane")" = 700 ] || fail "the backend is not mode 0700"

page='/Times-Roman findfont 11 scalefont setfont
0 1 55 { /i exch def 60 760 i 13 mul sub moveto (The minutes of the meeting, line by line, as they were written down.) show } for showpage'
body=
for ((p = 0; p < pages; p++)); do body+="$page"$'\n'; done
make_pdf minutes a4 "$body"
# Another user who names tvprint as the job's user is not believed: the job
# is refused, or printed for its real user (who has no outgoing folder).
runuser -u nobody -- lp -U tvprint -d Tessivane -t "Planted" "$work/minutes.pdf" >/dev/null 2>&1 &&
  echo "lp took a job under another user's name" || echo "lp refused a job under another user's name"
start=$(date +%s.%N)
runuser -u tvprint -- lp -d Tessivane -t "Minutes" -o fax-number=555-0199 "$work/minutes.pdf" >/dev/null ||
  fail "lp failed"
for ((i = 0; i < 1200; i++)); do zpd=$(grep -l Minutes "$send"/*.ZPD 2>/dev/null) && break; sleep 0.05; done
end=$(date +%s.%N)
[ -n "$zpd" ] || fail "no pair in SEND: $(grep -i tessivane "$cups/log/error_log" | tail -5)"
! grep -q Planted "$send"/*.ZPD || fail "another user's job under tvprint's name is in tvprint's list"
apf=${zpd%.ZPD}.APF
[ -f "$apf" ] && [ "$(stat -c %U "$apf")" = tvprint ] || fail "the fax is missing or not tvprint's"
[ "$(cat "$zpd")" = $'555-0199\r\n\r\nMinutes\r' ] || fail "description: $(cat -A "$zpd")"
"$tvfax" info "$apf" | grep -q "^Pages: $pages\$" || fail "not $pages pages: $("$tvfax" info "$apf" | head -1)"
echo "lp to the pair in SEND: $(echo "$end - $start" | bc) s for $pages pages"

CUPS_SERVERBIN=$cups/bin "$tvfax" printer remove || fail "tvfax printer remove failed"
[ ! -e "$cups/bin/backend/tessivane" ] && ! lpstat -p Tessivane >/dev/null 2>&1 || fail "the printer is still there"
echo "the queue printed into SEND"
