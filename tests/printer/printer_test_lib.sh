# Shared by the fax printer's tests: the print user's Tessivane folder and
# documents made with Ghostscript at test time. Sourced; sets $work, $send.

# The backend never writes as root: the tests print as the user tvprint
# that scripts/setup.sh adds, and need root to act as CUPS does.
if [ "$(id -u)" -ne 0 ] || ! id tvprint >/dev/null 2>&1 || ! command -v gs >/dev/null; then
  echo "skipped: needs root, Ghostscript and the user tvprint (scripts/setup.sh)"
  exit 77
fi

fail() { echo "FAIL: $*" >&2; exit 1; }

home=$(getent passwd tvprint | cut -d: -f6)
work=$(mktemp -d)
chmod 755 "$work"
send=$work/SEND
install -d -o tvprint -g tvprint "$send"
cleanup() { rm -rf "$work"; rm -f "$home/.config/tessivane/TVPD.INI"; }
trap cleanup EXIT

# What Tessivane writes at its start for the printer: where SEND is.
point_tvpd_at() {
  install -d -o tvprint -g tvprint "$home/.config" "$home/.config/tessivane"
  printf '[Location]\r\nTVOutPath=%s/\r\n' "$1" >"$home/.config/tessivane/TVPD.INI"
  chown tvprint: "$home/.config/tessivane/TVPD.INI"
}
point_tvpd_at "$send"
touch "$work/start"

# make_pdf NAME PAPER(a4|letter) POSTSCRIPT-BODY
make_pdf() {
  printf '%%!PS\n%s\n' "$3" >"$work/$1.ps"
  gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sPAPERSIZE="$2" -dFIXEDMEDIA \
    -sOutputFile="$work/$1.pdf" "$work/$1.ps" || fail "cannot make $1.pdf"
}

# Body of a text page: lines of Times at 11 points down the page.
text_page='/Times-Roman findfont 11 scalefont setfont
0 1 55 { /i exch def 60 760 i 13 mul sub moveto (Dear customer, the quick brown fox jumps over the lazy dog: 0123456789.) show } for showpage'
# A table ruled with hairlines.
table_page='0.25 setlinewidth /Helvetica findfont 9 scalefont setfont
0 1 30 { /r exch def 60 750 r 20 mul sub moveto 480 0 rlineto stroke } for
0 1 6 { /c exch def 60 c 80 mul add 150 moveto 0 600 rlineto stroke } for
0 1 29 { /r exch def 0 1 5 { /c exch def 64 c 80 mul add 736 r 20 mul sub moveto (Item 42.50) show } for } for showpage'
# A photograph: a grey gradient under a shaded disc.
photo_page='/row 256 string def 0 1 255 { row exch dup put } for
gsave 60 200 translate 470 500 scale 256 256 8 [256 0 0 -256 0 256] { row } image grestore
gsave 300 450 translate 0 1 100 { /k exch def 1 k 100 div sub setgray 0 0 150 k 1.5 mul sub 0 360 arc fill } for grestore showpage'

# run_backend BACKEND USER TITLE OPTIONS FILE [ENV...]: as the scheduler runs
# a backend (job id, user, title, copies, options, file; PPD and the device
# URI in the environment). Its messages go to $work/log.
run_backend() {
  local backend=$1 user=$2 title=$3 options=$4 file=$5
  shift 5
  env -i PATH=/usr/bin:/bin DEVICE_URI=tessivane:/ PRINTER=Tessivane CONTENT_TYPE=application/pdf \
    PPD="$ppd" "$@" "$backend" 17 "$user" "$title" 1 "$options" "$file" 2>"$work/log"
}
