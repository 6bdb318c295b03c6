"""What corvane.prom and AlertUrl cost: sixteen healthy servers under the
service, once with a corvane.exe built without them (the baseline) and once
with this build and an AlertUrl on every server, one after the other in one
run: the service's CPU time and anonymous resident memory (Linux's view of
the Wine process) over the same number of seconds.

Usage: python3 bench/report_bench.py BASELINE_EXE [seconds=60]
(in a prefix of its own; a failed run keeps its folder: see bench_prefix.py)"""
import os
import sys
import time

from bench_prefix import closed, own_prefix
import fixture  # on the path bench_prefix sets
from fixture import Fleet, Webhook, query
from service_bench import cpu_seconds


def measure(name, exe, seconds, url=None):
    fixture.EXE = exe
    fleet = Fleet(name)
    with closed(fleet):
        for i in range(16):
            fleet.add(f's{i:02}', MonitorDelay=5, **({'AlertUrl': url} if url else {}))
        fleet.configure()
        fleet.start()
        for server in fleet.servers.values():
            fleet.wait(lambda: query(server.port, 0.1) is not None, 60, f'{server.name} answers')
        pid = fleet.service()
        used, began = cpu_seconds(pid), time.monotonic()
        time.sleep(seconds)
        share = (cpu_seconds(pid) - used) / (time.monotonic() - began)
        memory = int(open(f'/proc/{pid}/status').read().split('RssAnon:')[1].split()[0]) / 1024
        written = os.path.exists(os.path.join(fleet.root, 'corvane.prom'))
        fleet.stop()
        return share, memory, written


def main(baseline, seconds=60):
    hook = Webhook()
    runs = [('without', baseline, None), ('prom only', fixture.EXE, None), ('with', fixture.EXE, hook.url)]
    with own_prefix():
        results = {label: measure(f'report_bench_{label.replace(" ", "_")}', exe, seconds, url)
                   for label, exe, url in runs}
    for label, (share, memory, written) in results.items():
        print(f'16 healthy servers, {seconds} s, {label:9} (corvane.prom, AlertUrl): service CPU '
              f'{100 * share:.2f} % of one core, RssAnon {memory:.1f} MiB'
              f'{" (corvane.prom written)" if written else ""}')
    (cpu0, mem0, _), (cpu1, mem1, _) = results['without'], results['with']
    print(f'difference: CPU {100 * (cpu1 - cpu0) / cpu0:+.1f} %, memory {mem1 - mem0:+.2f} MiB')


if __name__ == '__main__':
    main(sys.argv[1], *(int(arg) for arg in sys.argv[2:3]))
