#!/usr/bin/env bash
# Makes a server of the running demo (scripts/run.sh) misbehave, or behave again.
#   demo-fault.sh NAME crash|hang|bloat|heal
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:-}
dir=build/demo/servers/$name
[ -n "$name" ] && [ -d "$dir" ] || { echo "usage: $0 alpha|bravo|charlie crash|hang|bloat|heal" >&2; exit 2; }
case ${2:-} in
crash) command="exit 3" ;;
hang) command="silent" ;;
bloat) command="commit 300" ;;
heal) command="answer" ;;
*) echo "usage: $0 NAME crash|hang|bloat|heal" >&2; exit 2 ;;
esac
# One control line for every launch from now on; the stand-in takes the file
# only once it ends in a line feed.
printf '%s\n' "$command" >"$dir/srcds_control.txt.new"
mv "$dir/srcds_control.txt.new" "$dir/srcds_control.txt"
echo "$name: $2"
