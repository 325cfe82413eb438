#!/usr/bin/python3
"""Owns the CLIPBOARD selection with a text (--repeat N: N times over, so big that GTK sends it
incrementally), and with --hint also the target password managers set. Prints "ready" once it owns the selection; runs until terminated."""
import argparse
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("text")
    ap.add_argument("--hint", action="store_true")
    ap.add_argument("--repeat", type=int, default=1, help="the text this many times over")
    args = ap.parse_args()
    args.text *= args.repeat

    clipboard = Gdk.Atom.intern("CLIPBOARD", False)
    utf8 = Gdk.Atom.intern("UTF8_STRING", False)
    hint = Gdk.Atom.intern("x-kde-passwordManagerHint", False)
    win = Gtk.Invisible()
    win.realize()
    Gtk.selection_add_target(win, clipboard, utf8, 1)
    if args.hint:
        Gtk.selection_add_target(win, clipboard, hint, 2)

    def give(_widget, data, info, _time):
        if info == 1:
            data.set_text(args.text, -1)
        else:
            data.set(hint, 8, b"secret")

    win.connect("selection-get", give)
    if not Gtk.selection_owner_set(win, clipboard, Gdk.CURRENT_TIME):
        return 1
    print("ready", flush=True)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, Gtk.main_quit)
    Gtk.main()
    return 0


if __name__ == "__main__":
    sys.exit(main())
