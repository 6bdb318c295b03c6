#!/usr/bin/env bash
# The main job: installs what is missing, builds corvane.exe and runs it as a
# service in a private Wine prefix over a demo fleet of three stand-in game
# servers, following corvane.log live. Ctrl+C stops and removes the service
# and leaves nothing running. See the fleet, and make a demo server fail,
# from another terminal:
#   bash scripts/demo-status.sh
#   bash scripts/demo-fault.sh alpha crash|hang|bloat|heal
# CORVANE_DEMO_SECONDS=N ends the demo by itself after N seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
mkdir -p build
cmake --preset windows >build/configure-windows.log 2>&1 || { cat build/configure-windows.log; exit 1; }
cmake --build --preset windows --target corvane standin

demo=$PWD/build/demo
export CORVANE_WINEPREFIX=$PWD/build/demo-prefix
winpath() { echo "Z:$1" | sed 's|/|\\|g'; }

# A fresh demo folder: corvane.exe, its configuration and three servers.
rm -rf "$demo"
mkdir -p "$demo/servers"
cp build/windows/corvane.exe "$demo/"
: >"$demo/corvane.cfg"
port=27015
for name in alpha bravo charlie; do
    mkdir -p "$demo/servers/$name/mod"
    cp build/windows/tests/standin.exe "$demo/servers/$name/srcds.exe"
    cat >>"$demo/corvane.cfg" <<CFG
$name
{
    Path          "$(winpath "$demo/servers/$name")"
    GameDir       mod
    Host          127.0.0.1
    Port          $port
    MaxPlayers    16
    MapName       demo_map
    MiscArgs      ""
    Priority      Normal
    Affinity      f
    MaxMemory     256
    MonitorDelay  5
    UpdPath       tools
    UpdArgs       "232330 validate"
}

CFG
    port=$((port + 1))
done

# Runs once, however the demo ends (Ctrl+C, a TERM, CORVANE_DEMO_SECONDS or a
# failed step), and ends the script: a trap that returned would let the script
# go on after the command the signal cut short.
stop_demo() {
    trap - INT TERM EXIT
    # The log follower ends first, so that its lines and ours do not interleave.
    # Its wait reads 143, the status of a process ended by TERM.
    if [ -n "${follower:-}" ]; then
        kill "$follower" 2>/dev/null || true
        wait "$follower" 2>/dev/null || true
    fi
    echo
    echo "Stopping the service and removing it..."
    scripts/wine-run net stop Corvane >/dev/null 2>&1 || true
    scripts/wine-run "$demo/corvane.exe" -u || true
    scripts/wine-prefix stop "$CORVANE_WINEPREFIX"
    echo "The demo has ended; nothing is left running."
    exit "$1"
}
trap 'stop_demo 0' INT TERM
trap 'stop_demo $?' EXIT

scripts/wine-prefix start "$CORVANE_WINEPREFIX"
scripts/wine-run "$demo/corvane.exe" -i
scripts/wine-run net start Corvane
cat <<TEXT

Corvane runs three demo servers (alpha, bravo, charlie) on 127.0.0.1:27015-27017.
Its event log, $demo/corvane.log, follows. From another terminal:
  bash scripts/demo-status.sh               the fleet at a glance (corvane -l)
  bash scripts/demo-fault.sh alpha crash    it exits, now and at each launch until healed
  bash scripts/demo-fault.sh bravo hang     it stops answering; terminated after four checks
  bash scripts/demo-fault.sh charlie bloat  it grows past MaxMemory (256 MiB)
  bash scripts/demo-fault.sh alpha heal     it behaves again from its next launch
Press Ctrl+C to stop.

TEXT
touch "$demo/corvane.log"
tail -n +1 -F "$demo/corvane.log" 2>/dev/null &
follower=$!
if [ -n "${CORVANE_DEMO_SECONDS:-}" ]; then
    sleep "$CORVANE_DEMO_SECONDS"
else
    wait "$follower"
fi
