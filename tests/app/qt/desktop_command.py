"""Prints a desktop entry's working directory, then its command's words, NUL-terminated, as
the desktop's own launcher library reads them."""
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

info = Gio.DesktopAppInfo.new_from_filename(sys.argv[1])
if info is None:
    sys.exit("not a launchable desktop entry: " + sys.argv[1])
ok, argv = GLib.shell_parse_argv(info.get_commandline())
words = [info.get_string("Path") or ""] + argv
sys.stdout.write("".join(w + "\0" for w in words))
