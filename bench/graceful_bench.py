"""Time from a planned end to each server's process gone, over sixteen
servers at the service's stop: with RconPassword (each stand-in quits when
asked, 0.3 s after it is told, as a server that saves first) and without it
(each is terminated). Prints, per kind, the median and the longest time from
net stop to a server's process gone, and to the service's STOPPED.

Usage: python3 bench/graceful_bench.py [rounds=3]
(in a prefix of its own; a failed run keeps its folder: see bench_prefix.py)"""
import os
import statistics
import sys
import time

from bench_prefix import closed, own_prefix
from fixture import Fleet, wine, write  # on the path bench_prefix sets


def running(fleet):
    """The servers whose srcds.exe runs now, by name (Linux's view of the Wine processes)."""
    names = set()
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            maps = open(f'/proc/{pid}/maps').read()
        except OSError:
            continue
        names |= {s.name for s in fleet.servers.values() if s.path + '/srcds.exe' in maps}
    return names


def one_stop(with_key):
    fleet = Fleet('graceful_bench')
    for i in range(16):
        keys = dict(RconPassword='pw', StopWait=10) if with_key else {}
        s = fleet.add(f'b{i:02}', **keys)
        write(s.file('srcds_rcon.txt'), 'quit pw\n')
    fleet.configure()
    with closed(fleet):
        fleet.start()
        for name in fleet.servers:
            fleet.wait_answer(name, 1, 60)
        gone, began = {}, time.monotonic()
        wine('net', 'stop', 'Corvane')
        while len(gone) < 16 or not fleet.stopped():
            now = time.monotonic() - began
            gone.update({name: now for name in set(fleet.servers) - running(fleet) - set(gone)})
            assert now < 60, 'no stop within a minute'
        return sorted(gone.values()), time.monotonic() - began


def main(rounds=3):
    with own_prefix():
        for with_key in (False, True):
            ends, stops = [], []
            for _ in range(rounds):
                gone, stopped = one_stop(with_key)
                ends += gone
                stops.append(stopped)
            print(f'{"with" if with_key else "without"} RconPassword, 16 servers x {rounds}: process '
                  f'gone median {statistics.median(ends):.2f} s, max {max(ends):.2f} s after net stop; '
                  f'STOPPED median {statistics.median(stops):.2f} s', flush=True)


if __name__ == '__main__':
    main(*(int(arg) for arg in sys.argv[1:2]))
