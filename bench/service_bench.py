"""The running service's figures under Wine, through the test fixture: the time
from a server's exit, and from its silence, to its successor answering; and,
over sixteen healthy servers, the CPU time of the service and of its prefix's
wineserver, the service's anonymous resident memory (Linux's view of the Wine
process) and the time a stop takes.

Usage: python3 bench/service_bench.py [seconds=60] [samples=10]
(in a prefix of its own; a failed run keeps its folder: see bench_prefix.py)"""
import os
import statistics
import sys
import time

from bench_prefix import closed, own_prefix, wineserver
from fixture import Fleet, query, write  # on the path bench_prefix sets


def recovery(fleet, fault, samples, launch):
    """Seconds from the fault to the next launch answering, per sample."""
    times = []
    for launch in range(launch, launch + samples):
        fleet.wait_answer('one', launch, 30)
        control = 'answer\n' * (launch - 1) + fault + '\nanswer\n'
        write(fleet.servers['one'].file('srcds_control.txt'), control)
        began = time.monotonic()
        fleet.wait_answer('one', launch + 1, 60)
        times.append(time.monotonic() - began)
    return times


def cpu_seconds(pid):
    fields = open(f'/proc/{pid}/stat').read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def main(seconds=60, samples=10):
    fleet = Fleet('service_bench')
    fleet.add('one', MonitorDelay=5)
    fleet.configure()
    with own_prefix(), closed(fleet):
        fleet.start()
        for launch, fault in ((1, 'exit 3'), (samples + 1, 'silent')):
            times = recovery(fleet, fault, samples, launch)
            print(f'{fault:6} -> answering again: min {min(times):.1f} s, median '
                  f'{statistics.median(times):.1f} s, max {max(times):.1f} s (n={samples})')
        fleet.stop()
        for i in range(15):
            fleet.add(f's{i:02}', MonitorDelay=5)
        fleet.configure()
        fleet.start()
        for server in fleet.servers.values():
            fleet.wait(lambda: query(server.port, 0.1) is not None, 60, f'{server.name} answers')
        pid, server = fleet.service(), wineserver()
        used, served, began = cpu_seconds(pid), cpu_seconds(server), time.monotonic()
        time.sleep(seconds)
        took = time.monotonic() - began
        share, server_share = (cpu_seconds(pid) - used) / took, (cpu_seconds(server) - served) / took
        memory = open(f'/proc/{pid}/status').read().split('RssAnon:')[1].split()[0]
        began = time.monotonic()
        fleet.stop()  # net stop, then sc query until STOPPED
        print(f'16 healthy servers, {seconds} s: service CPU {100 * share:.2f} % of one core '
              f'({3600 * share:.0f} s per hour), wineserver {100 * server_share:.2f} %; '
              f'RssAnon {int(memory) / 1024:.1f} MiB; '
              f'stopped {1000 * (time.monotonic() - began):.0f} ms after net stop')


if __name__ == '__main__':
    main(*(int(arg) for arg in sys.argv[1:3]))
