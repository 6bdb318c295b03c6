#!/usr/bin/env bash
# The main job: installs what is missing, builds corvane.exe and runs it under
# Wine in the build tree's private prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
mkdir -p build
cmake --preset windows >build/configure-windows.log 2>&1 || { cat build/configure-windows.log; exit 1; }
cmake --build --preset windows
prefix=build/windows/wineprefix
trap 'scripts/wine-prefix stop "$prefix"' EXIT
scripts/wine-prefix start "$prefix"
scripts/wine-run build/windows/corvane.exe "$@"
