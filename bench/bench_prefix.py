"""What the service benches share: a Wine prefix of their own, build/bench-prefix,
booted afresh before the first Wine program and ended after the last (a prefix
Wine creates on first use ends all its processes once it is made, a running
service among them); ports no test takes; a failed run's folder kept under
build/windows/test-runs/ and printed; and the prefix's wineserver, to time."""
import contextlib
import os
import subprocess
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PREFIX = os.path.join(TOP, 'build', 'bench-prefix')
# Read by scripts/wine-run at each call, and by the fixture for what it keeps.
os.environ['CORVANE_WINEPREFIX'] = PREFIX
# Unless CORVANE_PORTS says otherwise, ports no test takes: windows_test takes
# 20000-25999, the demo 27015-27017, the service tests 28000 and up. A stand-in
# binds beside a socket on its port, so a port two runs share goes unseen.
os.environ.setdefault('CORVANE_PORTS', '26000-27000')
sys.path.insert(0, os.path.join(TOP, 'tests', 'helpers'))


@contextlib.contextmanager
def own_prefix():
    """build/bench-prefix, booted afresh for the block and ended after it."""
    script = os.path.join(TOP, 'scripts', 'wine-prefix')
    subprocess.run([script, 'start', PREFIX], check=True)
    try:
        yield
    finally:
        subprocess.run([script, 'stop', PREFIX])


@contextlib.contextmanager
def closed(fleet):
    """The fleet, closed after the block: its folder kept if the block failed."""
    passed = False
    try:
        yield fleet
        passed = True
    finally:
        fleet.close(passed)


def wineserver():
    """The Linux id of the prefix's wineserver. It serves every Wine process of
    the prefix: part of each one's work is done, and counted, there."""
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            if (os.path.basename(os.readlink(f'/proc/{pid}/exe')).startswith('wineserver') and
                    f'WINEPREFIX={PREFIX}' in open(f'/proc/{pid}/environ').read().split('\0')):
                return int(pid)
        except OSError:
            pass
    raise LookupError(f'no wineserver of {PREFIX}')
