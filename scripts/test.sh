#!/usr/bin/env bash
# Sets up, builds and runs every test. Ends with CTest's summary line.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --parallel "$(nproc)" --timeout 600
