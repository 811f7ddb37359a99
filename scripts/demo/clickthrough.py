#!/usr/bin/python3
"""Goes through the updater's windows as a person would, over the accessibility bus.

Finds the windows and their buttons through AT-SPI (as screen readers and desktop test tools
do), saves a PNG of each window (ImageMagick's import of the X window, found with xdotool),
and in "click" mode presses "Download now" on the offer and "Close" on the summary; in "watch"
mode it leaves the clicks to the person at the screen. Every wait is bounded.

Exit codes: 0 the update was installed and the summary closed; 3 "No updates available." was
shown (and confirmed); 1 anything else (an error box, a failed installation, a time-out).
"""

import argparse
import os
import subprocess
import sys
import threading
import time

import pyatspi

POLL = 0.1
# The updater's process: a wait ends as soon as it is gone. Set from the command line.
updater_pid = None
# In watch mode a person clicks, maybe before a picture could be taken; that is no failure.
pictures_required = True


class Failure(Exception):
    pass


def say(text):
    print("clickthrough: " + text, flush=True)


def children(accessible):
    try:
        return [child for child in accessible if child is not None]
    except Exception:  # the window went away while it was walked
        return []


def descendants(accessible):
    for child in children(accessible):
        yield child
        yield from descendants(child)


def role(accessible):
    try:
        return accessible.getRole()
    except Exception:
        return None


def name(accessible):
    try:
        return accessible.name or ""
    except Exception:
        return ""


def updater_windows():
    """The top-level windows of the running updater (frames, dialogs, message boxes)."""
    desktop = pyatspi.Registry.getDesktop(0)
    windows = []
    for application in children(desktop):
        if name(application) != "updater":
            continue
        # A form's root widget shows as a filler, a message box as an alert.
        windows.extend(children(application))
    return windows


def find(window, wanted_role, wanted_name=None):
    for accessible in descendants(window):
        if role(accessible) == wanted_role and (wanted_name is None
                                                or name(accessible) == wanted_name):
            return accessible
    return None


def labels(window):
    return [name(accessible) for accessible in descendants(window)
            if role(accessible) == pyatspi.ROLE_LABEL and name(accessible)]


def button_names(window):
    return [name(accessible) for accessible in descendants(window)
            if role(accessible) == pyatspi.ROLE_PUSH_BUTTON]


def kind(window):
    """Which of the updater's windows this is, from what a person sees in it."""
    buttons = button_names(window)
    if role(window) in (pyatspi.ROLE_ALERT, pyatspi.ROLE_DIALOG):
        return "box"
    if "Download now" in buttons:
        return "offer"
    if "Close" in buttons:
        return "summary"
    if "Cancel" in buttons and find(window, pyatspi.ROLE_PROGRESS_BAR) is not None:
        return "download"
    return None


def wait_for_window(kinds, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            for window in updater_windows():
                found = kind(window)
                if found in kinds:
                    return found, window
        except Exception:
            pass  # a window closed while it was looked at: look again
        if updater_pid is not None and not os.path.exists("/proc/%d" % updater_pid):
            raise Failure("the updater ended without showing a %s" % what)
        time.sleep(POLL)
    raise Failure("no %s within %d s" % (what, timeout))


def extents(window):
    box = window.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return box.x, box.y, box.width, box.height


def visible_x_windows(title):
    result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title],
                            capture_output=True, text=True, timeout=10)
    return [line for line in result.stdout.split() if line]


def x_geometry(window_id):
    result = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window_id],
                            capture_output=True, text=True, timeout=10)
    values = dict(line.split("=", 1) for line in result.stdout.split() if "=" in line)
    return int(values.get("WIDTH", -1)), int(values.get("HEIGHT", -1))


def x_window_of(window):
    """The X window showing an accessible window: same title, same size."""
    _, _, width, height = extents(window)
    for window_id in visible_x_windows(name(window)):
        if x_geometry(window_id) == (width, height):
            return window_id
    return None


def grab(window_id, path):
    result = subprocess.run(["import", "-window", window_id, path], capture_output=True,
                            timeout=20)
    return result.returncode == 0 and os.path.getsize(path) > 0


def save_picture(window, path):
    # Give the window a moment to paint after it appeared.
    time.sleep(0.4)
    try:
        window_id = x_window_of(window)
    except Exception:
        window_id = None  # closed meanwhile
    if window_id is not None and grab(window_id, path):
        say("saved " + path)
    elif pictures_required:
        raise Failure("could not take a picture of the window for " + path)
    else:
        say("the window closed before it could be pictured for " + path)


def press(window, button_name):
    button = find(window, pyatspi.ROLE_PUSH_BUTTON, button_name)
    if button is None:
        raise Failure('no "%s" button' % button_name)
    action = button.queryAction()
    for index in range(action.nActions):
        if action.getName(index) in ("Press", "press", "click"):
            action.doAction(index)
            say('clicked "%s"' % button_name)
            return
    action.doAction(0)
    say('clicked "%s"' % button_name)


class WindowCatcher(threading.Thread):
    """Pictures every new visible "Update" X window as soon as it appears.

    The install window lives only while the packages are installed, and the updater answers
    no accessibility requests meanwhile; the X server still shows it, so it is caught there.
    """

    def __init__(self, known, folder):
        super().__init__(daemon=True)
        self.known = set(known)
        self.folder = folder
        self.caught = []
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            try:
                for window_id in visible_x_windows("Update"):
                    if window_id in self.known:
                        continue
                    self.known.add(window_id)
                    path = os.path.join(self.folder, ".caught-%s.png" % window_id)
                    if grab(window_id, path):
                        self.caught.append((window_id, path))
            except Exception:
                pass
            self.stopping.wait(0.02)

    def stop(self):
        self.stopping.set()
        self.join(timeout=30)


def handle_box(window, folder, clicking, timeout):
    texts = labels(window)
    path = os.path.join(folder, "no-updates.png" if "No updates available." in texts
                        else "message-box.png")
    save_picture(window, path)
    say('message box "%s": %s' % (name(window), " / ".join(texts)))
    if clicking:
        press(window, "OK")
    else:
        wait_gone("box", timeout, "the message box to be closed")
    return 3 if "No updates available." in texts else 1


def wait_gone(gone_kind, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if all(kind(window) != gone_kind for window in updater_windows()):
                return
        except Exception:
            pass
        time.sleep(POLL)
    raise Failure("timed out waiting for " + what)


def progress_value(window):
    bar = find(window, pyatspi.ROLE_PROGRESS_BAR)
    try:
        return bar.queryValue().currentValue if bar is not None else 0
    except Exception:
        return 0


def go_through(folder, clicking, timeout):
    first, window = wait_for_window({"offer", "box"}, timeout, "offer window or message box")
    if first == "box":
        return handle_box(window, folder, clicking, timeout)

    save_picture(window, os.path.join(folder, "offer.png"))
    if clicking:
        # Unfold what is new, as a curious user would, before going on.
        folded_height = extents(window)[3]
        press(window, "Show changelog")
        deadline = time.monotonic() + 10
        while extents(window)[3] <= folded_height:
            if time.monotonic() > deadline:
                raise Failure("the changelog did not unfold")
            time.sleep(POLL)
        save_picture(window, os.path.join(folder, "offer-changelog.png"))
    try:
        offer_id = x_window_of(window)
    except Exception:
        offer_id = None
    if clicking:
        press(window, "Download now")
    else:
        say('waiting for you to click "Download now"')

    found, window = wait_for_window({"download", "summary", "box"}, timeout, "download window")
    catcher = None
    if found == "download":
        # Picture the download under way, not its empty start.
        deadline = time.monotonic() + 10
        while progress_value(window) <= 0 and time.monotonic() < deadline:
            time.sleep(POLL)
        try:
            download_id = x_window_of(window)
        except Exception:
            download_id = None
        save_picture(window, os.path.join(folder, "download.png"))
        catcher = WindowCatcher({offer_id, download_id}, folder)
        catcher.start()
        found, window = wait_for_window({"summary", "box"}, timeout, "summary window")
    if catcher is not None:
        catcher.stop()
    if found == "box":
        handle_box(window, folder, clicking, timeout)
        return 1

    try:
        summary_id = x_window_of(window)
    except Exception:
        summary_id = None
    if catcher is not None:
        install = [path for window_id, path in catcher.caught if window_id != summary_id]
        for _, path in catcher.caught:
            if install and path == install[0]:
                os.replace(path, os.path.join(folder, "install.png"))
                say("saved " + os.path.join(folder, "install.png"))
            else:
                os.remove(path)
        if not install:
            say("the install window closed before it could be pictured")

    save_picture(window, os.path.join(folder, "summary.png"))
    status = [text for text in labels(window)
              if text in ("Installation complete", "Installation failed")]
    say("summary: " + (status[0] if status else " / ".join(labels(window))))
    if clicking:
        press(window, "Close")
    else:
        say('waiting for you to click "Close"')
    wait_gone("summary", timeout, "the summary window to close")
    return 0 if status == ["Installation complete"] else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", choices=("click", "watch"), default="click")
    parser.add_argument("--pictures", required=True, help="folder for the PNG files")
    parser.add_argument("--timeout", type=int, default=60, help="seconds to wait for each window")
    parser.add_argument("--pid", type=int, help="the updater's process, to stop waiting when it ends")
    arguments = parser.parse_args()
    global updater_pid, pictures_required
    updater_pid = arguments.pid
    pictures_required = arguments.mode == "click"
    try:
        return go_through(arguments.pictures, arguments.mode == "click", arguments.timeout)
    except Failure as failure:
        say("error: %s" % failure)
        return 1


if __name__ == "__main__":
    sys.exit(main())
