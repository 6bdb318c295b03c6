"""Sixteen stand-in servers under corvane.exe as a real service. Each server
carries one fault at a time and must come back from it as its next launch.
The first faults are fixed, so that every run has each kind (s00 starts
without srcds.exe, s06 answers only after a challenge); the later ones are
drawn from a seed. At the end: the stop, nothing left running, no two tools
ever at once, no request file left, memory flat. What each fault logs is the
stepped tests' to prove; here it is that sixteen threads recover side by side.

CORVANE_SOAK_SEED picks the seed (printed); CORVANE_SOAK_SECONDS the fault
window (default 75, the short form of every test run; faults start up to 25 s
and updates up to 45 s before its end). A failed soak keeps its folder with
soak_trail.txt: each fault and answer, and when."""
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'helpers'))
from fixture import query, run, started, write  # noqa: E402

FAULTS = {'exit': (3, 'exit {code}'), 'silence': (2, 'silent'), 'badheader': (1, 'badheader'),
          'bloat': (2, 'commit 96'), 'update': (3, 'request {code}')}  # weight, control line
FIRST = {'s01': 'update', 's02': 'silence', 's03': 'bloat', 's04': 'exit', 's05': 'badheader'}
TOOLS = {'success': '', 'retry': 'run fail,success\n', 'giveup': 'run fail\n',
         'selfupdate': 'check selfupdate,uptodate\n'}


def records(folder):
    """The records of every tool run in a folder, a dict each."""
    text = ''.join(open(f'{folder}/{name}', encoding='latin-1').read() for name in os.listdir(folder)
                   if 'record' in name)
    return [dict(line.split('=', 1) for line in block.split('\n') if '=' in line)
            for block in text.split('end\n')[:-1]]


def soak(fleet):
    seed = int(os.environ.get('CORVANE_SOAK_SEED', time.time_ns() % 10**9))
    seconds = int(os.environ.get('CORVANE_SOAK_SECONDS', 75))
    print(f'soak: CORVANE_SOAK_SEED={seed} CORVANE_SOAK_SECONDS={seconds}', flush=True)
    draw, began, trail = random.Random(seed), time.monotonic(), open(fleet.root + '/soak_trail.txt', 'w')
    note = lambda text: trail.write(f'{time.monotonic() - began:8.2f} {text}\n') or trail.flush()
    for i in range(16):
        s = fleet.add(f's{i:02}', 'challenge\n' if i == 6 else 'answer\n', tool='')
        s.base = 'challenge' if i == 6 else 'answer'
        s.launch, s.awaited, s.kind, s.since = 0, 1, 'start', began
    os.remove(fleet.servers['s00'].file('srcds.exe'))  # the tool puts it into its Path
    fleet.configure()
    fleet.start()
    service, memory, failures, faults, end = fleet.service(), [], [], [], time.monotonic() + seconds
    while True:
        now = time.monotonic()
        for s in fleet.servers.values():
            if s.awaited and started(s, s.awaited) and query(s.port, 0.05) == f'launch {s.awaited}':
                s.launch, s.awaited, s.next_at = s.awaited, None, now + draw.uniform(2, 10)
                note(f'{s.name} answers as launch {s.launch}')
            elif s.awaited and now - s.since > (180 if s.kind in ('update', 'start') else 60):
                failures.append(f'{s.name} not back after a {s.kind} fault')
                s.awaited, s.next_at = None, float('inf')
            elif not s.awaited and s.next_at <= now < end - 25:
                updates = sum(x.awaited is not None and x.kind == 'update' for x in fleet.servers.values())
                kinds = [k for k in FAULTS if k != 'update' or (updates < 2 and now < end - 45)]
                s.kind = FIRST.pop(s.name, None) or draw.choices(kinds, [FAULTS[k][0] for k in kinds])[0]
                code, tool = draw.choice([0, 1, 3, 42, 255, 0xC0000005]), draw.choice(list(TOOLS))
                if s.kind == 'update':  # a fresh record: the tool counts its runs in it
                    if os.path.exists(s.file('tools/steamcmd_record.txt')):
                        os.rename(s.file('tools/steamcmd_record.txt'), s.file(f'tools/record.{s.launch}'))
                    write(s.file('tools/steamcmd_control.txt'), TOOLS[tool])
                write(s.file('srcds_control.txt'), f'{s.base}\n' * (s.launch - 1) +
                      FAULTS[s.kind][1].format(code=code) + f'\n{s.base}\n')
                s.awaited, s.since = s.launch + 1, now
                faults.append(s.kind)
                note(f'{s.name} launch {s.launch}: {s.kind} {code} {tool}')
        if not memory or now - memory[-1][0] > 3:
            memory.append((now, int(open(f'/proc/{service}/status').read().split('RssAnon:')[1].split()[0])))
        if now > end and all(s.awaited is None for s in fleet.servers.values()):
            break
        assert now < end + 60, 'faults still in flight a minute after the window'
        time.sleep(0.1)
    assert fleet.stop() == (1, 0, 0)
    log = fleet.log()
    assert log[0] == 'Corvane v1.10 started' and log[-2:] == ['Corvane v1.10 stopped', '']
    fleet.wait(lambda: fleet.processes() == [], 5, 'every process ended')
    tools = [r for s in fleet.servers.values() for r in records(s.file('tools'))]
    assert all(r['overlap'] == '0' for r in tools), 'two tools ran at once'
    assert not [s.name for s in fleet.servers.values() if os.path.exists(s.file('mod/update_request.txt'))]
    kib, quarter = [value for _, value in memory], max(1, len(memory) // 4)
    first, last = sorted(kib[:quarter])[quarter // 2], sorted(kib[-quarter:])[quarter // 2]
    print(f'soak: {len(faults)} faults ({", ".join(f"{k} {faults.count(k)}" for k in FAULTS)}), '
          f'{len(tools)} tool runs; service memory (RssAnon) {first} -> {last} KiB', flush=True)
    assert not failures, '\n'.join(failures)
    assert last <= first + 1024, f'memory grew from {first} to {last} KiB'


if __name__ == '__main__':
    run([soak])
