#!/usr/bin/env python3
"""corvane.exe without an argument on a real terminal: it prints the banner and
the prompt, then waits for one key, writes a newline and ends with status 0.

usage: banner_key_wait_test.py WINE_RUN CORVANE_EXE
"""
import os
import pty
import re
import select
import sys
import time

BANNER = (b"Corvane v1.10\n\n"
          b"Made by the Corvane project.\n"
          b"Report problems on the Corvane project's issue tracker.\n\n"
          b"Supported arguments:\n\n"
          b"  -i  Install service\n"
          b"  -u  Uninstall service\n\n"
          b"Place this executable in the desired location the service\n"
          b"should run from and then install it using the argument -i.\n\n"
          b"Once the service is installed, restart the system or open the\n"
          b"Services management console in order to start the service.\n\n")
PROMPT = b"Press any key to continue..."
STILL_WAITING_S = 2.0   # how long the program must keep waiting for its key
DEADLINE_S = 120.0      # upper bound for any one step under a busy Wine


def screen_text(raw):
    """The text as a terminal shows it. Wine's console draws through escape
    sequences: it hides and shows the cursor around each character, and moves
    the cursor right instead of writing blanks. The terminal turns LF into CR LF."""
    text = re.sub(rb"\x1b\[\?25[lh]", b"", raw)
    text = re.sub(rb"\x1b\[K", b"", text)
    text = re.sub(rb"\x1b\[(\d*)C", lambda m: b" " * int(m.group(1) or b"1"), text)
    text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", text)
    return text.replace(b"\r", b"")


def fail(message, seen=b""):
    print("FAIL: " + message)
    if seen:
        print("output so far: %r" % seen)
    sys.exit(1)


def read_until(fd, predicate, deadline, seen):
    while not predicate(seen):
        left = deadline - time.monotonic()
        if left <= 0:
            return seen, False
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the terminal closed: the program has ended
            return seen, predicate(seen)
        if not chunk:
            return seen, predicate(seen)
        seen += chunk
    return seen, True


def exited(pid):
    done, status = os.waitpid(pid, os.WNOHANG)
    return (done == pid), status


def main():
    wine_run, corvane = sys.argv[1], sys.argv[2]
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(wine_run, [wine_run, corvane])
    try:
        seen, ok = read_until(fd, lambda s: PROMPT in screen_text(s),
                              time.monotonic() + DEADLINE_S, b"")
        if not ok:
            fail("no prompt", screen_text(seen))
        if screen_text(seen) != BANNER + PROMPT:
            fail("banner differs", screen_text(seen))

        # Still waiting for its key: nothing more arrives and it has not ended.
        waited_until = time.monotonic() + STILL_WAITING_S
        after_prompt = b""
        while time.monotonic() < waited_until:
            done, _ = exited(pid)
            if done:
                fail("ended before a key was pressed", seen)
            ready, _, _ = select.select([fd], [], [], 0.1)
            if ready:
                after_prompt += os.read(fd, 4096)
        if screen_text(after_prompt) != b"":
            fail("wrote after the prompt before a key was pressed", after_prompt)

        os.write(fd, b"x")
        after_key, ok = read_until(fd, lambda s: b"\n" in screen_text(s),
                                   time.monotonic() + DEADLINE_S, b"")
        if not ok:
            fail("no newline after the key", after_key)

        deadline = time.monotonic() + DEADLINE_S
        while True:
            done, status = exited(pid)
            if done:
                break
            if time.monotonic() > deadline:
                fail("did not end after the key", after_key)
            try:
                if select.select([fd], [], [], 0.1)[0]:
                    after_key += os.read(fd, 4096)
            except OSError:
                pass
        # The key is read without echo: only the newline follows the prompt.
        try:
            while select.select([fd], [], [], 0.2)[0]:
                after_key += os.read(fd, 4096)
        except OSError:
            pass
        if screen_text(after_key) != b"\n":
            fail("after the key: %r" % screen_text(after_key), after_key)
        if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
            fail("exit status %r" % status)
        print("PASS")
    finally:
        if not exited_safely(pid):
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        os.close(fd)


def exited_safely(pid):
    try:
        done, _ = os.waitpid(pid, os.WNOHANG)
        return done == pid
    except ChildProcessError:
        return True


if __name__ == "__main__":
    main()
