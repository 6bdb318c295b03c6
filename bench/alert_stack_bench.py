"""How deep the alert thread's stack goes: bench/corvane_stack_probe.exe (this
corvane.exe, its alert thread's stack painted at the start and fenced
AlertStackSize below its top, see alert_sender.cpp) runs as the service with
five servers whose alerts go over https to a receiver the prefix trusts and
to one whose authority it does not know, over http, to a closed port, and to
a host that does not resolve. Each server is held by stop_request.txt and let
go again: two alerts each, the failing ones retried. At the stop the probe
writes its deepest use; the bench prints it against AlertStackSize and fails
when the service died (a stack too small) or the use is more than a quarter
of the reservation.

Usage: python3 bench/alert_stack_bench.py
(in a prefix of its own; a failed run keeps its folder: see bench_prefix.py)"""
import os
import re
import socket

from bench_prefix import TOP, closed, own_prefix
import fixture  # on the path bench_prefix sets
from fixture import Fleet, Webhook, tls_webhook, write


def main():
    fixture.EXE = os.path.join(TOP, 'build', 'windows', 'bench', 'corvane_stack_probe.exe')
    source = open(os.path.join(TOP, 'src', 'report', 'alert_sender.cpp')).read()
    reserved = int(re.search(r'AlertStackSize = (\d+)', source).group(1))
    fleet = Fleet('alert_stack_bench')
    with own_prefix(), closed(fleet):
        hooks = {'trusted': tls_webhook(fleet.root, 'trusted', True),
                 'unknown': tls_webhook(fleet.root, 'unknown', False), 'plain': Webhook()}
        with socket.socket() as probe:
            probe.bind(('127.0.0.1', 0))
            refused = f'"http://127.0.0.1:{probe.getsockname()[1]}/hook"'
        urls = {name: hook.url for name, hook in hooks.items()} | {
            'refused': refused, 'nohost': '"https://nosuch.invalid/hook"'}
        for name, url in urls.items():
            fleet.add(name, AlertUrl=url)
        fleet.configure()
        fleet.start()
        pid = fleet.service()

        def posted(n):
            assert os.path.exists(f'/proc/{pid}'), f'the service died: a stack of {reserved} bytes is too small'
            return len(hooks['trusted'].posts) >= n and len(hooks['plain'].posts) >= n

        for name in urls:
            fleet.wait_answer(name, 1)
            write(fleet.servers[name].file('mod/stop_request.txt'))
        fleet.wait(lambda: posted(1), 60, 'the first alerts posted')
        for name in urls:
            os.remove(fleet.servers[name].file('mod/stop_request.txt'))
        fleet.wait(lambda: posted(2), 90, 'the second alerts posted')  # a minute after the first
        refusals = sum(line.startswith('Alerts for') for line in fleet.log())
        status = fleet.stop()
        used = int(open(os.path.join(fleet.root, 'alert_stack.txt')).read())
        print(f'alert thread: deepest stack use {used} bytes ({used / 1024:.1f} KiB) of {reserved} reserved; '
              f'posts delivered {len(hooks["trusted"].posts)} https, {len(hooks["plain"].posts)} http; '
              f'{refusals} lines of alerts not delivered; stopped as {status}')
        assert 4 * used <= reserved, 'less than four times the deepest use reserved'


if __name__ == '__main__':
    main()
