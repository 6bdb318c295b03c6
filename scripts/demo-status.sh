#!/usr/bin/env bash
# Shows the running demo's fleet (scripts/run.sh) as one table, from another
# terminal: corvane -l in the demo's Wine prefix. Its exit code is corvane's:
# 0 every server runs, 1 one does not, 2 the service is not running.
#   demo-status.sh
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/demo/corvane.exe ] || { echo "The demo is not set up: run bash scripts/run.sh first" >&2; exit 2; }
export CORVANE_WINEPREFIX=$PWD/build/demo-prefix
if [ -t 1 ]; then # a console: the state of a server that is down in red
    exec scripts/wine-run build/demo/corvane.exe -l
fi
# Into a pipe or a file the program writes CR LF; here lines end in LF alone.
scripts/wine-run build/demo/corvane.exe -l | tr -d '\r'
exit "${PIPESTATUS[0]}"
