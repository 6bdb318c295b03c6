"""Sixteen stand-in servers under corvane.exe as a real service. Each server
carries one fault at a time and must come back from it as its next launch,
having logged exactly the lines that fault calls for, in order; a line may be
missing only where the log mutex's 250 ms bound dropped it, which is counted
and bounded. The first faults are fixed, so that every run proves each kind
(s00 starts uninstalled, s06 answers only after a challenge); the later ones
are drawn from a seed. At the end: the stop, nothing left running, no two
tools ever at once, the update lines against the tools' records, memory flat.

CORVANE_SOAK_SEED picks the seed (printed); CORVANE_SOAK_SECONDS the fault
window (default 75, the short form of every test run; faults start up to 25 s
and updates up to 45 s before its end). A failed soak keeps its folder with
soak_trail.txt: what the driver saw, and when."""
import os
import random
import shutil
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'helpers'))
from fixture import query, records, run, write  # noqa: E402

FAULTS = {'exit': (3, 'exit {code}', 'has terminated'),  # weight, control line, verdict line
          'silence': (2, 'silent', 'was unresponsive and has been terminated'),
          'badheader': (1, 'badheader', 'was unresponsive and has been terminated'),
          'bloat': (2, 'commit 96', 'exceeded memory limit and has been terminated'),
          'update': (3, 'request {code}', 'has terminated')}
FIRST = {'s01': 'update', 's02': 'silence', 's03': 'bloat', 's04': 'exit', 's05': 'badheader'}
TOOLS = {'success': ('', 1), 'retry': ('run fail,success\n', 2),  # control, update runs
         'giveup': ('run fail\n', 3), 'selfupdate': ('check selfupdate,uptodate\n', 1)}


def soak(fleet):
    seed = int(os.environ.get('CORVANE_SOAK_SEED', time.time_ns() % 10**9))
    seconds = int(os.environ.get('CORVANE_SOAK_SECONDS', 75))
    print(f'soak: CORVANE_SOAK_SEED={seed} CORVANE_SOAK_SECONDS={seconds}', flush=True)
    draw, began, trail = random.Random(seed), time.monotonic(), open(fleet.root + '/soak_trail.txt', 'w')
    note = lambda text: trail.write(f'{time.monotonic() - began:8.2f} {text}\n') or trail.flush()
    for i in range(16):
        name = f's{i:02}'
        s = fleet.add(name, 'challenge\n' if i == 6 else 'answer\n', UpdPath='tools')
        os.makedirs(s.file('tools'))
        os.link(fleet.root + '/tools/steamcmd.exe', s.file('tools/steamcmd.exe'))
        s.state, s.launch, s.next_at, s.seen, s.answered = 'idle', 1, 0, [], 0
        s.base = 'challenge' if i == 6 else 'answer'
    s = fleet.servers['s00']  # not installed: the shared tool puts srcds.exe into its Path
    shutil.rmtree(s.path)
    s.keys['UpdPath'] = r'..\tools'
    s.state, s.kind, s.since, s.launch = 'fault', 'install', time.monotonic(), 0
    s.expected = ['"s00" has no srcds.exe, an update installs it', '[Update] Launched for "s00"',
                  '"s00" launched successfully']
    fleet.configure()
    fleet.install()
    fleet.start()
    service = next(p for p in fleet.processes() if b'-s' in open(f'/proc/{p}/cmdline', 'rb').read())
    read, lines, dropped, failures, memory, faults, refused = 0, 0, [], [], [], [], []
    end = time.monotonic() + seconds
    while True:
        now = time.monotonic()
        data = open(fleet.root + '/corvane.log', 'rb').read()[read:].decode('latin-1')
        read += data.rfind('\r\n') + 2 if '\r\n' in data else 0
        for line in [line[25:] for line in data[:data.rfind('\r\n')].split('\r\n') if line]:
            note(line)
            s = fleet.servers.get(line.split('"')[1] if line.count('"') > 1 else '')
            if s and line == f'CreateServerProcess failed for "{s.name}", retry in 10s':
                refused.append(line)  # Wine refusing a start under load; the service retries
            elif s and (s.state == 'fault' or s.launch == 1 and not s.seen and 'launched' in line):
                s.seen.append(line)  # a server's first launch line is taken here, then forgotten
            elif s:
                failures.append(f'a line outside any fault: {line}')
        for s in fleet.servers.values():
            if s.state == 'idle' and now >= s.next_at and now < end - 25 and s.seen:
                updates = sum(x.state == 'fault' and x.kind == 'update' for x in fleet.servers.values())
                kinds = [k for k in FAULTS if k != 'update' or (updates < 2 and now < end - 45)]
                s.kind = FIRST.pop(s.name, None) or draw.choices(kinds, [FAULTS[k][0] for k in kinds])[0]
                code, tool = draw.choice([0, 1, 3, 42, 255, 0xC0000005]), draw.choice(list(TOOLS))
                s.expected = [f'"{s.name}" {FAULTS[s.kind][2]}']
                if s.kind == 'update':
                    if os.path.exists(s.file('tools/steamcmd_record.txt')):
                        os.rename(s.file('tools/steamcmd_record.txt'), s.file(f'tools/record.{s.launch}'))
                    write(s.file('tools/steamcmd_control.txt'), TOOLS[tool][0])
                    s.expected += [f'"{s.name}" requested an update'] + \
                        [f'[Update] Launched for "{s.name}"'] * TOOLS[tool][1]
                s.expected.append(f'"{s.name}" launched successfully')
                write(s.file('srcds_control.txt'), f'{s.base}\n' * (s.launch - 1) +
                      FAULTS[s.kind][1].format(code=code) + f'\n{s.base}\n')
                s.state, s.since, s.seen, s.answered = 'fault', now, [], 0
                faults.append(s.kind)
                note(f'{s.name} launch {s.launch}: {s.kind} {code} {tool}')
            elif s.state == 'fault' and not s.answered and query(s.port, 0.05) == f'launch {s.launch + 1}':
                s.answered = now
            elif s.state == 'fault' and s.answered and (s.seen[-1:] == s.expected[-1:] or now > s.answered + 3):
                at = 0
                for line in s.expected:
                    at += at < len(s.seen) and s.seen[at] == line
                lines += len(s.expected)
                dropped += [f'{s.name}: {line}' for line in s.expected if line not in s.seen]
                if at != len(s.seen) or (s.kind == 'update' and os.path.exists(s.file('mod/update_request.txt'))):
                    failures.append(f'{s.name} after a {s.kind} fault: {s.seen}, not {s.expected}')
                s.state, s.launch, s.next_at = 'idle', s.launch + 1, now + draw.uniform(2, 10)
                note(f'{s.name} answers as launch {s.launch}')
            elif s.state == 'fault' and now - s.since > (180 if s.kind == 'update' else 60):
                failures.append(f'{s.name} not back after a {s.kind} fault: {s.seen}')
                s.state = 'broken'
        if not memory or now - memory[-1][0] > 3:
            status = open(f'/proc/{service}/status').read()
            memory.append((now, int(status.split('RssAnon:')[1].split()[0])))
        if now > end and all(s.state != 'fault' for s in fleet.servers.values()):
            break
        assert now < end + 60, 'faults still in flight a minute after the window'
        time.sleep(0.1)
    assert fleet.stop() == (1, 0, 0)
    log = fleet.log()
    assert log[0] == 'Corvane v1.10 started' and log[-2:] == ['Corvane v1.10 stopped', '']
    assert all(log.count(f'"{name}" has been terminated') <= 1 for name in fleet.servers), log[-20:]
    fleet.wait(lambda: fleet.processes() == [], 5, 'every process ended')
    tools = [r for folder in [fleet.root] + [s.path for s in fleet.servers.values()]
             if os.path.isdir(folder + '/tools') for name in os.listdir(folder + '/tools')
             if 'record' in name for r in records(f'{folder}/tools/{name}')]
    assert all(r['overlap'] == '0' for r in tools), 'two tools ran at once'
    runs = lambda kind, *modes: sum(r['kind'] == kind and r['mode'] in modes for r in tools)
    for line, count in [('Tool version check', runs('check', 'uptodate', 'selfupdate')),
                        ('Tool has been updated', runs('check', 'selfupdate')),
                        ('Tool is up to date', runs('check', 'uptodate')),
                        ('Completed successfully', runs('run', 'success'))]:
        assert log.count('[Update] ' + line) <= count, line
        lines, dropped = lines + count, dropped + [line] * (count - log.count('[Update] ' + line))
    kib = [value for _, value in memory]
    quarter = max(1, len(kib) // 4)
    first, last = sorted(kib[:quarter])[quarter // 2], sorted(kib[-quarter:])[quarter // 2]
    print(f'soak: {len(faults)} faults ({", ".join(f"{k} {faults.count(k)}" for k in FAULTS)}), '
          f'{len(tools)} tool runs, {lines} lines expected, dropped {dropped}; service memory '
          f'(RssAnon) {first} -> {last} KiB; starts Wine refused {len(refused)}', flush=True)
    assert not failures, '\n'.join(failures)
    assert len(dropped) <= max(4, lines // 50), dropped
    assert len(refused) <= 3, refused
    assert last <= first + 1024, f'memory grew from {first} to {last} KiB'


if __name__ == '__main__':
    run([soak])
