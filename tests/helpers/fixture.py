"""corvane.exe as a service of Wine's service control manager, shared by the
service tests and the benchmarks: a folder under build/ with
corvane.exe, corvane.cfg, a shared tool folder and a folder per stand-in
server, installed, started and stopped through the real manager. A run that
fails keeps its folder and prints where it is. CTest names the build in the
environment; without it, the windows preset's build tree is taken."""
import json
import os
import random
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import SimpleNamespace

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXE, STANDIN, RUNS, WINE_RUN = (os.environ.get(name, os.path.join(TOP, path)) for name, path in (
    ('CORVANE_EXE', 'build/windows/corvane.exe'), ('CORVANE_STANDIN', 'build/windows/tests/standin.exe'),
    ('CORVANE_RUNS', 'build/windows/test-runs'), ('CORVANE_WINE_RUN', 'scripts/wine-run')))


def wine(*args):
    """Runs a Windows program to its end: its exit code and what it printed.
    Past a minute it fails, showing the processes of the moment."""
    try:
        done = subprocess.run([WINE_RUN, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=60)
    except subprocess.TimeoutExpired:
        print(subprocess.run(['ps', '-eo', 'pid,ppid,etimes,args'], capture_output=True, text=True).stdout)
        raise
    return done.returncode, done.stdout.decode('latin-1')


def says(code_and_text, *args):
    """Asserts what a Windows program ends with and prints."""
    said = wine(*args)
    assert said == code_and_text, (args, said)


def query(port, timeout=0.5):
    """The server name of the info reply from 127.0.0.1:port ("launch <n>" from a
    stand-in), after a challenge if one comes; None without a reply."""
    request = b'\xff\xff\xff\xffTSource Engine Query\x00'
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
        client.settimeout(timeout)
        client.connect(('127.0.0.1', port))
        try:
            client.send(request)
            reply = client.recv(1400)
            if reply[4:5] == b'A':
                client.send(request + reply[5:9])
                reply = client.recv(1400)
        except OSError:
            return None
    return reply[6:].split(b'\0')[0].decode() if reply[4:5] == b'I' else None


LOW, HIGH = map(int, os.environ.get('CORVANE_PORTS', '28000-31999').split('-'))  # both included
ports = [random.randrange(LOW, HIGH + 1)]


def free_port():
    """A UDP port of 127.0.0.1 free now, never handed out before: from the range
    of this test program (the others run beside it, and a server's port is free
    while it is relaunched), below the range of the system's own choosing."""
    while True:
        ports.append(LOW + (ports[-1] + 1 - LOW) % (HIGH + 1 - LOW))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind(('127.0.0.1', ports[-1]))
                return ports[-1]
            except OSError:
                pass


def started(s, launch):
    """Whether a server's stand-in has started that launch. Only then is it asked
    for its answer: Wine keeps the port of a process it ends while the process
    sends, for ever, and the server's next launch could not bind it."""
    try:
        return open(s.file('srcds_starts.txt')).read().count('\n') >= launch
    except OSError:
        return False


def write(path, text=''):
    with open(path, 'w') as out:
        out.write(text)


class Webhook:
    """A webhook on 127.0.0.1, in a thread of the test: posts gets each post's
    (time.monotonic(), JSON body, status). The first posts get the answers given
    as (status, headers), the rest 204; a silent one never answers. With tls (a
    certificate of localhost and its key files) it takes https."""
    def __init__(self, answers=(), silent=False, tls=None):
        self.posts, answers, hook = [], list(answers), self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers['Content-Length'])))
                status, headers = answers.pop(0) if answers else (204, {})
                hook.posts.append((time.monotonic(), body, status))
                self.send_response(status)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header('Content-Length', '0')
                self.end_headers()

            def log_message(self, *args):
                pass
        self.server = ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        if tls:  # each handshake is made as its connection is taken
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        host = 'https://localhost' if tls else 'http://127.0.0.1'  # Wine matches no address in a certificate
        self.url, self.taken = f'"{host}:{self.server.server_port}/hook"', []
        threading.Thread(target=self.hold if silent else self.server.serve_forever, daemon=True).start()

    def hold(self):
        while True:
            self.taken.append(self.server.socket.accept())


def tls_webhook(folder, name, trusted):
    """A Webhook over https, its certificate signed by an authority of its own
    that the prefix's machine Root store gets when trusted."""
    base = os.path.join(folder, name)
    subprocess.run(['sh', '-c', 'openssl req -x509 -newkey rsa:2048 -nodes -keyout "$0-ca.key" -out "$0-ca.pem" '
                    '-subj "/CN=$1 authority" -days 1 && openssl req -x509 -CA "$0-ca.pem" -CAkey "$0-ca.key" '
                    '-newkey rsa:2048 -nodes -keyout "$0.key" -out "$0.pem" -subj /CN=localhost '
                    '-addext subjectAltName=DNS:localhost -days 1', base, name], check=True, capture_output=True)
    if trusted:
        with open(base + '-ca.der', 'wb') as der:
            der.write(ssl.PEM_cert_to_DER_cert(open(base + '-ca.pem').read()))
        says((0, ''), STANDIN, 'trust', 'Z:' + base.replace('/', '\\') + '-ca.der')
    return Webhook(tls=(base + '.pem', base + '.key'))


class Fleet:
    def __init__(self, name):
        self.root, self.servers, self.installed = os.path.join(RUNS, name), {}, False
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(os.path.join(self.root, 'tools'))
        self.exe = os.path.join(self.root, 'corvane.exe')
        shutil.copy(EXE, self.exe)
        shutil.copy(STANDIN, os.path.join(self.root, 'tools', 'steamcmd.exe'))

    def add(self, name, control='answer\n', tool=None, **keys):
        """A server block; with a control text, a stand-in srcds.exe in its Path;
        with a tool control text, a tool of its own in Path\\tools."""
        path = os.path.join(self.root, name)
        s = SimpleNamespace(name=name, path=path, port=free_port(), file=lambda f: os.path.join(path, f))
        s.keys = dict(Path='Z:' + path.replace('/', '\\'), GameDir='mod', Host='127.0.0.1', Port=s.port,
                      MaxPlayers=8, MapName='m', MiscArgs='""', Priority='Normal', Affinity=1, MaxMemory=64,
                      MonitorDelay=1, UpdPath=r'..\tools' if tool is None else 'tools', UpdArgs=232330)
        s.keys.update(keys)
        os.makedirs(s.file('mod'))
        if control is not None:
            shutil.copy(STANDIN, s.file('srcds.exe'))
            write(s.file('srcds_control.txt'), control)
        if tool is not None:
            os.makedirs(s.file('tools'))
            os.link(self.root + '/tools/steamcmd.exe', s.file('tools/steamcmd.exe'))
            write(s.file('tools/steamcmd_control.txt'), tool)
        self.servers[name] = s
        return s

    def configure(self, text=None):
        write(os.path.join(self.root, 'corvane.cfg'), text if text is not None else ''.join(
            f'"{s.name}"\n{{\n' + ''.join(f'  {k} {v}\n' for k, v in s.keys.items()) + '}\n'
            for s in self.servers.values()))

    def install(self):
        says((0, 'Service "Corvane" successfully installed\r\n'), self.exe, '-i')
        self.installed = True

    def start(self, stops_at_once=False):
        """Installs the service if it is not, and starts it. For a service that
        stops at once, what the start says is no proof (Windows' net start calls
        it a failure, Wine's manager at times a timeout, 1053): its status is."""
        if not self.installed:
            self.install()
        said = wine('net', 'start', 'Corvane')
        assert said[0] == 0 or stops_at_once, said

    def status(self):
        """(state, Win32 exit code, service exit code), as sc query reports them;
        None while sc cannot read them (under Wine it prints nothing now and then,
        with exit code 1 or 0, while the manager starts or ends a service)."""
        said = wine('sc', 'query', 'Corvane')
        found = [re.search(field + r'\s*:\s*(\d+)', said[1])
                 for field in ('STATE', 'WIN32_EXIT_CODE', 'SERVICE_EXIT_CODE')]
        assert all(found) or said[1] == '', said
        return tuple(int(field.group(1)) for field in found) if all(found) else None

    def stopped(self):
        """Whether the service has stopped; its status is then self.last."""
        self.last = self.status()
        return (self.last or [0])[0] == 1

    def stop(self):
        """Asks the service to stop; its status once it has stopped."""
        wine('net', 'stop', 'Corvane')  # under Wine it returns before the stop, as sc does
        self.wait(self.stopped, 30, self.stop_state)
        return self.last

    def stop_state(self):
        return f'stopped (sc query read {self.last}; processes {self.processes()})'


    def log(self):
        """The event log's messages without their stamps. Every line must end in
        CR LF and carry its stamp, but the empty line after the stop line. It is
        written in the ANSI code page, 1252 here."""
        path = os.path.join(self.root, 'corvane.log')
        lines = open(path, 'rb').read().decode('cp1252', 'replace').split('\r\n') if os.path.exists(path) else ['']
        assert lines[-1] == '', 'a line without its CR LF: ' + lines[-1]
        stamp = re.compile(r'L \d{4}/\d\d/\d\d - \d\d:\d\d:\d\d: ')
        assert all(line == '' or stamp.match(line) for line in lines), 'a line without its stamp'
        return [line[25:] for line in lines[:-1]]

    def wait(self, done, seconds, what):
        """Polls done() until it holds, failing the test after seconds."""
        deadline = time.monotonic() + seconds
        while not done():
            assert time.monotonic() < deadline, f'not {what() if callable(what) else what} within {seconds} s'
            time.sleep(0.1)

    def logged(self, line, seconds=150):
        self.wait(lambda: line in self.log(), seconds, line)

    def wait_answer(self, name, launch, seconds=30):  # a start Wine refuses is taken again 10 s on
        s = self.servers[name]
        self.wait(lambda: started(s, launch) and query(s.port, 0.1) == f'launch {launch}', seconds,
                  f'{name} answering as launch {launch}')

    def processes(self, program=None):
        """Linux ids of the running processes of any program of the folder, or of that program file."""
        found = []
        for pid in filter(str.isdigit, os.listdir('/proc')):
            try:
                found += [int(pid)] if (program or self.root + '/') in open(f'/proc/{pid}/maps').read() else []
            except OSError:
                pass
        return found

    def service(self):
        """The Linux id of the running service process."""
        return next(p for p in self.processes() if b'-s' in open(f'/proc/{p}/cmdline', 'rb').read())

    def close(self, passed):
        """Removes the service, ends what is left, and keeps the folder of a failure."""
        if self.installed:
            wine(self.exe, '-u')
        for pid in self.processes():
            os.kill(pid, signal.SIGKILL)
        if passed:
            shutil.rmtree(self.root, ignore_errors=True)
        else:  # out of the way of the next run
            kept = f'{self.root}-failed-{time.strftime("%Y%m%d-%H%M%S")}'
            os.rename(self.root, kept)
            prefix = os.environ.get('CORVANE_WINEPREFIX', os.path.join(TOP, 'build/windows/wineprefix'))
            if os.path.exists(prefix + '.stderr.log'):  # what Wine programs wrote to standard error
                shutil.copy(prefix + '.stderr.log', kept)
            print('kept for the failure:', kept, flush=True)


def run(tests):
    """Runs each test function with a fleet folder of its own; exits non-zero if any failed."""
    failed = 0
    for test in tests:
        fleet, began, passed = Fleet(test.__name__), time.monotonic(), False
        try:
            test(fleet)
            passed = True
        except Exception:
            traceback.print_exc()
            failed += 1
        fleet.close(passed)
        print(f'{"ok" if passed else "FAIL"} {test.__name__} ({time.monotonic() - began:.1f} s)', flush=True)
    sys.exit(1 if failed else 0)
