#!/usr/bin/python3
"""A small GTK3 application for the demo and the tests: a window with a text field, a password
field and a button. Prints "ready" once its window is shown and has focus."""
import argparse
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--title", default="Zephrin demo pad")
    ap.add_argument("--app-id", default="org.zephrin.DemoPad")
    ap.add_argument("--seconds", type=float, default=0, help="quit after this long (0: never)")
    args = ap.parse_args()

    # The window's class (what the desktop calls the application) follows the program name.
    GLib.set_prgname(args.title)
    app = Gtk.Application(application_id=args.app_id,
                          flags=gi.repository.Gio.ApplicationFlags.NON_UNIQUE)

    def activate(app):
        win = Gtk.ApplicationWindow(application=app, title=args.title)
        win.set_default_size(640, 400)
        box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=8, margin=16)
        label = Gtk.Label(label="Name")
        entry = Gtk.Entry()
        entry.get_accessible().add_relationship(gi.repository.Atk.RelationType.LABELLED_BY,
                                                label.get_accessible())
        secret = Gtk.Entry(visibility=False, placeholder_text="Password")
        button = Gtk.Button(label="Send")
        for w in (label, entry, secret, button):
            box.pack_start(w, False, False, 0)
        win.add(box)

        announced = []

        def focused(*_):
            if not announced:
                announced.append(True)
                print("ready", flush=True)
            return False

        win.connect("focus-in-event", focused)
        win.show_all()
        win.present()
        if args.seconds > 0:
            GLib.timeout_add(int(args.seconds * 1000), app.quit)

    app.connect("activate", activate)
    return app.run([sys.argv[0]])


if __name__ == "__main__":
    sys.exit(main())
