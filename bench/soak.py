"""Faults at random for as long as asked: sixteen stand-in servers under the
service, each with its own tool and an AlertUrl, and one fault at a time
dealt to a server that is answering (an exit, silence, a wrong reply, memory
over MaxMemory, an update that succeeds, one that is retried, one that gives
up, a hold by stop_request.txt), and every two and a half minutes a reload
through corvane -r that changes, removes or adds back a server. Every 15 s it
samples the service's anonymous resident memory (RssAnon), its thread count
(Linux's, one per Wine thread) and its Windows handle count (from the
system's handle table, by bench/handle_count.exe), and at the end prints the
median of the first and of the last quarter of each, the faults dealt, and
the log's lines by kind. The samples go to build/soak-samples.csv, the log to
build/soak-corvane.log.

Usage: python3 bench/soak.py MINUTES   (by hand, not in CI)
(in a prefix of its own, build/soak-prefix, and a folder of its own under
build/soak-runs, so that a test run beside it, which clears
build/windows/test-runs, leaves it alone; ports 26000-27000 as the benches)"""
import collections
import os
import random
import re
import shutil
import signal
import statistics
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault('CORVANE_RUNS', os.path.join(TOP, 'build', 'soak-runs'))
import bench_prefix  # noqa: E402

bench_prefix.PREFIX = os.environ['CORVANE_WINEPREFIX'] = os.path.join(TOP, 'build', 'soak-prefix')
from bench_prefix import closed, own_prefix  # noqa: E402
from fixture import Fleet, Webhook, query, wine, write  # noqa: E402

COUNTER = os.path.join(TOP, 'build', 'windows', 'bench', 'handle_count.exe')
SAMPLE_S, RELOAD_S, FAULT_CHANCE, STUCK_S = 15, 150, 1 / 6, 300  # a fault in about one second of six
UPDATES = {'updated': ['success'], 'retried': ['fail', 'success'], 'gave_up': ['fail']}
FAULTS = ['exit 3', 'silent', 'badheader', 'commit 96', 'hold'] + list(UPDATES)


def launches(s):
    """How many times the server's stand-in has started."""
    try:
        return open(s.file('srcds_starts.txt')).read().count('\n')
    except OSError:
        return 0


def back(s):
    """Whether the server's newest launch answers, the one the fault waits for or later."""
    n = launches(s)
    return n >= s.waits_for and query(s.port, 0.1) == f'launch {n}'


def deal(s, fault, now):
    """Gives the server's running launch the fault; its next launch answers."""
    n = launches(s)
    s.waits_for, s.fault, s.since = n + 1, fault, now
    if fault == 'hold':
        write(s.file('mod/stop_request.txt'))
        s.held_until = now + random.uniform(10, 40)
        return
    if fault in UPDATES:  # the nth run of the tool takes the nth mode, the last repeating
        runs = open(s.file('tools/steamcmd_record.txt')).read().count('kind=run\n') if os.path.exists(
            s.file('tools/steamcmd_record.txt')) else 0
        write(s.file('tools/steamcmd_control.txt'), 'run ' + ','.join(['success'] * runs + UPDATES[fault]) + '\n')
        fault = 'request 0'
    write(s.file('srcds_control.txt'), 'answer\n' * (n - 1) + fault + '\nanswer\n')


def sample(fleet, pid, samples):
    status = open(f'/proc/{pid}/status').read()
    code, text = wine(COUNTER, 'corvane.exe')
    counts = dict(line.split() for line in text.splitlines())
    assert code == 0 and counts, (code, text)
    handles = int(counts[fleet.windows_pid]) if fleet.windows_pid in counts else None
    assert handles is not None or len(counts) == 1, text  # a corvane -r beside it, at the first sample
    fleet.windows_pid = fleet.windows_pid or next(iter(counts))
    samples.append((time.monotonic(), int(status.split('RssAnon:')[1].split()[0]),
                    int(status.split('Threads:')[1].split()[0]), int(counts[fleet.windows_pid])))


def reload(fleet, removed, now):
    """Removes an answering server, adds back the one removed before, or changes one's map."""
    idle = [s for s in fleet.servers.values() if s.fault is None]
    if removed:
        s = removed.pop()
        fleet.servers[s.name], s.waits_for, s.fault, s.since = s, launches(s) + 1, 'added back', now
        what = f'added {s.name} back'
    elif idle and random.random() < 0.5:
        s = random.choice(idle)
        del fleet.servers[s.name]
        removed.append(s)
        what = f'removed {s.name}'
    elif idle:
        s = random.choice(idle)
        s.keys['MapName'] = 'm2' if s.keys['MapName'] == 'm' else 'm'
        s.waits_for, s.fault, s.since = launches(s) + 1, 'changed', now
        what = f'changed {s.name}'
    else:
        return None
    fleet.configure()
    said = wine(fleet.exe, '-r')
    assert said[0] == 0, said
    return what


def trend(label, values):
    quarter = max(1, len(values) // 4)
    first, last = statistics.median(values[:quarter]), statistics.median(values[-quarter:])
    return f'{label}: first quarter median {first:g}, last quarter median {last:g} ({last - first:+g}); ' \
           f'min {min(values)}, max {max(values)}'


def main(minutes):
    hook, fleet = Webhook(), Fleet('soak')
    for i in range(16):
        s = fleet.add(f's{i:02}', tool='', AlertUrl=hook.url)
        s.waits_for, s.fault, s.since, s.held_until = 1, 'start', time.monotonic(), None
    fleet.configure()
    fleet.windows_pid, samples, dealt, removed, stuck = None, [], collections.Counter(), [], set()
    with own_prefix(), closed(fleet):
        fleet.start()
        pid, began = fleet.service(), time.monotonic()
        end, next_sample, next_reload, next_note = began + 60 * minutes, began, began + RELOAD_S, began + 300
        while time.monotonic() < end:
            now = time.monotonic()
            assert os.path.exists(f'/proc/{pid}'), 'the service process is gone'
            if now >= next_sample:
                sample(fleet, pid, samples)
                next_sample += SAMPLE_S
            for s in list(fleet.servers.values()):
                if s.held_until is not None and now >= s.held_until:
                    os.remove(s.file('mod/stop_request.txt'))
                    s.held_until = None
                if s.fault is not None and s.held_until is None and back(s):
                    s.fault = None
                elif s.fault is not None and now - s.since > STUCK_S and s.name not in stuck:
                    stuck.add(s.name)
                    print(f'{s.name} not back {STUCK_S} s after {s.fault}', flush=True)
            idle = [s for s in fleet.servers.values() if s.fault is None]
            if idle and random.random() < FAULT_CHANCE:
                fault = random.choice(FAULTS)
                deal(random.choice(idle), fault, now)
                dealt[fault] += 1
            if now >= next_reload:
                what = reload(fleet, removed, now)
                dealt['reload'] += what is not None
                next_reload += RELOAD_S
            if now >= next_note:
                t, memory, threads, handles = samples[-1]
                print(f'{(now - began) / 60:.0f} min: {sum(dealt.values())} faults; RssAnon {memory} KiB, '
                      f'{threads} threads, {handles} handles', flush=True)
                next_note += 300
            time.sleep(1)
        took = (time.monotonic() - began) / 60
        shutil.copy(fleet.root + '/corvane.log', os.path.join(TOP, 'build', 'soak-corvane.log'))
        kinds = collections.Counter(re.sub(r'\d+', 'N', re.sub(r'"[^"]*"', '"%"', line)) for line in fleet.log())
        status = fleet.stop()
    with open(os.path.join(TOP, 'build', 'soak-samples.csv'), 'w') as out:
        out.write('seconds,rss_anon_kib,threads,handles\n')
        out.writelines(f'{t - began:.0f},{m},{n},{h}\n' for t, m, n, h in samples)
    print(f'{took:.1f} minutes, {len(samples)} samples every {SAMPLE_S} s, {len(hook.posts)} alerts posted; '
          f'stopped as {status}')
    print('faults dealt: ' + ', '.join(f'{fault} {n}' for fault, n in sorted(dealt.items())))
    print('not back within 5 minutes: ' + (', '.join(sorted(stuck)) or 'none'))
    for label, at in (('RssAnon KiB', 1), ('threads', 2), ('handles', 3)):
        print(trend(label, [s[at] for s in samples]))
    print('log lines by kind:')
    for line, n in kinds.most_common():
        print(f'{n:6}  {line}')


if __name__ == '__main__':
    signal.signal(signal.SIGTERM, lambda *_: sys.exit('ended by SIGTERM'))  # the service and prefix ended too
    main(float(sys.argv[1]))
