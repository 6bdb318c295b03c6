"""The running service's figures under Wine, through the test fixture: the time
from a server's exit, and from its silence, to its successor answering; and,
over sixteen healthy servers, the service's CPU time and anonymous resident
memory (Linux's view of the Wine process) and the time a stop takes.

Usage (a booted prefix of its own, see docs/performance.md):
  CORVANE_WINEPREFIX=... python3 bench/service_bench.py [seconds=60] [samples=10]"""
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'tests', 'helpers'))
from fixture import Fleet, query, write  # noqa: E402


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
    fleet.install()
    try:
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
        pid = fleet.service()
        used, began = cpu_seconds(pid), time.monotonic()
        time.sleep(seconds)
        share = (cpu_seconds(pid) - used) / (time.monotonic() - began)
        memory = open(f'/proc/{pid}/status').read().split('RssAnon:')[1].split()[0]
        began = time.monotonic()
        fleet.stop()  # net stop, then sc query until STOPPED
        print(f'16 healthy servers, {seconds} s: service CPU {100 * share:.2f} % of one core '
              f'({3600 * share:.0f} s per hour), RssAnon {int(memory) / 1024:.1f} MiB; '
              f'stopped {1000 * (time.monotonic() - began):.0f} ms after net stop')
    finally:
        fleet.close(True)


if __name__ == '__main__':
    main(*(int(arg) for arg in sys.argv[1:3]))
