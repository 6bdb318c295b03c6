"""A reload's figures under Wine, through the test fixture: the time from
`corvane -r` to a server added by it answering, with fourteen unchanged
servers running beside it, and how many processes of those unchanged servers
the reloads restarted (their stand-ins' launch counts and process ids).
Each reload adds one server and removes the one the last reload added; the
next waits until that one has ended (a reload asked for while a server is
still ending waits for it, up to a second, and is not what is timed here).

Usage: python3 bench/reload_bench.py [samples=10]
(in a prefix of its own; a failed run keeps its folder: see bench_prefix.py)"""
import statistics
import sys
import time

from bench_prefix import closed, own_prefix
from fixture import Fleet, query, says, started  # on the path bench_prefix sets


def main(samples=10):
    fleet = Fleet('reload_bench')
    unchanged = [fleet.add(f's{i:02}') for i in range(14)]
    fleet.configure()
    with own_prefix(), closed(fleet):
        fleet.start()
        for s in unchanged:
            fleet.wait_answer(s.name, 1, 60)
        before = {s.name: fleet.processes(s.file('srcds.exe')) for s in unchanged}
        times = []
        for i in range(samples):
            fleet.servers.pop(f'x{i - 1}', None)
            added = fleet.add(f'x{i}')
            fleet.configure()
            began = time.monotonic()
            says((0, 'Config file "corvane.cfg" is valid, servers defined: 15\r\n'
                     'Reload of service "Corvane" requested\r\n'), fleet.exe, '-r')
            fleet.wait(lambda: started(added, 1) and query(added.port, 0.1) == 'launch 1', 30,
                       f'x{i} answering')
            times.append(time.monotonic() - began)
            fleet.logged(f'Config file reloaded: 14 unchanged, 1 added, 0 changed, '
                         f'{1 if i else 0} removed', 10)
            if i:
                fleet.logged(f'"x{i - 1}" has been terminated', 10)
        restarted = sum(open(s.file('srcds_starts.txt')).read().count('\n') != 1 or
                        fleet.processes(s.file('srcds.exe')) != before[s.name] for s in unchanged)
        print(f'corvane -r -> added server answering: min {min(times):.2f} s, median '
              f'{statistics.median(times):.2f} s, max {max(times):.2f} s (n={samples}); '
              f'unchanged servers restarted: {restarted} of {len(unchanged)}')
        fleet.stop()


if __name__ == '__main__':
    main(*(int(arg) for arg in sys.argv[1:2]))
