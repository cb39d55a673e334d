#!/usr/bin/env bash
# Installs every Debian package the build, the program and the test suite need.
# Idempotent: when everything is present it does nothing and prints nothing.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  # window program
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev libqt6svg6 libgl-dev libcups2-dev
  fonts-liberation fontconfig adwaita-icon-theme
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth
  # the desktop notice is tested against a notification service on a bus of its own
  dbus-daemon
  # the demo fax line runs a spandsp modem and fax machine and keeps its pages with libtiff
  libspandsp-dev libtiff-dev
  # the SIP line: libre for SIP, SDP and RTP
  libre-dev
  # fax to e-mail: libcurl's SMTP; the tests' mail server
  libcurl4-openssl-dev python3-aiosmtpd
  # the mail password in the desktop's keyring
  qtkeychain-qt6-dev
  # the hashes in delivery reports
  libssl-dev
  # faxes as PDF documents (PoDoFo); their tests check them with qpdf
  libpodofo-dev qpdf
  # the text of fax pages (OCR)
  libtesseract-dev tesseract-ocr-eng
  # interoperability peers
  libtiff-tools libsqlite3-dev
  libdbd-xbase-perl libtime-parsedate-perl python3 python3-dbfread python3-dbf
  # the number tests compile a locale with a decimal comma (localedef)
  locales
  imagemagick netpbm shapelib
  # printing tests: poppler's PDF tools and a CUPS scheduler of the tests' own;
  # the fax printer renders with Ghostscript behind CUPS's PDF filter chain
  poppler-utils cups-daemon cups-client cups-filters ghostscript
  # Ghostscript renders documents in a sandbox where its own folder is the only writable path
  bubblewrap
  # tools/fax_font/gen_fax_font (run by hand) draws the fax font with FreeType
  libfreetype-dev
  # manual pages from --help; the Debian package and the desktop's validators
  help2man dpkg-dev lintian desktop-file-utils appstream shared-mime-info libglib2.0-bin man-db
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The fax printer's tests print as an ordinary user (the backend never
# writes as root): a system user of their own, without a login.
if ! id tvprint >/dev/null 2>&1; then
  echo "setup: adding the test user tvprint"
  "${sudo_cmd[@]}" useradd --system --create-home --home-dir /var/lib/tvprint --shell /usr/sbin/nologin tvprint
fi
