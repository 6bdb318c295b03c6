"""corvane.exe as its users meet it under Wine: the console, the installer
against the real service control manager, what the service reports when it
cannot start, and a fleet of sixteen servers under the running service."""
import collections
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
from fixture import TOP, WINE_RUN, Webhook, query, run, says, tls_webhook, wine, write  # noqa: E402

BANNER = ('Corvane v1.10\n\nMade by the Corvane project.\n'
          "Report problems on the Corvane project's issue tracker.\n\n"
          'Supported arguments:\n\n  -i  Install service\n  -u  Uninstall service\n'
          '  -t  Check corvane.cfg, or the file named after -t\n'
          '  -r  Check corvane.cfg and have the running service reload it\n'
          '  -l  List the servers and their states, from corvane.prom\n\n'
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
        fleet.wait(fleet.stopped, 30, fleet.stop_state)
        assert (fleet.last, fleet.log()) == ((1, code, code), lines), (config, fleet.log())
        os.remove(os.path.join(fleet.root, 'corvane.log'))
        squatter.communicate(b'')
        fleet.wait(lambda: not fleet.processes(), 10, 'the service process ended')  # before the next start


UP, CHECKED = '% launched successfully', '[Update] Tool version check for %|[Update] Tool is up to date for %|'
UPDATED = CHECKED + '[Update] Launched for %|[Update] Completed successfully for %|' + UP
WAITING, ENDED = UP + '|% has an update waiting for an empty server|', UP + '|% has terminated|'
ROWS = {  # each server's stand-in control, its own tool's control, keys, and its lines ("%" its name)
    'bad': ('answer\n', None, dict(UpdPath='none'),
            '[Update] CreateUpdateProcess failed for %, retry in 10s|' * 2 + '[Update] Gave up on % after 3 tries|' + UP),
    'good': ('request 3\nanswer\n', None, {}, ENDED + '% requested an update|' + UPDATED),
    'crashy': ('exit 3\n', None, dict(RestartBackoff=20), ENDED * 2 + '% keeps failing, next launch in 10s|' + ENDED +
               '% keeps failing, next launch in 20s|' + UP),
    'held': ('answer\n', None, {}, UP + '|% is held by stop_request.txt, not launched until it is removed|' + UP),
    'full': ('players 3 0\n', '', dict(UpdateWait=10), WAITING + '% is empty and has been terminated for its update|' + UPDATED),
    'limit': ('players 4 0\n', '', dict(UpdateWait=1),
              WAITING + '% waited 1 minutes for an empty server and has been terminated for its update|' + UPDATED),
    'newer': ('players 0 0\n', 'build 200\n', dict(UpdateCheck=1, UpdateWait=0), UP + '|% has build 100, the newest '
              'is 200: update requested|% is empty and has been terminated for its update|' + UPDATED),
    'nobuild': ('answer\n', 'info none\n', dict(UpdateCheck=1),
                UP + '|[Update] Build check for % found no build, again in 1 minutes'),
    'busy': ('answer\n', 'check flood\n', dict(UpdateWait=0),
             UP + '|% is empty and has been terminated for its update|[Update] Tool version check for %'),
    'fresh': (None, None, {}, '% has no srcds.exe, an update installs it|' + UPDATED),
    'challenged': ('exit 0xC0000005\nchallenge\n', None, {}, ENDED + UP),
    'mute': ('silent\nanswer\n', None, {}, UP + '|% was unresponsive and has been terminated|' + UP),
    'garbled': ('badheader\nanswer\n', None, {}, UP + '|% was unresponsive and has been terminated|' + UP),
    'bloat': ('commit 96\nanswer\n', None, {}, UP + '|% exceeded memory limit and has been terminated|' + UP),
    'retried': ('request 0\nanswer\n', 'run fail,success\n', {}, ENDED + '% requested an update|' + CHECKED +
                '[Update] Launched for %|[Update] Result unreliable, retry in 10s for %|' + UPDATED[len(CHECKED):]),
    'selfupdated': ('request 1\nanswer\n', 'check selfupdate,uptodate\n', {}, ENDED + '% requested an update|'
                    '[Update] Tool version check for %|[Update] Tool has been updated for %|' + UPDATED)}


def records(folder):
    """The record of each start of the tool of a folder, a dict each."""
    text = open(folder + '/steamcmd_record.txt').read() if os.path.exists(folder + '/steamcmd_record.txt') else ''
    return [dict(line.split('=', 1) for line in block.split('\n') if '=' in line) for block in text.split('end\n')[:-1]]


def without_a_broken_start(fleet, name, lines, expected):
    """A server's stamped lines; when Wine broke one of its starts before the
    stand-in's first act (one launch logged more than the stand-in counts),
    without that start's lines, the one retry a service run takes."""
    path = fleet.servers[name].file('srcds_starts.txt')
    starts = open(path).read().count('\n') if os.path.exists(path) else 0
    if [line[25:] for line in lines].count(f'"{name}" launched successfully') != starts + 1:
        return lines
    for at in range(len(lines) - 1):
        after = at + 2 + ('keeps failing' in ''.join(lines[at + 2:at + 3]))
        if [line[25:] for line in lines[:at] + lines[after:]] == expected and 'has terminated' in lines[at + 1]:
            print(f'Wine broke a start of "{name}" before its first act; it is taken again', flush=True)
            return lines[:at] + lines[after:]
    return lines


def fleet_at_work(fleet):
    """Sixteen servers under one service, each with its own trouble or feature:
    a tool that cannot start ends its cycle after three tries while the others
    update (bad, good); a server that exits at every start is launched at
    growing intervals until it is healed (crashy); one is held by
    stop_request.txt (held); updates wait for an empty server or their limit
    (full, limit); a newer build is noticed and applied, a check that finds
    none changes nothing (newer, nobuild); a server is installed (fresh); a
    crash, silence, a wrong reply and too much memory each end one launch, the
    next answers (challenged, after a challenge; mute, garbled, bloat); a run
    that fails and a tool that updates itself (retried, selfupdated). At the
    end the service is killed while a tool writes without pause (busy):
    whatever it started ends with it. Then: every line as expected, never two
    tools at once, no request file left, the service's memory flat."""
    for name, (control, tool, keys, _) in ROWS.items():
        fleet.add(name, control, tool, **keys)
    write(fleet.servers['bad'].file('mod/update_request.txt'))
    newer, held, busy = fleet.servers['newer'], fleet.servers['held'], fleet.servers['busy']
    os.makedirs(newer.file('steamapps'))
    write(newer.file('steamapps/appmanifest_232330.acf'), '"AppState"\n{\n"buildid" "100"\n}\n')
    fleet.configure()
    fleet.start()
    service, memory, sampled = fleet.service(), [], threading.Event()
    threading.Thread(target=sample, args=(service, memory, sampled), daemon=True).start()
    for name in ('held', 'full', 'limit', 'newer', 'nobuild', 'busy'):
        fleet.wait_answer(name, 1, 30)
    for path in ('full/mod/update_request.txt', 'limit/mod/update_request.txt', 'held/mod/stop_request.txt'):
        write(f'{fleet.root}/{path}')
    fleet.logged('"held" is held by stop_request.txt, not launched until it is removed')
    assert query(held.port, 0.2) is None
    os.remove(held.file('mod/stop_request.txt'))
    fleet.wait_answer('held', 2)
    fleet.logged('"full" has an update waiting for an empty server')
    write(fleet.servers['full'].file('srcds_control.txt'), 'players 1 1\n')  # a bot alone: empty
    fleet.logged('"crashy" keeps failing, next launch in 20s')
    write(fleet.servers['crashy'].file('srcds_control.txt'), 'answer\n')
    for name, launch in (('full', 2), ('crashy', 4), ('newer', 2), ('limit', 2), ('fresh', 1), ('challenged', 2),
                         ('mute', 2), ('garbled', 2), ('bloat', 2), ('retried', 2), ('selfupdated', 2), ('good', 2),
                         ('bad', 1)):  # launched 10 s after its cycle gives up, when the lock came its way
        fleet.wait_answer(name, launch, 120)
    assert '"buildid"\t\t"200"' in open(newer.file('steamapps/appmanifest_232330.acf')).read()
    fleet.logged('[Update] Build check for "nobuild" found no build, again in 1 minutes')
    sampled.set()
    write(busy.file('mod/update_request.txt'))
    fleet.wait(lambda: os.path.exists(busy.file('tools/steamcmd_record.txt')), 30, 'the tool of busy running')
    os.kill(fleet.service(), signal.SIGKILL)
    fleet.wait(lambda: fleet.processes() == [], 1, 'every process ended with the service')
    log, raw = fleet.log(), open(fleet.root + '/corvane.log', encoding='latin-1').read().splitlines()
    assert log[0] == 'Corvane v1.10 started', log
    refused = [line for line in log if line.startswith('CreateServerProcess failed')]  # by Wine, under load
    assert len(refused) <= 3, refused
    for name, (_, _, _, lines) in ROWS.items():
        expected = lines.replace('%', f'"{name}"').split('|')
        mine = [line for line in raw if f'"{name}"' in line and 'CreateServerProcess failed' not in line]
        mine = without_a_broken_start(fleet, name, mine, expected)
        assert [line[25:] for line in mine] == expected, (name, mine)
        if name == 'crashy':  # launched 5, 10 and 20 s after its ends
            at = [int(line[15:17]) * 3600 + int(line[18:20]) * 60 + int(line[21:23]) for line in mine]
            pauses = [at[i + 1] - at[i] for i in range(len(at) - 1) if 'launched' in mine[i + 1]]
            assert [abs(p - want) <= 1 for p, want in zip(pauses, (5, 10, 20))] == [True] * 3, pauses
    runs = [at for at, line in enumerate(log) if line.startswith('[Update] Launched for')]
    assert runs[0] < log.index('[Update] Gave up on "bad" after 3 tries'), log  # bad stalls nobody
    tools = [r for folder in [fleet.root] + [s.path for s in fleet.servers.values()] for r in records(folder + '/tools')]
    assert len(tools) >= 12 and all(r['overlap'] == '0' for r in tools), 'two tools ran at once'
    assert [s.name for s in fleet.servers.values() if os.path.exists(s.file('mod/update_request.txt'))] == ['busy']
    quarter = max(1, len(memory) // 4)
    first, last = sorted(memory[:quarter])[quarter // 2], sorted(memory[-quarter:])[quarter // 2]
    print(f'fleet: {len(tools)} tool runs; service memory (RssAnon) {first} -> {last} KiB', flush=True)
    assert last <= first + 1024, f'memory grew from {first} to {last} KiB'


def sample(service, memory, done):
    """The service's anonymous resident memory in KiB, every 2 s until done."""
    while not done.wait(2):
        memory.append(int(open(f'/proc/{service}/status').read().split('RssAnon:')[1].split()[0]))


def config_check(fleet):
    """corvane -t prints each of the parser's messages as the service logs it,
    with exit code 1, then the values the service refuses (exit code 1) or
    reads otherwise than written, and nothing to corvane.log; -r checks first, then needs
    the service installed and running."""
    fleet.add('one')
    fleet.configure()
    block = open(fleet.root + '/corvane.cfg').read()  # 16 lines
    blocks = ''.join(block.replace('"one"', f's{i}') for i in range(17))
    cases = [(block, 'Config file "%s" is valid, servers defined: 1')]
    cases += [('', 'No servers defined'),
             (None, 'Failed to read config file "%s"'),
             ('alpha {\n', 'Failed to parse server name at line 1'),
             (block * 2, 'Server name duplicate at line 17'), ('a\nx\n', "Expected '{' at line 2"),
             ('a\n{ }\n', "Expected standalone '{' at line 2"),
             ('a\n{\n} }\n', "Expected standalone '}' at line 3"),
             (blocks, 'MaxServers overflow at line 272'),
             ('a\n{\n}\n', 'Missing key "Path" for server "a"\nFailed to read out server keys at line 3'),
             ('a\n{\nPath\n', 'Failed to parse key at line 3'),
             ('a\n{\nPath a b\n', 'Failed to parse value at line 3'),
             ('a\n{\n', 'Config file terminated unexpectedly at line 2'),
             (block.replace('MaxMemory 64\n', 'MaxMemory 2O48\n  RestartBackof 1\n'),
              '"one" has MaxMemory "2O48", which is not wholly a number, read as 2 at line 12\n"one" has key "Restart'
              'Backof", which no server uses (is it "RestartBackoff"?) at line 13\n' + cases[0][1]),
             (block.replace('MonitorDelay 1\n', 'MonitorDelay 3601\n'),
              '"one" has MonitorDelay "3601" out of range (0 to 3600), read as 0 at line 13'),
             (block.replace('}', '  RestartAt "25:00"\n}'),
              '"one" has RestartAt "25:00", which is no list of times HH:MM: no restarts at set hours at line 16')]
    os.chdir(fleet.root)  # a relative name is the user's directory's
    try:
        for i, (text, lines) in enumerate(cases):
            if text is not None:
                write(f'{fleet.root}/t{i}.cfg', text)
            name = 'Z:' + fleet.root.replace('/', '\\') + f'\\t{i}.cfg'
            says((0 if 'is valid' in lines else 1, (lines.replace('%s', name) + '\n').replace('\n', '\r\n')),
                 fleet.exe, '-t', f't{i}.cfg')
    finally:
        os.chdir(TOP)
    valid = 'Config file "corvane.cfg" is valid, servers defined: 1\r\n'
    says((1, valid + 'Service "Corvane" is not installed\r\n'), fleet.exe, '-r')
    fleet.install()
    says((1, valid + 'Service "Corvane" is not running\r\n'), fleet.exe, '-R')
    write(fleet.root + '/corvane.cfg', 'a\n{\n')
    says((1, 'Config file terminated unexpectedly at line 2\r\n'), fleet.exe, '-r')
    assert not os.path.exists(fleet.root + '/corvane.log')


def reload(fleet):
    """A reload while a server's update runs: the unchanged server's process runs
    on, the one changed on its command line is launched once anew, the one
    changed in keys it never sees takes them on running (not asked to quit,
    its new AlertUrl taken by the alerts, at the stop asked with its new
    password), the one given a new priority and affinity gets them on its
    running process, the added one starts, the
    renamed one (players on, asked to quit) starts in its folder and port only
    once its old self has ended, never beside it, and the updating one, changed
    too, ends only after its cycle. A reload asked for while that cycle runs
    waits, says so, and is carried out after it: the file, broken by then, is
    logged with its line and changes nothing. A key no server uses is warned
    of at the start and at each reload."""
    gate = subprocess.Popen([WINE_RUN, fleet.root + '/tools/steamcmd.exe', 'squat', 'StandinGate'],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    assert gate.stdout.readline() == b'held\r\n'
    same, changed = fleet.add('same', RestartBackof=1), fleet.add('changed')
    removed = fleet.add('removed', 'players 2 0\n', RconPassword='pw')
    live, tuned = fleet.add('live'), fleet.add('tuned')
    for s in (removed, live):
        write(s.file('srcds_rcon.txt'), 'quit pw\n')  # asked to quit when it is renamed; live at the stop
    updating = fleet.add('updating', tool='run gated\n')
    fleet.configure()
    fleet.start()
    for name in fleet.servers:
        fleet.wait_answer(name, 1)
    write(updating.file('srcds_control.txt'), 'request 3\nanswer\n')
    record = updating.file('tools/steamcmd_record.txt')
    fleet.wait(lambda: os.path.exists(record) and 'kind=run' in open(record).read(), 60,
               'the update of "updating" running')
    removed.name = 'renamed'
    fleet.servers = {s.name: s for s in fleet.servers.values()}
    changed.keys['MapName'], updating.keys['MaxPlayers'] = 'new', 9
    live.keys.update(RconPassword='pw', StopWait=5, MaxMemory=65, AlertUrl='"http://nosuch.invalid/"')
    tuned.keys.update(Priority='High', Affinity=3)
    fleet.add('added')
    fleet.configure()
    both, stop = [], threading.Event()

    def sample():  # how many srcds.exe of the renamed server's folder run, until stopped
        while not stop.wait(0.05):
            both.append(len(fleet.processes(removed.file('srcds.exe'))))
    threading.Thread(target=sample, daemon=True).start()
    warned = '"same" has key "RestartBackof", which no server uses (is it "RestartBackoff"?) at line 16'
    valid = warned + '\r\nConfig file "corvane.cfg" is valid, servers defined: 7\r\n'
    says((0, valid + 'Reload of service "Corvane" requested\r\n'), fleet.exe, '-r')
    fleet.logged('Config file reloaded: 1 unchanged, 2 added, 4 changed, 1 removed', 30)
    for name, launch in (('added', 1), ('changed', 2), ('renamed', 2)):
        fleet.wait_answer(name, launch)
    stop.set()
    assert max(both) == 1, both  # never two at once
    assert '+map new' in open(changed.file('srcds_record.txt')).read().split('cmdline=')[-1]
    last = lambda: open(tuned.file('srcds_record.txt')).read().split('end\n')[-2]  # its latest record
    fleet.wait(lambda: 'priority=0x80\naffinity=0x3\n' in last(), 5, 'the priority and affinity of "tuned" set')
    assert open(removed.file('srcds_rcon_record.txt')).read().endswith('2 2 quit\nbye\n')
    assert not os.path.exists(live.file('srcds_rcon_record.txt'))
    log = fleet.log()
    for line in ('"live" has a new configuration, taken on without a restart',
                 '"tuned" has a new priority or affinity, set on its process without a restart',
                 '"renamed" starts once "removed" has ended, as they share a Path or Port'):
        assert line in log, (line, log)
    assert '"removed" has been terminated' not in log
    fleet.wait(lambda: any(line.startswith('Alerts for "live" cannot be delivered: its host "nosuch.invalid"') for line in fleet.log()), 30,
               'the new AlertUrl of "live" taken by the alerts')
    says((0, valid + 'Reload of service "Corvane" requested\r\n'), fleet.exe, '-r')
    fleet.logged('Config file reload waits for the servers still ending (1)', 10)
    text = open(fleet.root + '/corvane.cfg').read()
    write(fleet.root + '/corvane.cfg', text + 'x\n{\n  Path\n')
    assert query(same.port) == 'launch 1'
    gate.communicate(b'')
    fleet.logged('Config file not reloaded: every server runs on as it was', 30)
    fleet.wait_answer('updating', 2)
    log = fleet.log()
    assert log.count(warned) == 2, log
    log = log[log.index('Config file reloaded: 1 unchanged, 2 added, 4 changed, 1 removed'):]
    assert [line for line in log if '"updating"' in line or '[Update]' in line] == [
        '[Update] Completed successfully for "updating"', '"updating" launched successfully'], log
    failed = log.index(f'Failed to parse key at line {text.count(chr(10)) + 3}')
    assert log.index('[Update] Completed successfully for "updating"') < failed, log  # the request was kept till then
    assert log[failed + 1] == 'Config file not reloaded: every server runs on as it was', log
    for s, launches in ((same, 1), (changed, 2), (removed, 2), (updating, 2), (live, 1), (tuned, 1),
                        (fleet.servers['added'], 1)):
        assert open(s.file('srcds_starts.txt')).read().count('\n') == launches, s.name
    assert query(same.port) == 'launch 1' and '-maxplayers 9' in open(
        updating.file('srcds_record.txt')).read().split('cmdline=')[-1]
    fleet.stop()
    assert open(live.file('srcds_rcon_record.txt')).read() == '1 3 pw\n2 2 quit\nbye\n'


def graceful_stop(fleet):
    """A stop over sixteen servers with RconPassword ends them all in parallel
    within StopWait and a margin: those that quit when asked end by themselves
    (no terminate line, their "bye" recorded), those that ignore it are ended
    at StopWait, a refused password is tried once; nobody is warned at a stop."""
    modes = ['quit'] * 12 + ['ignore'] * 3 + ['refuse']
    for i, mode in enumerate(modes):
        write(fleet.add(f'g{i:02}', 'players 2 0\n', RconPassword='pw', StopWait=3).file('srcds_rcon.txt'),
              f'{mode} pw\n')
    fleet.configure()
    fleet.start()
    for name in fleet.servers:
        fleet.wait_answer(name, 1, 60)
    began = time.monotonic()
    assert fleet.stop() == (1, 0, 0)
    took = time.monotonic() - began
    assert 3 <= took <= 3 + 4, took
    log = fleet.log()
    for (name, s), mode in zip(fleet.servers.items(), modes):
        told = open(s.file('srcds_rcon_record.txt')).read()
        ended = {'quit': '1 3 pw\n2 2 quit\nbye\n', 'ignore': '1 3 pw\n2 2 quit\n', 'refuse': '1 3 pw\n'}
        lines = {'quit': [], 'ignore': [f'"{name}" did not quit within 3s and has been terminated'],
                 'refuse': [f'"{name}" refused the RCON password and has been terminated']}
        mine = [line for line in log if f'"{name}" ' in line and 'launched successfully' not in line]
        assert (told, mine) == (ended[mode], lines[mode]), (name, told, log)
    print(f'stop over 16 servers with StopWait 3: {took:.1f} s', flush=True)


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
            kinds = collections.Counter((dict(l).get('server'), n[15:]) for n, l, v in series)
            assert all((kinds[s, 'state'], kinds[s, 'restarts_total'], kinds[s, 'update_cycles_total'],
                        kinds[s, 'players']) == (7, 4, 2, kinds[s, 'bots']) for s, _ in kinds if s), text  # zeros too
            seen.append(series)
            last = text
        time.sleep(0.001)


def tally(series, metric, label):
    return {(dict(l)['server'], dict(l)[label]): v for n, l, v in series if n == metric}


def configure(fleet):
    """corvane.cfg in Wine's ANSI code page here, 1252."""
    fleet.configure()
    text = open(fleet.root + '/corvane.cfg').read()
    open(fleet.root + '/corvane.cfg', 'w', encoding='cp1252').write(text)


def seen_from_afar(fleet):
    """corvane.prom and the alerts while servers crash, hang, update and play:
    every write whole and parsed with every series, its counters those of the
    log, a reader that holds the file only delaying it; a crash loop's first
    alert counts its crashes and no other follows within the minute, a 429
    delays the post that carries it by its Retry-After, a webhook that never
    answers is one line and slows no check, and bad AlertUrls are one line
    each. Plain exits and an update that installs no srcds.exe are crash loops
    too; a name outside ASCII stands whole in both. Messages left at a
    removal and at a stop, while a post hangs, are counted."""
    hook, deaf, looped = Webhook([(429, {'Retry-After': '2'})]), Webhook(silent=True), Webhook()
    assert 'REG_SZ    1252' in wine('reg', 'query', r'HKLM\System\CurrentControlSet\Control\Nls\CodePage', '/v', 'ACP')[1]
    fleet.add('crashy', 'exit 3\n', RestartBackoff=10, AlertUrl=hook.url)
    hang = fleet.add('hang', 'silent\nanswer\n', AlertUrl=deaf.url)
    fleet.add('update', 'request 3\nanswer\n')
    busy = fleet.add('busy', 'players 5 2\n')
    fleet.add('badurl', AlertUrl='"ftp://x/y"')
    fleet.add('nohost', AlertUrl='"http://nosuch.invalid/"')
    fleet.add('lost', 'silent\nanswer\n', AlertUrl=deaf.url)
    fancy, zurich = 'Zürich-Košice\\x', fleet.add('zurich', 'exit 3\n', AlertUrl=looped.url)
    fleet.servers[fancy] = fleet.servers.pop('zurich')
    zurich.name = fancy
    noinstall = fleet.add('noinstall', None, AlertUrl=looped.url)
    os.makedirs(noinstall.file('srcds.exe'))  # the update says it installed it, and cannot
    configure(fleet)
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
        fleet.wait(lambda: {p[1]['content'].split('"')[1] for p in looped.posts} == {fancy, 'noinstall'}, 180,
                   'the crash loops of both alerted')
        first = {p[1]['content'].split('"')[1]: p[1]['content'] for p in reversed(looped.posts)}
        assert re.fullmatch(r'"Zürich-Košice\\x" crashed (\d) times in 1 minute; is in a crash loop, \1 ends in 1 minute',
                            first[fancy]) and re.fullmatch(r'"noinstall" could not be launched( \d times in \d minutes?)?; '
                                                           r'is in a crash loop, \d ends in \d minutes?', first['noinstall']), first
        write(zurich.file('srcds_control.txt'), 'answer\n')
        write(noinstall.file('srcds_control.txt'), 'answer\n')
        os.rmdir(noinstall.file('srcds.exe'))
        for s in (zurich, noinstall):
            fleet.wait(lambda: query(s.port, 0.1), 60, f'{s.name} answering')
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
                line.startswith((f'CreateServerProcess failed for "{n}"', f'"{n}" could not be launched: no srcds'))
                for line in log) for n in fleet.servers},
            {(n, r): log.count(f'[Update] {line} "{n}"') for n in fleet.servers for r, line in (
                ('succeeded', 'Completed successfully for'), ('gave_up', 'Gave up on'))}), 5, 'log')
    finally:
        stop.set()
        reader.join()
    states = {(dict(l)['server'], dict(l)['state']) for s in seen for n, l, v in s if n == 'corvane_server_state' and v}
    assert {('crashy', 'pausing'), ('update', 'updating'), ('busy', 'running'), ('hang', 'running')} <= states
    last = {(n, dict(l).get('server')): v for n, l, v in seen[-1]}
    assert [last[n, s] for n in ('corvane_server_players', 'corvane_server_bots') for s in ('busy', 'nohost')] == [
        5, 0, 2, 0], last
    log = fleet.log()
    alerts = sorted(re.sub(r'error \d+', 'error N', line) for line in log if line.startswith('Alerts for'))
    assert alerts == [f'Alerts for "{n}" cannot be delivered (error N), retrying' for n in ('hang', 'lost')] + [
        'Alerts for "nohost" cannot be delivered: its host "nosuch.invalid" does not resolve (error N), retrying'], log
    del fleet.servers['lost'], fleet.servers['badurl']  # a bad AlertUrl would fail the reload's check
    hang.keys['AlertUrl'] = deaf.url.replace('/hook', '/again')  # its message is posted again at once
    configure(fleet)
    taken = len(deaf.taken)
    assert wine(fleet.exe, '-r')[0] == 0
    fleet.logged('Alerts for "lost" not delivered at its removal: 1', 30)
    fleet.wait(lambda: len(deaf.taken) > taken, 30, 'the message of hang posted to its new URL')
    began = time.monotonic()
    assert fleet.stop() == (1, 0, 0)
    took = time.monotonic() - began
    print(f'stop while a post hangs: {took:.1f} s', flush=True)
    assert took < 4.5 and re.fullmatch(r'Alerts not delivered at the stop: \d+', fleet.log()[-3]), (took, fleet.log())


def planned_restart(fleet):
    """RestartAt a minute or so ahead of the local clock: the empty server is
    restarted within one check of that minute, the one with players waits
    (restart_due) until a check finds it empty; corvane.prom shows the time
    before and the restarts after, which count as no crash and alert nobody."""
    from prometheus_client.parser import text_string_to_metric_families
    hook, at = Webhook(), (int(time.time()) + 90) // 60 * 60  # 30 to 90 s ahead
    hhmm = time.strftime('%H:%M', time.localtime(at))
    fleet.add('nightly', 'players 0 0\n', RestartAt=hhmm, AlertUrl=hook.url)
    busy = fleet.add('busy', 'players 2 0\n', RestartAt=f'"04:00, {hhmm}"', AlertUrl=hook.url)
    fleet.configure()
    fleet.start()
    series = lambda: {(s.name, s.labels.get('server'), s.labels.get('reason', s.labels.get('state'))): s.value
                      for f in text_string_to_metric_families(open(fleet.root + '/corvane.prom').read())
                      for s in f.samples}
    fleet.wait_answer('busy', 1)
    next_at = ('corvane_server_next_planned_restart_timestamp_seconds', 'nightly', None)
    fleet.wait(lambda: series().get(next_at) == at, 5, lambda: f'{at} in {series()}')
    fleet.logged('"busy" is due for its planned restart at ' + hhmm, 120)
    fleet.wait_answer('nightly', 2)  # restarted, while busy waits with its players
    assert series()[('corvane_server_state', 'busy', 'restart_due')] == 1 and '"busy" is empty' not in str(fleet.log())
    write(busy.file('srcds_control.txt'), 'players 1 1\n')  # a bot alone: empty
    fleet.wait_answer('busy', 2)
    fleet.wait(lambda: series()[next_at] == at + 86400, 5, lambda: f'{at + 86400} in {series()}')
    log = open(fleet.root + '/corvane.log', encoding='latin-1').read().splitlines()
    for name in ('nightly', 'busy'):
        assert [line[25:] for line in log if f'"{name}"' in line] == [f'"{name}" {text}' for text in (
            'launched successfully', 'is due for its planned restart at ' + hhmm,
            'is empty and has been terminated for its planned restart', 'launched successfully')], log
    ended = [line for line in log if 'terminated for its planned restart' in line]
    taken = int(ended[0][15:17]) * 3600 + int(ended[0][18:20]) * 60 + int(ended[0][21:23])
    assert (taken - int(hhmm[:2]) * 3600 - int(hhmm[3:]) * 60) % 86400 <= 6, ended[0]  # within one check
    counts = series()
    assert [counts[('corvane_server_planned_restarts_total', n, 'hour')] for n in ('nightly', 'busy')] == [1, 1]
    assert sum(v for k, v in counts.items() if k[0] == 'corvane_server_restarts_total') == 0, counts
    time.sleep(3)  # what the alert thread would send for an exit it sends within a second or two
    assert hook.posts == [], hook.posts


def at_a_glance(fleet):
    """corvane -l over the running service, its rows the log's facts in
    corvane.cfg's order (a server a reload added at the top comes first): all
    running (exit 0); then a crash loop, a silent server, a hold, and an update
    of a newer build waiting for players (exit 1); a stopped service gives exit
    2 and one line."""
    for name in ('crashy', 'mute', 'held'):
        fleet.add(name, RestartBackoff=20)
    full = fleet.add('full', 'players 3 1\n', 'build 200\n', UpdateCheck=1, UpdateWait=10, MaxMemory=0)
    os.makedirs(full.file('steamapps'))
    write(full.file('steamapps/appmanifest_232330.acf'), '"AppState"\n{\n"buildid" "100"\n}\n')
    fleet.configure()
    fleet.start()
    fleet.add('first')
    fleet.servers = {'first': fleet.servers.pop('first'), **fleet.servers}
    fleet.configure()
    says((0, 'Config file "corvane.cfg" is valid, servers defined: 5\r\nReload of service "Corvane" requested\r\n'),
         fleet.exe, '-r')

    waiting = 'waiting for an empty server'

    def shows(code, states):  # the table once it holds these states, against the log
        def matches():
            shows.said, log = wine(fleet.exe, '-l'), fleet.log()
            rows = ['Service "Corvane" running for \\d+ (s|min); corvane.prom \\d s old',
                    'SERVER  +STATE  +SINCE  +PLAYERS MEMORY MiB']
            for name, state in zip(fleet.servers, states):
                up = state in ('running', waiting)
                players, memory = ('2\\+1' if name == 'full' else '0', r'\d+') if up else ('-', '-')
                rows.append(f'{name} +{state} +\\d+ (s|min) +{players} +{memory}{"" if name == "full" else "/64"}')
                counts = [(sum(line.startswith(start) for line in log), word) for start, word in (
                    (f'"{name}" has terminated', 'exit'), (f'"{name}" was unresponsive', 'unresponsive'),
                    (f'CreateServerProcess failed for "{name}"', 'failed launch'))]  # by Wine, under load
                restarts = ', '.join(f'{n} {word}' for n, word in counts if n)
                rows += ['    restarts: ' + restarts] * bool(restarts) + ['    build 100, newest 200'] * (state == waiting)
            return shows.said[0] == code and re.fullmatch('\r\n'.join(rows) + '\r\n', shows.said[1])
        fleet.wait(matches, 30, lambda: f'{states}, exit {code}: {shows.said}')
        return shows.said[1]

    shows(0, ['running'] * 5)  # before the build check, a minute after the launch
    write(fleet.servers['crashy'].file('srcds_control.txt'), 'exit 3\n')
    write(fleet.servers['mute'].file('srcds_control.txt'), 'silent\nanswer\n')
    fleet.logged('"mute" was unresponsive and has been terminated', 60)
    fleet.wait_answer('mute', 2)
    fleet.logged('"crashy" keeps failing, next launch in 20s', 60)
    fleet.logged('"full" has an update waiting for an empty server', 60)
    write(fleet.servers['held'].file('mod/stop_request.txt'))
    table = shows(1, ['running', 'pausing after failures', 'running', 'held', waiting])
    held = [line for line in open(fleet.root + '/corvane.log') if '"held" is held' in line][0]
    since = re.search(r'\nheld +held +(\d+) s', table)  # since the hold's line, not the launch
    assert since and abs(time.time() - time.mktime(time.strptime(held[2:23], '%Y/%m/%d - %H:%M:%S'))
                         - int(since.group(1))) <= 3, table
    fleet.stop()
    says((2, 'Service "Corvane" is not running (stopped): corvane.prom is not current\r\n'), fleet.exe, '-l')


def https_alerts(fleet):
    """An alert over https reaches a receiver whose certificate's authority the
    prefix trusts, and never one whose authority it does not know."""
    hooks = {name: tls_webhook(fleet.root, name, name == 'trusted') for name in ('trusted', 'unknown')}
    for name, hook in hooks.items():
        fleet.add(name, AlertUrl=hook.url)
    fleet.configure()
    fleet.start()
    for name in hooks:
        fleet.wait_answer(name, 1)
        write(fleet.servers[name].file('mod/stop_request.txt'))
    fleet.wait(lambda: any(line.startswith('Alerts for "unknown" cannot be delivered') for line in fleet.log()), 30,
               'the alert of "unknown" refused')
    fleet.wait(lambda: hooks['trusted'].posts, 30, 'the alert of "trusted" posted')
    assert [p[1]['content'] for p in hooks['trusted'].posts] == ['"trusted" is held by stop_request.txt'] and not \
        hooks['unknown'].posts, (hooks['trusted'].posts, hooks['unknown'].posts)


if __name__ == '__main__':  # the tests named, or all but the fleet's run and the planned restart (a prefix of their own)
    run([globals()[name] for name in sys.argv[1:]] or [console, installer, startup_failures, config_check,
                                                       reload, graceful_stop, seen_from_afar, at_a_glance,
                                                       https_alerts])
