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
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'helpers'))
from fixture import WINE_RUN, Webhook, query, run, says, wine, write  # noqa: E402

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
    says((0, ''), fleet.exe, '-s')  # outside the service manager
    os.link(fleet.exe, os.path.join(fleet.root, 'old.exe'))
    says((0, 'reg: The operation completed successfully\r\n'), 'reg', 'add',
         r'HKCU\Software\Wine\AppDefaults\old.exe', '/v', 'Version', '/d', 'win98', '/f')
    says((1, 'Requires Win2000/XP or greater\r\n'), os.path.join(fleet.root, 'old.exe'))


def installer(fleet):
    fleet.install()
    says((0, 'Failed to install service "Corvane" with error 1073\r\n'), fleet.exe, '-I')
    keys = wine('reg', 'query', r'HKLM\System\CurrentControlSet\Services\Corvane')[1]
    keys = dict(re.findall(r'^\s+(\w+)\s+REG_\w+\s+(.*?)\r?$', keys, re.M))
    assert keys['Type'] == '0x10' and keys['Start'] == '0x2' and keys['ErrorControl'] == '0x1'
    assert keys['ObjectName'] == 'LocalSystem' and keys['DependOnService'].startswith('Tcpip')
    assert keys['ImagePath'] == '"Z:' + fleet.exe.replace('/', '\\') + '" -s', keys
    assert keys['Description'] == ('Monitors multiple Source Dedicated Servers simultaneously, '
                                   'provides reliable automatic updating and restarts crashed '
                                   'and unresponsive servers.'), keys
    says((0, 'Service "Corvane" successfully uninstalled\r\n'), fleet.exe, '-U')
    says((0, 'OpenService failed with error 1060\r\n'), fleet.exe, '-u')
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
        fleet.start(stops_at_once=True)
        fleet.wait(fleet.stopped, 20, 'stopped')
        assert (fleet.last, fleet.log()) == ((1, code, code), lines), (config, fleet.log())
        os.remove(os.path.join(fleet.root, 'corvane.log'))
        squatter.communicate(b'')
        fleet.wait(lambda: not fleet.processes(), 10, 'the service process ended')  # before the next start


UP, UPDATED = '% launched successfully', '[Update] Launched for %|% launched successfully'
WAITING = UP + '|% has an update waiting for an empty server|'
FLEET = {  # each server's own lines in the fleet below, "%" its name in quotes
    'bad': '[Update] CreateUpdateProcess failed for %, retry in 10s|' * 2 +
           '[Update] Gave up on % after 3 tries|' + UP,
    'good': UP + '|% has terminated|% requested an update|' + UPDATED,
    'crashy': (UP + '|% has terminated|') * 2 + '% keeps failing, next launch in 10s|' + UP +
              '|% has terminated|% keeps failing, next launch in 20s|' + UP,
    'held': UP + '|% is held by stop_request.txt, not launched until it is removed|' + UP,
    'full': WAITING + '% is empty and has been terminated for its update|' + UPDATED,
    'limit': WAITING + '% waited 1 minutes for an empty server and has been terminated for its '
                       'update|' + UPDATED,
    'newer': UP + '|% has build 100, the newest is 200: update requested|'
                  '% is empty and has been terminated for its update|' + UPDATED,
    'nobuild': UP + '|[Update] Build check for % found no build, again in 1 minutes'}


def fleet_at_work(fleet):
    """One service, a server per trouble or feature: a tool that cannot start
    ends its cycle after three tries, the update mutex free between them, while
    another server's update runs (bad, good); a server that exits at every start
    is launched at growing intervals until it is healed (crashy); one is held by
    stop_request.txt while the others run (held); updates wait for an empty
    server or their limit (full, limit); a newer build is noticed and applied,
    a check that finds none changes nothing (newer, nobuild). At the end the
    service is killed while a tool runs (busy): whatever it started ends."""
    write(fleet.add('bad', UpdPath='none').file('mod/update_request.txt'))
    fleet.add('good', 'request 3\nanswer\n')
    crashy, held = fleet.add('crashy', 'exit 3\n', RestartBackoff=20), fleet.add('held')
    full = fleet.add('full', 'players 3 0\n', '', UpdateWait=10)
    limit = fleet.add('limit', 'players 4 0\n', '', UpdateWait=1)
    newer = fleet.add('newer', 'players 0 0\n', 'build 200\n', UpdateCheck=1, UpdateWait=0)
    fleet.add('nobuild', tool='info none\n', UpdateCheck=1)
    busy = fleet.add('busy', tool='check hang\n', UpdateWait=0)
    os.makedirs(newer.file('steamapps'))
    write(newer.file('steamapps/appmanifest_232330.acf'), '"AppState"\n{\n"buildid" "100"\n}\n')
    fleet.configure()
    fleet.start()
    for name in ('held', 'full', 'limit', 'newer', 'nobuild', 'busy'):
        fleet.wait_answer(name, 1, 30)
    for path in ('full/mod/update_request.txt', 'limit/mod/update_request.txt', 'held/mod/stop_request.txt'):
        write(f'{fleet.root}/{path}')
    fleet.logged('"held" is held by stop_request.txt, not launched until it is removed')
    assert query(held.port, 0.2) is None
    os.remove(held.file('mod/stop_request.txt'))
    fleet.wait_answer('held', 2)
    fleet.logged('"full" has an update waiting for an empty server')
    write(full.file('srcds_control.txt'), 'players 1 1\n')  # a bot alone: empty
    emptied = time.monotonic()
    fleet.logged('"full" is empty and has been terminated for its update')
    print(f'from empty to the update: {time.monotonic() - emptied:.1f} s', flush=True)
    fleet.logged('"crashy" keeps failing, next launch in 20s')
    write(crashy.file('srcds_control.txt'), 'answer\n')
    for name, launch in (('full', 2), ('crashy', 4), ('newer', 2), ('limit', 2)):
        fleet.wait_answer(name, launch, 120)
    assert '"buildid"\t\t"200"' in open(newer.file('steamapps/appmanifest_232330.acf')).read()
    fleet.logged('[Update] Build check for "nobuild" found no build, again in 1 minutes')
    write(busy.file('mod/update_request.txt'))
    fleet.wait(lambda: os.path.exists(busy.file('tools/steamcmd_record.txt')), 30, 'the tool of busy running')
    os.kill(fleet.service(), signal.SIGKILL)
    fleet.wait(lambda: fleet.processes() == [], 1, 'every process ended with the service')
    log, raw = fleet.log(), open(fleet.root + '/corvane.log').read().splitlines()
    refused = [line for line in log if line.startswith('CreateServerProcess failed')]  # by Wine, under load
    assert len(refused) <= 3, refused
    mine = lambda name, lines=log: [line for line in lines if f'"{name}"' in line and
                                    'CreateServerProcess failed' not in line]
    for name, lines in FLEET.items():
        lines = lines.replace('%', f'"{name}"').split('|')
        assert mine(name)[:len(lines)] == lines and set(mine(name)) == set(lines), (name, mine(name))
    runs = [at for at, line in enumerate(log) if line.startswith('[Update] Launched for')]
    assert runs[0] < log.index('[Update] Gave up on "bad" after 3 tries'), log  # bad stalls nobody
    at = [int(line[15:17]) * 3600 + int(line[18:20]) * 60 + int(line[21:23]) for line in mine('crashy', raw)]
    pauses = [at[i + 1] - at[i] for i in range(len(at) - 1) if 'launched' in mine('crashy', raw)[i + 1]]
    assert [abs(p - want) <= 1 for p, want in zip(pauses, (5, 10, 20))] == [True] * 3, pauses


def read_metrics(path, seen, stop):
    """Reads corvane.prom about a thousand times a second until stop is set: each
    new text is whole and parses, each series once; seen gets its series."""
    from prometheus_client.parser import text_string_to_metric_families
    last = None
    while not stop.is_set():
        try:
            text = open(path, 'rb').read().decode()
        except OSError:
            text = last
        if text != last and text is not None:
            assert text.endswith('# TYPE corvane_server_newest_build gauge\n') and '\r' not in text, text
            series = [(s.name, tuple(sorted(s.labels.items())), s.value)
                      for family in text_string_to_metric_families(text) for s in family.samples]
            assert len({s[:2] for s in series}) == len(series), text
            seen.append(series)
            last = text
        time.sleep(0.001)


def tally(series, metric, label):
    return {(dict(l)['server'], dict(l)[label]): v for n, l, v in series if n == metric}


def seen_from_afar(fleet):
    """corvane.prom and the alerts while servers crash, hang, update and play:
    every write whole and parsed, its counters those of the log, a reader that
    holds the file only delaying it; a crash loop's first alert counts its
    crashes and no other follows within the minute, a 429 delays the post that
    carries it by its Retry-After, a webhook that never answers is one line and
    slows no check, and bad AlertUrls are one line each."""
    hook, deaf = Webhook([(429, {'Retry-After': '2'})]), Webhook(silent=True)
    fleet.add('crashy', 'exit 3\n', RestartBackoff=10, AlertUrl=hook.url)
    fleet.add('hang', 'silent\nanswer\n', AlertUrl=deaf.url)
    fleet.add('update', 'request 3\nanswer\n')
    busy = fleet.add('busy', 'players 5 2\n')
    fleet.add('badurl', AlertUrl='"ftp://x/y"')
    fleet.add('nohost', AlertUrl='"http://nosuch.invalid/"')
    fleet.configure()
    prom, seen, stop = fleet.root + '/corvane.prom', [], threading.Event()
    reader = threading.Thread(target=read_metrics, args=(prom, seen, stop))
    reader.start()
    fleet.start()
    try:
        fleet.logged('"badurl" has AlertUrl "ftp://x/y", which is no http or https URL: no alerts are sent', 10)
        fleet.logged('"crashy" keeps failing, next launch in 10s', 60)
        fleet.wait(lambda: len(hook.posts) == 2, 30, 'the alert posted again after its 429')
        crashes = fleet.log().count('"crashy" has terminated')
        assert [p[2] for p in hook.posts] == [429, 204] and hook.posts[1][0] - hook.posts[0][0] >= 2, hook.posts
        want = f'"crashy" crashed {crashes} times in 1 minute; keeps failing, next launch in 10s'
        assert [p[1] for p in hook.posts] == [{'content': want, 'text': want}] * 2, hook.posts
        fleet.wait(lambda: deaf.taken, 60, 'an alert of hang posted')
        checks = len(open(busy.file('srcds_requests.txt')).read().split())
        time.sleep(20)  # while hang's posts wait for an answer
        checks = len(open(busy.file('srcds_requests.txt')).read().split()) - checks
        assert 3 <= checks <= 5 and len(hook.posts) == 2, (checks, hook.posts)
        holder = subprocess.Popen([WINE_RUN, fleet.root + '/tools/steamcmd.exe', 'hold', prom],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert holder.stdout.readline() == b'held\r\n'
        held = len(seen)
        time.sleep(3)
        assert len(seen) == held, 'replaced while held'
        holder.communicate(b'')
        fleet.wait(lambda: len(seen) > held, 3, 'corvane.prom replaced after the hold')
        fleet.logged('[Update] Completed successfully for "update"', 60)
        log = fleet.log()
        tallies = lambda: (tally(seen[-1], 'corvane_server_restarts_total', 'reason'),
                           tally(seen[-1], 'corvane_server_update_cycles_total', 'result'))
        fleet.wait(lambda: tallies() == (
            {(n, r): log.count(f'"{n}" {line}') for n in fleet.servers for r, line in (
                ('exit', 'has terminated'), ('unresponsive', 'was unresponsive and has been terminated'),
                ('memory', 'exceeded memory limit and has been terminated'))} | {(n, 'failed_launch'): sum(
                line.startswith(f'CreateServerProcess failed for "{n}"') for line in log) for n in fleet.servers},
            {(n, r): log.count(f'[Update] {line} "{n}"') for n in fleet.servers for r, line in (
                ('succeeded', 'Completed successfully for'), ('gave_up', 'Gave up on'))}), 5, 'log')
    finally:
        stop.set()
        reader.join()
    states = {(dict(l)['server'], dict(l)['state']) for s in seen for n, l, v in s if n == 'corvane_server_state' and v}
    assert {('crashy', 'pausing'), ('update', 'updating'), ('busy', 'running'), ('hang', 'running')} <= states
    last = {(n, dict(l).get('server')): v for n, l, v in seen[-1]}
    assert (last['corvane_server_players', 'busy'], last['corvane_server_bots', 'busy']) == (5, 2), last
    log = fleet.log()
    alerts = [line for line in log if line.startswith('Alerts for')]  # the error's number is Wine's
    assert len(alerts) == 1 and re.fullmatch(r'Alerts for "hang" cannot be delivered \(error \d+\), retrying',
                                             alerts[0]), log
    assert [line for line in log if 'nohost' in line and 'AlertUrl' in line][0].startswith(
        '"nohost" has AlertUrl host "nosuch.invalid", which does not resolve'), log


if __name__ == '__main__':
    run([console, installer, startup_failures, fleet_at_work, seen_from_afar])
