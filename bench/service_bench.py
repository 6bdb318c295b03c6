"""The running service's figures under Wine, through the test fixture: the time
from a server's exit, and from its silence, to its successor answering; and,
over sixteen healthy servers, the CPU time of the service and of its prefix's
wineserver, the service's anonymous resident memory (Linux's view of the Wine
process) and the time a stop takes.

Usage: python3 bench/service_bench.py [seconds=60] [samples=10]
It boots build/bench-prefix afresh and ends it. A failed run keeps its folder
under build/windows/test-runs/ and prints where."""
import os
import statistics
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PREFIX = os.path.join(TOP, 'build', 'bench-prefix')
# Read by scripts/wine-run at each call, and by the fixture for what it keeps.
os.environ['CORVANE_WINEPREFIX'] = PREFIX
# Ports no test takes (windows_test 20000-25999, the demo 27015-27017, the
# service tests from 28000): a stand-in binds beside a socket on its port.
os.environ['CORVANE_PORTS'] = '26000-27000'
sys.path.insert(0, os.path.join(TOP, 'tests', 'helpers'))
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


def wineserver():
    """The Linux id of the prefix's wineserver: it serves every Wine process of
    the prefix, so part of each one's work is done, and counted, there."""
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            if (os.path.basename(os.readlink(f'/proc/{pid}/exe')).startswith('wineserver') and
                    f'WINEPREFIX={PREFIX}' in open(f'/proc/{pid}/environ').read().split('\0')):
                return int(pid)
        except OSError:
            pass
    raise LookupError(f'no wineserver of {PREFIX}')


def main(seconds=60, samples=10):
    fleet = Fleet('service_bench')
    fleet.add('one', MonitorDelay=5)
    fleet.configure()
    passed = False
    try:
        # A prefix Wine creates on first use ends all its processes once it is
        # made, the service among them: the bench boots its own before anything.
        subprocess.run([os.path.join(TOP, 'scripts', 'wine-prefix'), 'start', PREFIX], check=True)
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
        passed = True
    finally:
        fleet.close(passed)
        subprocess.run([os.path.join(TOP, 'scripts', 'wine-prefix'), 'stop', PREFIX])


if __name__ == '__main__':
    main(*(int(arg) for arg in sys.argv[1:3]))
