#!/usr/bin/env bash
# The main job, scripts/run.sh, ended both ways a user ends it: by Ctrl+C (SIGINT
# to its process group, as a terminal sends it) and by CORVANE_DEMO_SECONDS. Each
# run must exit 0, print its closing lines and the service's removal, and leave
# no process of the demo behind. Usage: demo_test.sh KEEP_DIR
set -uo pipefail
set -m # each run in a process group of its own, as a terminal's foreground job
top=$(cd "$(dirname "$0")/../.." && pwd)
keep=$1/demo
prefix=$top/build/demo-prefix
rm -rf "$keep" && mkdir -p "$keep" && cd "$top" || exit 1

# Linux ids of the processes whose environment names the demo's prefix: every
# Wine process of it, and the script with its log follower (CORVANE_WINEPREFIX).
left() { grep -lsz "WINEPREFIX=$prefix\$" /proc/[0-9]*/environ | cut -d/ -f3; }
# Whether a condition holds within some seconds.
within() { for ((i = 0; i < $1 * 10; i++)); do eval "$2" && return; sleep 0.1; done; false; }

fail() {
    echo "demo_test: $1; kept in $keep"
    cp build/demo/corvane.log "$keep/" 2>/dev/null
    pids=$(left | paste -sd,)
    [ -z "$pids" ] || ps -o pid,pgid,args -p "$pids" >"$keep/left.txt"
    scripts/wine-prefix stop "$prefix"
    left | xargs -r kill 2>/dev/null
    exit 1
}

closing=(-e 'Stopping the service and removing it...' -e 'Service "Corvane" successfully uninstalled'
    -e 'The demo has ended; nothing is left running.')
for way in ctrl-c seconds; do
    log=$keep/$way.log
    : >"$log"
    # Without CORVANE_DEMO_SECONDS (empty) the demo runs until Ctrl+C.
    CORVANE_DEMO_SECONDS=$([ $way = seconds ] && echo 2) bash scripts/run.sh >"$log" 2>&1 &
    demo=$!
    if [ $way = ctrl-c ]; then
        within 60 '[ "$(grep -c "launched successfully" "$log")" -ge 3 ]' ||
            fail "$way: the three servers not launched within 60 s"
        within 20 'bash scripts/demo-status.sh >"$keep/status.txt" &&
            [ "$(grep -cE "^(alpha|bravo|charlie) +running " "$keep/status.txt")" = 3 ]' ||
            fail "$way: scripts/demo-status.sh did not show the three servers running"
        kill -INT -- -$demo
    fi
    wait $demo || fail "$way: scripts/run.sh exited with $?"
    [ "$(grep -cF "${closing[@]}" "$log")" = 3 ] || fail "$way: not every closing line"
    within 10 '[ -z "$(left)" ]' || fail "$way: processes of the demo left 10 s after its end"
    echo "demo_test: $way ended cleanly"
done
