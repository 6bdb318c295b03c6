"""corvane.exe as its users meet it under Wine: the console, the installer
against the real service control manager, and what the service reports when
it cannot start. A fleet of servers under the running service is the soak's."""
import os
import pty
import re
import select
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'helpers'))
from fixture import WINE_RUN, query, run, wine, write  # noqa: E402

BANNER = ('Corvane v1.10\n\nMade by the Corvane project.\n'
          "Report problems on the Corvane project's issue tracker.\n\n"
          'Supported arguments:\n\n  -i  Install service\n  -u  Uninstall service\n\n'
          'Place this executable in the desired location the service\n'
          'should run from and then install it using the argument -i.\n\n'
          'Once the service is installed, restart the system or open the\n'
          'Services management console in order to start the service.\n\n'
          'Press any key to continue...')


def screen(raw):
    """Text as a terminal shows it: Wine's console draws with escape sequences."""
    text = re.sub(rb'\x1b\[(\d*)C', lambda m: b' ' * int(m.group(1) or b'1'), raw)
    return re.sub(rb'\x1b\[[0-9;?]*[A-Za-z]', b'', text).replace(b'\r', b'').decode()


def console(fleet):
    pid, terminal = pty.fork()
    if pid == 0:
        os.execv(WINE_RUN, [WINE_RUN, fleet.exe])
    seen, status, deadline = b'', None, time.monotonic() + 60
    while not screen(seen).endswith('continue...') and time.monotonic() < deadline:
        seen += os.read(terminal, 4096) if select.select([terminal], [], [], 0.5)[0] else b''
    assert screen(seen) == BANNER, screen(seen)
    time.sleep(1)
    assert os.waitpid(pid, os.WNOHANG)[0] == 0, 'ended without a key'
    os.write(terminal, b'x')
    seen = b''
    while status is None and time.monotonic() < deadline:
        done, code = os.waitpid(pid, os.WNOHANG)
        status = code if done else None
        try:
            seen += os.read(terminal, 4096) if select.select([terminal], [], [], 0.1)[0] else b''
        except OSError:  # the terminal closes with the program
            pass
    assert (status, screen(seen)) == (0, '\n'), (status, seen)  # no echo of the key
    assert wine(fleet.exe, '-s') == (0, '')  # outside the service manager
    os.link(fleet.exe, os.path.join(fleet.root, 'old.exe'))
    wine('reg', 'add', r'HKCU\Software\Wine\AppDefaults\old.exe', '/v', 'Version', '/d', 'win98', '/f')
    assert wine(os.path.join(fleet.root, 'old.exe')) == (1, 'Requires Win2000/XP or greater\r\n')


def installer(fleet):
    fleet.install()
    assert wine(fleet.exe, '-I') == (0, 'Failed to install service "Corvane" with error 1073\r\n')
    keys = wine('reg', 'query', r'HKLM\System\CurrentControlSet\Services\Corvane')[1]
    keys = dict(re.findall(r'^\s+(\w+)\s+REG_\w+\s+(.*?)\r?$', keys, re.M))
    assert keys['Type'] == '0x10' and keys['Start'] == '0x2' and keys['ErrorControl'] == '0x1'
    assert keys['ObjectName'] == 'LocalSystem' and keys['DependOnService'].startswith('Tcpip')
    assert keys['ImagePath'] == '"Z:' + fleet.exe.replace('/', '\\') + '" -s', keys
    assert keys['Description'] == ('Monitors multiple Source Dedicated Servers simultaneously, '
                                   'provides reliable automatic updating and restarts crashed '
                                   'and unresponsive servers.'), keys
    assert wine(fleet.exe, '-U') == (0, 'Service "Corvane" successfully uninstalled\r\n')
    assert wine(fleet.exe, '-u') == (0, 'OpenService failed with error 1060\r\n')
    fleet.installed = False


def startup_failures(fleet):
    fleet.install()
    squatter = subprocess.Popen([WINE_RUN, os.path.join(fleet.root, 'tools', 'steamcmd.exe'),
                                 'squat', 'Corvane/UpdMutex'], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE)
    assert squatter.stdout.readline() == b'held\r\n'
    started, stopped = 'Corvane v1.10 started', ['Corvane v1.10 stopped', '']
    for config, code, lines in [
            (None, 0xFFFFFFFE, stopped),  # the mutex name is taken by another kind of object
            ('', 0xFFFFFFFD, [started, 'No servers defined'] + stopped),
            ('alpha\nPath x\n', 0xFFFFFFFD, [started, "Expected '{' at line 2"] + stopped),
            (None, 0xFFFFFFFD, [started, 'Failed to read config file "corvane.cfg"'] + stopped)]:
        if config is not None:
            fleet.configure(config)
        elif os.path.exists(os.path.join(fleet.root, 'corvane.cfg')):
            os.remove(os.path.join(fleet.root, 'corvane.cfg'))
        fleet.start()
        fleet.wait(lambda: fleet.status()[0] == 1, 20, 'stopped')
        assert (fleet.status(), fleet.log()) == ((1, code, code), lines), (config, fleet.log())
        os.remove(os.path.join(fleet.root, 'corvane.log'))
        squatter.communicate(b'')


def update_queue(fleet):
    """A server whose tool cannot start leaves the update mutex free between its
    tries and ends its cycle after three, while another's update runs meanwhile."""
    write(fleet.add('bad', UpdPath='none').file('mod/update_request.txt'), '')
    fleet.add('good', 'request 3\nanswer\n')
    fleet.configure()
    fleet.install()
    fleet.start()
    mine = lambda name: [line for line in fleet.log() if f'"{name}"' in line]
    bad = ['[Update] CreateUpdateProcess failed for "bad", retry in 10s'] * 2 + \
        ['[Update] Gave up on "bad" after 3 tries', '"bad" launched successfully']
    fleet.wait(lambda: mine('bad') == bad, 90, 'the bad cycle ended')
    assert mine('good') == ['"good" launched successfully', '"good" has terminated',
                            '"good" requested an update', '[Update] Launched for "good"',
                            '"good" launched successfully'], mine('good')
    log = fleet.log()
    assert log.index('[Update] Completed successfully') < log.index(bad[2]), log
    assert fleet.stop() == (1, 0, 0)


def restart_backoff(fleet):
    """A server that exits at every start is relaunched at growing intervals,
    and as usual again once it is healed."""
    crashy = fleet.add('crashy', 'exit 3\n', RestartBackoff=20)
    fleet.configure()
    fleet.install()
    fleet.start()
    fleet.wait(lambda: '"crashy" keeps failing, next launch in 20s' in fleet.log(), 60, 'a 20 s pause')
    write(crashy.file('srcds_control.txt'), 'answer\n')
    fleet.wait_answer('crashy', 4, 30)
    assert fleet.log()[1:] == ['"crashy" launched successfully', '"crashy" has terminated'] * 2 + [
        '"crashy" keeps failing, next launch in 10s', '"crashy" launched successfully',
        '"crashy" has terminated', '"crashy" keeps failing, next launch in 20s',
        '"crashy" launched successfully'], fleet.log()
    raw = open(fleet.root + '/corvane.log').read().splitlines()
    seconds = [int(line[15:17]) * 3600 + int(line[18:20]) * 60 + int(line[21:23]) for line in raw]
    pauses = [seconds[i + 1] - seconds[i] for i in range(len(raw) - 1) if 'launched' in raw[i + 1]]
    assert [abs(p - want) <= 1 for p, want in zip(pauses[1:], (5, 10, 20))] == [True] * 3, pauses


def holds_and_orphans(fleet):
    """A server held by stop_request.txt stays down while another runs, and comes
    back when the file goes; whatever the service started ends when it is killed."""
    held, busy = fleet.add('held'), fleet.add('busy', 'request 3\nanswer\n')
    write(fleet.root + '/tools/steamcmd_control.txt', 'check hang\n')
    fleet.configure()
    fleet.install()
    fleet.start()
    fleet.wait_answer('held', 1)
    write(held.file('mod/stop_request.txt'))
    fleet.wait(lambda: '"held" is held by stop_request.txt, not launched until it is removed'
               in fleet.log(), 10, 'held')
    assert query(held.port, 0.2) is None
    os.remove(held.file('mod/stop_request.txt'))
    fleet.wait_answer('held', 2)
    fleet.wait(lambda: '[Update] Tool version check' in fleet.log(), 30, 'the tool running')
    service = next(p for p in fleet.processes() if b'-s' in open(f'/proc/{p}/cmdline', 'rb').read())
    os.kill(service, signal.SIGKILL)
    fleet.wait(lambda: fleet.processes() == [], 1, 'every process ended with the service')


if __name__ == '__main__':
    run([console, installer, startup_failures, update_queue, restart_backoff, holds_and_orphans])
