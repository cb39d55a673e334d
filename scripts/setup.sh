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
  # the demo fax line runs a spandsp modem and fax machine and keeps its pages with libtiff
  libspandsp-dev libtiff-dev
  # interoperability peers
  libtiff-tools libsqlite3-dev
  libdbd-xbase-perl libtime-parsedate-perl python3 python3-dbfread python3-dbf
  # the number tests compile a locale with a decimal comma (localedef)
  locales
  imagemagick netpbm shapelib
  # printing tests: poppler's PDF tools and a CUPS scheduler of the tests' own
  poppler-utils cups-daemon cups-client
  # tools/fax_font/gen_fax_font (run by hand) draws the fax font with FreeType
  libfreetype-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
