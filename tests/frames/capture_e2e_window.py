"""A window of one colour for the capture tests: capture_e2e_window.py TITLE RRGGBB X Y W H.
Prints "ready" once shown; closes on a line "close" (or the end of input)."""
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

title, rgb = sys.argv[1], sys.argv[2]
x, y, w, h = (int(v) for v in sys.argv[3:7])

win = Gtk.Window(title=title)
win.set_default_size(w, h)
win.move(x, y)
css = Gtk.CssProvider()
# Painted by the application, not the X background the server fills in on its own.
css.load_from_data(f"window {{ background: linear-gradient(#{rgb}, #{rgb}), black; }}".encode())
win.get_style_context().add_provider(css, Gtk.STYLE_PROVIDER_PRIORITY_USER)
win.connect("destroy", Gtk.main_quit)


def shown(*_):
    # Painted at least once before the harness looks.
    GLib.timeout_add(500, lambda: (print("ready", flush=True), False)[1])


win.connect("map-event", shown)


def command(source, _):
    line = source.readline()
    if not line or line.strip() == "close":
        win.destroy()
        return False
    return True


GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.IO_IN | GLib.IO_HUP, command)
win.show_all()
Gtk.main()
