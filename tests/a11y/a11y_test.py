#!/usr/bin/python3
"""A screen reader can follow Kestrival: its dialog and its start-up message over AT-SPI.

Runs the real executable under a private Xvfb display, D-Bus session and accessibility bus,
all started here and ended here, and reads the program only through the accessibility bus.
Usage: a11y_test.py KESTRIVAL_EXECUTABLE [unittest arguments]
"""
import ctypes
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import warnings

DISPLAY_START_TIMEOUT_S = 20
DISPLAY_ATTEMPTS = 10
DISPLAY_NUMBERS = (200, 900)
BUS_START_TIMEOUT_S = 20
APP_ON_BUS_TIMEOUT_S = 30
EXIT_TIMEOUT_S = 10
STOP_TIMEOUT_S = 5
POLL_INTERVAL_S = 0.05

AT_SPI_BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
DEMO_VERSION = "20230115"
DIALOG_TITLE = "Kestrival"
BUTTON_TEXT = "升级"
BOX_CAPTION = "升级"
BOX_BUTTON_TEXT = "确定"
NO_SETTINGS_TEXT = "获取升级信息失败,请检查是否在安装目录运行"
LABEL_TEXTS = ("当前版本:", "进度：")
FIRST_PHASE_TEXT = "Check Ver Info..."

PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None)


def _die_with_parent():
    # A test killed on timeout must not leave its display or buses behind.
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def start(args, **kwargs):
    """Starts args in a process group of its own, tied to this process's life."""
    return subprocess.Popen(args, start_new_session=True, preexec_fn=_die_with_parent,
                            stdin=subprocess.DEVNULL, **kwargs)


def stop(proc):
    """Ends proc's process group: politely, then for good after STOP_TIMEOUT_S."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


def wait_for(what, probe, timeout_s):
    """Polls probe() until it gives something truthy; fails naming `what` after timeout_s."""
    deadline = time.monotonic() + timeout_s
    while True:
        found = probe()
        if found:
            return found
        if time.monotonic() >= deadline:
            raise AssertionError(f"no {what} within {timeout_s} s")
        time.sleep(POLL_INTERVAL_S)


def read_line(stream, timeout_s, what):
    """The first line `stream` gives, or None if it ends first; fails after timeout_s."""
    os.set_blocking(stream.fileno(), False)
    data = b""
    deadline = time.monotonic() + timeout_s
    while not data.endswith(b"\n"):
        chunk = stream.read()
        if chunk == b"":
            return None
        if chunk:
            data += chunk
        elif time.monotonic() >= deadline:
            raise RuntimeError(f"no {what} within {timeout_s} s")
        else:
            time.sleep(POLL_INTERVAL_S)
    return data.decode().strip()


class Session:
    """Xvfb, a D-Bus session and the accessibility bus, for the whole test run."""

    def __init__(self):
        self.procs = []

    def __enter__(self):
        try:
            os.environ["DISPLAY"] = self._start_display()
            bus = self._start(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            os.environ["DBUS_SESSION_BUS_ADDRESS"] = read_line(
                bus.stdout, BUS_START_TIMEOUT_S, "D-Bus session")
            self._start([AT_SPI_BUS_LAUNCHER, "--launch-immediately", "--a11y=1"],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for("accessibility bus", _a11y_bus_up, BUS_START_TIMEOUT_S)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        for proc in reversed(self.procs):
            stop(proc)

    def _start_display(self):
        # Other X servers come and go on this machine: a random display number far from the
        # usual ones, taken only if its server comes up, keeps us off theirs.
        for _ in range(DISPLAY_ATTEMPTS):
            display = f":{random.randrange(*DISPLAY_NUMBERS)}"
            xvfb = self._start(["Xvfb", display, "-displayfd", "1", "-screen", "0",
                                "1280x1024x24", "-nolisten", "tcp", "-noreset"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            if read_line(xvfb.stdout, DISPLAY_START_TIMEOUT_S, "X display") is not None:
                return display
            stop(xvfb)
        raise RuntimeError(f"no X display came up in {DISPLAY_ATTEMPTS} attempts")

    def _start(self, args, **kwargs):
        proc = start(args, **kwargs)
        self.procs.append(proc)
        return proc


def _a11y_bus_up():
    result = subprocess.run(
        ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
         "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.Bus"],
        capture_output=True, text=True, timeout=BUS_START_TIMEOUT_S)
    return result.returncode == 0 and "boolean true" in result.stdout


def application_of(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    desktop.clearCache()
    for app in desktop:
        if app is not None and app.get_process_id() == pid:
            return app
    return None


def descendants(root, role):
    return pyatspi.findAllDescendants(root, lambda a: a.getRole() == role)


def text_of(acc):
    """What a screen reader reads for acc: its name, else its text."""
    if acc.name:
        return acc.name
    try:
        return acc.queryText().getText(0, -1)
    except NotImplementedError:
        return ""


def shown_window_titled(app, title):
    """App's window `title` once it is showing, so all its controls are on the bus."""
    for window in app:
        if (window is not None and window.name == title
                and window.getState().contains(pyatspi.STATE_SHOWING)):
            return window
    return None


class Kestrival:
    """Kestrival run from workdir, its output kept for the failure message."""

    def __init__(self, executable, workdir, log_path):
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   QT_ACCESSIBILITY="1")
        if "ASAN_OPTIONS" in env:
            # libxkbcommon-x11 strndup()s keymap names out of X replies, which are not
            # NUL-terminated: bounded and sound, yet strict_string_checks stops the program.
            env["ASAN_OPTIONS"] += ":strict_string_checks=0"
        self.log_path = log_path
        with open(log_path, "wb") as log:
            self.proc = start([executable], cwd=workdir, env=env, stdout=log, stderr=log)

    def output(self):
        with open(self.log_path, errors="replace") as log:
            return log.read()

    def window(self, title):
        """The program's top-level window `title` once it is on the accessibility bus."""
        def probe():
            if self.proc.poll() is not None:
                raise AssertionError(f"Kestrival ended with status {self.proc.returncode} "
                                     f"before showing \"{title}\"; its output:\n{self.output()}")
            app = application_of(self.proc.pid)
            return shown_window_titled(app, title) if app is not None else None
        return wait_for(f'window "{title}" on the accessibility bus', probe,
                        APP_ON_BUS_TIMEOUT_S)

    def stop(self):
        stop(self.proc)


def press(button):
    """Presses button through its accessible Press action, as a screen reader user would."""
    action = button.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    if "Press" not in names:
        raise AssertionError(f'"{button.name}" offers no Press action, only {names}')
    action.doAction(names.index("Press"))


class EventLog:
    """Accessibility events of the given types, as they reach a screen reader."""

    def __init__(self, types):
        self.types = types
        self.events = []
        pyatspi.Registry.registerEventListener(self._heard, *types)

    def _heard(self, event):
        source = event.source
        self.events.append((source.getRole() if source else None, text_of(source) if source
                            else ""))

    def saw(self, role, name=None):
        """Whether an event came from an object of `role` (named `name`, if given)."""
        context = GLib.MainContext.default()
        while context.iteration(False):
            pass
        return any(r == role and (name is None or n == name) for r, n in self.events)

    def close(self):
        pyatspi.Registry.deregisterEventListener(self._heard, *self.types)


def make_installation(root, executable):
    """A demo installation in root: a copy of executable, the settings file and the package."""
    os.makedirs(root)
    shutil.copy2(executable, os.path.join(root, "Kestrival"))
    with open(os.path.join(root, "tsetting.ini"), "wb") as f:
        f.write(f"[DB]\r\nVersion={DEMO_VERSION}\r\n".encode())
    with open(os.path.join(root, "HarrowglimmerPatch.dat"), "wb") as f:
        f.write(b"demo upgrade package\n")
    return os.path.join(root, "Kestrival")


class ScreenReaderTest(unittest.TestCase):
    executable = None

    def setUp(self):
        # pyatspi calls libatspi's older names; that is its business, not this test's.
        warnings.filterwarnings("ignore", category=DeprecationWarning, module="pyatspi")
        self.tmp = tempfile.mkdtemp(prefix="kestrival-a11y-")
        self.program = None
        self.log = os.path.join(self.tmp, "output.txt")

    def tearDown(self):
        if self.program is not None:
            self.program.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run_from(self, workdir=None):
        """Kestrival installed in a demo installation, started from workdir (default: there)."""
        exe = make_installation(os.path.join(self.tmp, "install"), self.executable)
        self.program = Kestrival(exe, workdir or os.path.dirname(exe), self.log)
        return self.program

    def test_dialog_reads_version_progress_and_button(self):
        dialog = self.run_from().window(DIALOG_TITLE)
        self.assertEqual(dialog.getRole(), pyatspi.ROLE_DIALOG)

        labels = [text_of(a) for a in descendants(dialog, pyatspi.ROLE_LABEL)]
        for text in LABEL_TEXTS + (DEMO_VERSION,):
            self.assertIn(text, labels)

        bars = descendants(dialog, pyatspi.ROLE_PROGRESS_BAR)
        self.assertEqual(len(bars), 1)
        value = bars[0].queryValue()
        self.assertEqual((value.minimumValue, value.currentValue, value.maximumValue),
                         (0, 0, 100))
        # Named by its caption, so it isn't read out as a bare "progress bar".
        self.assertEqual(bars[0].name, "进度：")

        buttons = descendants(dialog, pyatspi.ROLE_PUSH_BUTTON)
        self.assertEqual([b.name for b in buttons], [BUTTON_TEXT])
        states = buttons[0].getState()
        self.assertTrue(states.contains(pyatspi.STATE_ENABLED))
        self.assertTrue(states.contains(pyatspi.STATE_IS_DEFAULT))
        # The first thing a screen reader announces is the focused control.
        wait_for(f'focus on "{BUTTON_TEXT}"',
                 lambda: buttons[0].getState().contains(pyatspi.STATE_FOCUSED),
                 APP_ON_BUS_TIMEOUT_S)

    def test_screen_reader_hears_the_run(self):
        dialog = self.run_from().window(DIALOG_TITLE)
        bar = descendants(dialog, pyatspi.ROLE_PROGRESS_BAR)[0]
        button = descendants(dialog, pyatspi.ROLE_PUSH_BUTTON)[0]
        heard = EventLog(["object:property-change:accessible-name",
                          "object:property-change:accessible-value"])
        try:
            press(button)
            # The run holds the program for 94 s; the first steps are enough to show that
            # the bus is answered meanwhile and that each change is announced.
            wait_for(f'"{FIRST_PHASE_TEXT}" announced',
                     lambda: heard.saw(pyatspi.ROLE_LABEL, FIRST_PHASE_TEXT),
                     APP_ON_BUS_TIMEOUT_S)
            wait_for("a progress step announced",
                     lambda: heard.saw(pyatspi.ROLE_PROGRESS_BAR)
                     and bar.queryValue().currentValue >= 1,
                     APP_ON_BUS_TIMEOUT_S)
        finally:
            heard.close()

    def test_start_up_message_is_read_and_can_be_dismissed(self):
        # The program's own directory holds the settings file; the working directory doesn't.
        elsewhere = os.path.join(self.tmp, "elsewhere")
        os.makedirs(elsewhere)
        box = self.run_from(elsewhere).window(BOX_CAPTION)
        # An alert is what a screen reader reads out unasked.
        self.assertEqual(box.getRole(), pyatspi.ROLE_ALERT)

        texts = [text_of(a) for a in descendants(box, pyatspi.ROLE_LABEL)]
        self.assertIn(NO_SETTINGS_TEXT, texts)

        buttons = descendants(box, pyatspi.ROLE_PUSH_BUTTON)
        self.assertEqual([b.name for b in buttons], [BOX_BUTTON_TEXT])
        press(buttons[0])
        self.assertEqual(self.program.proc.wait(EXIT_TIMEOUT_S), 0)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    ScreenReaderTest.executable = os.path.abspath(sys.argv[1])
    with Session():
        # Atspi finds the accessibility bus through the session set up above.
        import pyatspi
        from gi.repository import GLib
        result = unittest.main(argv=sys.argv[:1] + sys.argv[2:], exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
