#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, ASan and UBSan in build-fuzz/
# and runs one of them: ./scripts/fuzz.sh TARGET [SECONDS]. New inputs that
# find new paths go into the target's corpus folder; tests/fuzz/TARGET.dict,
# when there is one, gives libFuzzer the tokens the input format is made of.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: scripts/fuzz.sh TARGET [SECONDS]}
seconds=${2:-60}
./scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTV_FUZZ=ON -DTV_BUILD_GUI=OFF -DTV_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target "$target"
mkdir -p "tests/fuzz/corpus/$target"
exe=$(find build-fuzz/tests/fuzz -name "$target" -type f -perm -u+x | head -1)
dict=()
[ -f "tests/fuzz/$target.dict" ] && dict=(-dict="tests/fuzz/$target.dict")
"$exe" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 "${dict[@]}" "tests/fuzz/corpus/$target"
