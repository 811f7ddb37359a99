#!/usr/bin/python3
"""Starts the Windows updater under Wine and goes through its windows with the keyboard.

Wine's windows are not on the accessibility bus, so they are found on the X display instead
(xdotool: visible windows titled "Update" of the updater's process) and told apart by the
order they come in and their width: the offer, download and install forms are 450 pixels
wide inside their frame, the summary and the message boxes are not. Keys go where a person's
would: the offer opens with "Show changelog" focused (Space unfolds it; Tab, Space is
"Download now"), the summary with "View details" (Tab, Space is "Close"), a message box with
"OK" (Space). Each window is pictured (ImageMagick's import).

The relocation run starts the update run detached, so that copy is no child of this script;
this script makes itself the child subreaper, so that the copy, orphaned when the relocation
run ends, becomes its child, and it can wait for the update run's own exit code; it ends when
every Wine process of the session has ended.

Exit codes: 0 the update was installed and the summary closed; 3 only message boxes were
shown and confirmed (no updates available, or the query failed); 1 anything else (the
relocation or the update run failed, a time-out, an unexpected window). Either way, the
update run's exit code is printed as "updater exit code N".
"""

import argparse
import ctypes
import os
import subprocess
import sys
import time

POLL = 0.05
FORM_WIDTH = 450
# Wine draws a frame of a few pixels on each side of a window's client area.
FRAME_ALLOWANCE = 16
PR_SET_CHILD_SUBREAPER = 36


class Failure(Exception):
    pass


def say(text):
    print("clickthrough: " + text, flush=True)


def become_subreaper():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise Failure("cannot become the child subreaper (errno %d)" % ctypes.get_errno())


def children():
    """Our child processes with their command lines (Wine shows the Windows one)."""
    me = os.getpid()
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            if parent != me:
                continue
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                arguments = cmdline.read().split(b"\0")
            found[int(entry)] = arguments[0].decode("utf-8", "replace")
        except (OSError, IndexError, ValueError):
            continue  # ended meanwhile
    return found


class Updater:
    """The relocated update run, a child of ours once the relocation run has ended."""

    def __init__(self, pid):
        self.pid = pid
        self.exit_code = None

    def running(self):
        if self.exit_code is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.exit_code = os.waitstatus_to_exitcode(status)
        return self.exit_code is None

    def wait(self, timeout):
        deadline = time.monotonic() + timeout
        while self.running():
            if time.monotonic() > deadline:
                raise Failure("the update run did not end within %d s" % timeout)
            time.sleep(POLL)
        return self.exit_code


def find_relocated(timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for pid, program in children().items():
            if program.lower().replace("/", "\\").endswith("\\tupdates\\updater.exe"):
                return Updater(pid)
        time.sleep(POLL)
    raise Failure("no relocated updater (tupdates\\updater.exe) within %d s" % timeout)


def wait_for_wine_to_end(timeout):
    """Waits until every Wine process of the session has ended, the Wine server last.

    All of them are our children (orphans come to the subreaper); the server ends the session
    a few seconds after the last program, the restarted main application included.
    """
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            while os.waitpid(-1, os.WNOHANG)[0] != 0:
                pass
        except ChildProcessError:
            return True
        time.sleep(POLL)
    return False


def xdotool(*arguments):
    result = subprocess.run(["xdotool", *arguments], capture_output=True, text=True,
                            timeout=10)
    return result.stdout


def visible_windows(updater):
    """The updater's visible "Update" windows, oldest first."""
    found = xdotool("search", "--all", "--onlyvisible", "--pid", str(updater.pid),
                    "--name", "^Update$")
    return [int(line) for line in found.split() if line]


def geometry(window):
    values = dict(line.split("=", 1) for line in
                  xdotool("getwindowgeometry", "--shell", str(window)).split() if "=" in line)
    return int(values.get("WIDTH", -1)), int(values.get("HEIGHT", -1))


def is_form(window):
    return abs(geometry(window)[0] - FORM_WIDTH) <= FRAME_ALLOWANCE


def wait_for_new_window(updater, known, timeout, what, may_end=False):
    """The next window the updater shows; None if it ends first and may_end allows that."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for window in visible_windows(updater):
            if window not in known:
                known.add(window)
                return window
        if not updater.running():
            if may_end:
                return None
            raise Failure("the updater ended (exit code %d) without showing a %s"
                          % (updater.exit_code, what))
        time.sleep(POLL)
    raise Failure("no %s within %d s" % (what, timeout))


def wait_gone(updater, window, timeout, what):
    deadline = time.monotonic() + timeout
    while window in visible_windows(updater):
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(POLL)


def grab(window, path, settle=0.4):
    # Give the window a moment to paint after it appeared or changed.
    time.sleep(settle)
    result = subprocess.run(["import", "-window", str(window), path], capture_output=True,
                            timeout=20)
    if result.returncode != 0 or not os.path.exists(path) or os.path.getsize(path) == 0:
        return False
    say("saved " + path)
    return True


def picture(window, path):
    if not grab(window, path):
        raise Failure("could not take a picture of the window for " + path)


def press(window, *keys):
    xdotool("windowfocus", "--sync", str(window))
    for key in keys:
        xdotool("key", "--clearmodifiers", key)
        time.sleep(0.2)


def confirm_box(updater, window, folder, name, timeout):
    picture(window, os.path.join(folder, name))
    press(window, "space")
    say("confirmed the message box with OK")
    wait_gone(updater, window, timeout, "the message box to close")


def go_through(updater, folder, timeout):
    known = set()
    boxes = 0
    window = wait_for_new_window(updater, known, timeout, "offer window or message box")
    # Boxes may come before the offer (what a start found) or instead of it (the query's
    # answer): each is pictured and confirmed in turn.
    while not is_form(window):
        boxes += 1
        name = "message-box.png" if boxes == 1 else "message-box-%d.png" % boxes
        confirm_box(updater, window, folder, name, timeout)
        window = wait_for_new_window(updater, known, timeout, "offer window or message box",
                                     may_end=True)
        if window is None:
            return 3

    picture(window, os.path.join(folder, "offer.png"))
    folded_height = geometry(window)[1]
    press(window, "space")
    deadline = time.monotonic() + 10
    while geometry(window)[1] <= folded_height:
        if time.monotonic() > deadline:
            raise Failure("the changelog did not unfold")
        time.sleep(POLL)
    say('pressed "Show changelog"')
    picture(window, os.path.join(folder, "offer-changelog.png"))
    press(window, "Tab", "space")
    say('pressed "Download now"')
    wait_gone(updater, window, timeout, "the offer window to close")

    window = wait_for_new_window(updater, known, timeout, "download window")
    if not is_form(window):
        confirm_box(updater, window, folder, "message-box.png", timeout)
        return 1
    # The download under way, not its empty start; nginx sends 400 kB/s.
    if grab(window, os.path.join(folder, "download.png"), settle=1.0):
        pass
    else:
        say("the download window closed before it could be pictured")

    # The install window lives only while the packages are installed: caught as it appears.
    window = wait_for_new_window(updater, known, timeout, "install or summary window")
    if is_form(window):
        if not grab(window, os.path.join(folder, "install.png"), settle=0.1):
            say("the install window closed before it could be pictured")
        window = wait_for_new_window(updater, known, timeout, "summary window")
    picture(window, os.path.join(folder, "summary.png"))
    press(window, "Tab", "space")
    say('pressed "Close"')
    wait_gone(updater, window, timeout, "the summary window to close")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pictures", required=True, help="folder for the PNG files")
    parser.add_argument("--timeout", type=int, default=60, help="seconds to wait for each window")
    parser.add_argument("--log", required=True, help="file for the Wine programs' output")
    parser.add_argument("command", nargs="+", help="the relocation run: wine and updater.exe")
    arguments = parser.parse_args()
    updater = None
    try:
        become_subreaper()
        # Into a file: a pipe would stay open as long as any Wine process that inherits it.
        with open(arguments.log, "ab") as log:
            relocation = subprocess.Popen(arguments.command, stdin=subprocess.DEVNULL,
                                          stdout=log, stderr=log)
        try:
            code = relocation.wait(timeout=arguments.timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the relocation run did not end within %d s" % arguments.timeout)
        say("relocation run exit code %d" % code)
        if code != 0:
            raise Failure("the relocation run failed")
        updater = find_relocated(15)
        say("the relocated updater runs as process %d" % updater.pid)
        outcome = go_through(updater, arguments.pictures, arguments.timeout)
        code = updater.wait(30)
        say("updater exit code %d" % code)
        if not wait_for_wine_to_end(30):
            raise Failure("Wine's programs did not end within 30 s of the updater")
        return outcome if code == 0 else 1
    except Failure as failure:
        say("error: %s" % failure)
        if updater is not None and not updater.running():
            say("updater exit code %d" % updater.exit_code)
        return 1


if __name__ == "__main__":
    sys.exit(main())
