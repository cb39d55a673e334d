#!/usr/bin/env bash
# Pictures of every window on sample data, at 100 %, into docs/screenshots/
# (the README shows the main window from there).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
QT_QPA_PLATFORM=offscreen ./build/tools/window_gallery/window_gallery --out docs/screenshots
