"""Updates that apply themselves under the real service: a request waits for
its server to empty, or for its limit (UpdateWait), and a newer build is
noticed by asking the tool (UpdateCheck) and applied; an ask that finds no
build changes nothing. That a build is not applied twice is stepped through
time in the monitor's tests."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'helpers'))
from fixture import run, write  # noqa: E402


def hands_free_updates(fleet):
    def server(name, control, tool, **keys):
        added = fleet.add(name, control, UpdPath='tools', **keys)
        os.makedirs(added.file('tools'))
        os.link(fleet.root + '/tools/steamcmd.exe', added.file('tools/steamcmd.exe'))
        write(added.file('tools/steamcmd_control.txt'), tool)
        return added

    full = server('full', 'players 3 0\n', '', UpdateWait=10)
    limit = server('limit', 'players 4 0\n', '', UpdateWait=1)
    newer = server('newer', 'players 0 0\n', 'build 200\n', UpdateCheck=1, UpdateWait=0)
    server('nobuild', 'answer\n', 'info none\n', UpdateCheck=1)
    os.makedirs(newer.file('steamapps'))
    write(newer.file('steamapps/appmanifest_232330.acf'), '"AppState"\n{\n"buildid" "100"\n}\n')
    fleet.configure()
    fleet.install()
    fleet.start()
    for name in fleet.servers:
        fleet.wait_answer(name, 1, 30)
    for waiting in (full, limit):
        write(waiting.file('mod/update_request.txt'))
    logged = lambda line: fleet.wait(lambda: line in fleet.log(), 150, line)
    logged('"full" has an update waiting for an empty server')
    write(full.file('srcds_control.txt'), 'players 1 1\n')  # a bot alone: empty
    emptied = time.monotonic()
    logged('"full" is empty and has been terminated for its update')
    print(f'from empty to the update: {time.monotonic() - emptied:.1f} s', flush=True)
    fleet.wait_answer('full', 2, 30)
    logged('"limit" waited 1 minutes for an empty server and has been terminated for its update')
    logged('"newer" has build 100, the newest is 200: update requested')
    logged('"newer" is empty and has been terminated for its update')
    fleet.wait_answer('newer', 2, 30)
    assert '"buildid"\t\t"200"' in open(newer.file('steamapps/appmanifest_232330.acf')).read()
    logged('[Update] Build check for "nobuild" found no build, again in 1 minutes')
    log = fleet.log()
    assert set(line for line in log if '"nobuild"' in line) == {
        '"nobuild" launched successfully',
        '[Update] Build check for "nobuild" found no build, again in 1 minutes'}, log
    assert [line for line in log if '"limit"' in line][:2] == [
        '"limit" launched successfully', '"limit" has an update waiting for an empty server'], log
    assert fleet.stop() == (1, 0, 0)


if __name__ == '__main__':
    run([hands_free_updates])
