#!/usr/bin/env python3
"""Runs the real topguard.exe under wine against real windows on a private Xvfb.

The windows come from guard_windows_app.exe, which is also the owner process.
Raises are timed from the moment the condition arises while the guard is
already running; the first one also includes the guard's start-up under wine.
"""
import argparse
import os
import subprocess
import sys
import time

RAISE_WITHIN = 1.0        # seconds: the guard polls every 200 ms
FIRST_RAISE_WITHIN = 5.0  # also covers starting a wine process
QUIET_FOR = 1.2           # seconds without a raise: six polls
EXIT_WITHIN = 1.0


class Failure(Exception):
    pass


def start_xvfb():
    """Starts Xvfb on a display it picks itself; returns (process, display)."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    if not number:
        xvfb.kill()
        xvfb.wait()
        raise Failure("Xvfb did not start")
    return xvfb, ":" + number


class WindowsApp:
    """The test program: its windows, and commands answered on its stdout."""

    def __init__(self, exe, env):
        self.process = subprocess.Popen(["wine", exe], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True, bufsize=1)
        words = self.process.stdout.readline().split()
        if len(words) != 3 or words[0] != "ready":
            raise Failure("test program did not start: %r" % words)
        self.target, self.pid = words[1], words[2]

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline().strip()
        if not answer:
            raise Failure("no answer to %s" % command)
        return answer

    def state(self):
        answer = self.ask("state")
        fields = dict(word.split("=", 1) for word in answer.split()[1:])
        return fields

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def raised(state):
    return state["topmost"] == "1" and state["above"] == "1"


def expect_raise(app, within, what):
    deadline = time.monotonic() + within
    while True:
        state = app.state()
        if raised(state):
            return
        if time.monotonic() > deadline:
            raise Failure("%s: target not raised within %.1f s: %s" % (what, within, state))
        time.sleep(0.02)


def expect_no_raise(app, what):
    state = app.state()
    if state["topmost"] != "0" or state["above"] != "0":
        raise Failure("%s: the popup is not above the plain target to begin with: %s" % (what, state))
    time.sleep(QUIET_FOR)
    state = app.state()
    if state["topmost"] != "0":
        raise Failure("%s: target raised: %s" % (what, state))


def expect_exit_zero(guard, within, what):
    try:
        status = guard.wait(timeout=within)
    except subprocess.TimeoutExpired:
        raise Failure("%s: topguard still running after %.1f s" % (what, within))
    if status != 0:
        raise Failure("%s: topguard exited with %d" % (what, status))


def run(args, env):
    started = []
    try:
        # Start-up failures need no windows.
        for argv, status in ((["5"], 2), (["0x10", "7"], 2), (["5", "4294967295"], 1)):
            got = subprocess.run(["wine", args.topguard] + argv, env=env, stdin=subprocess.DEVNULL,
                                 capture_output=True, timeout=30)
            if got.returncode != status or got.stdout or got.stderr:
                raise Failure("topguard %s: status %d, output %r %r" % (argv, got.returncode, got.stdout, got.stderr))

        app = WindowsApp(args.app, env)
        started.append(app)
        if raised(app.state()):
            raise Failure("target raised before the guard started")
        launched = time.monotonic()
        guard = subprocess.Popen(["wine", args.topguard, app.target, app.pid], env=env, stdin=subprocess.DEVNULL)
        started.append(guard)
        expect_raise(app, FIRST_RAISE_WITHIN - (time.monotonic() - launched), "first raise")

        app.ask("minimise")
        expect_no_raise(app, "popup minimised")
        app.ask("restore")
        expect_raise(app, RAISE_WITHIN, "popup restored")

        app.ask("away")
        expect_no_raise(app, "target beside the popup")
        app.ask("back")
        expect_raise(app, RAISE_WITHIN, "target back under the popup")

        app.ask("destroy")
        expect_exit_zero(guard, EXIT_WITHIN, "target destroyed")
        if app.process.poll() is not None:
            raise Failure("the owner ended early")

        # The owner ends while the target still exists.
        owner = WindowsApp(args.app, env)
        started.append(owner)
        guard = subprocess.Popen(["wine", args.topguard, owner.target, owner.pid], env=env, stdin=subprocess.DEVNULL)
        started.append(guard)
        expect_raise(owner, FIRST_RAISE_WITHIN, "first raise for the second owner")
        owner.process.stdin.write("exit\n")
        owner.process.stdin.flush()
        expect_exit_zero(guard, EXIT_WITHIN, "owner ended")
    finally:
        for p in reversed(started):
            if isinstance(p, WindowsApp):
                p.stop()
            elif p.poll() is None:
                p.kill()
                p.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--topguard", required=True)
    parser.add_argument("--app", required=True)
    args = parser.parse_args()

    xvfb, display = start_xvfb()
    try:
        env = dict(os.environ, DISPLAY=display)
        run(args, env)
    except Failure as failure:
        print("FAIL:", failure)
        return 1
    finally:
        xvfb.terminate()
        try:
            xvfb.wait(timeout=10)
        except subprocess.TimeoutExpired:
            xvfb.kill()
            xvfb.wait()
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
