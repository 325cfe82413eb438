#!/usr/bin/python3
"""A GTK3 window for the watcher's end-to-end tests, the demo and soak runs.

    watchapp.py NAME [TITLE] [ROWS]

NAME is the application's class (what the watcher reports as its app and bundle). The window
holds a heading, two labels, a menu bar (File > Archive), a labelled Name entry, a labelled
password entry, an entry labelled "PIN code", a check box, a "Rename" button (which retitles the
window to "TITLE renamed") and a scrolled list of ROWS labels (60). Prints {"event":"ready",...} once the window is
shown and focused; then takes commands on standard input, one per line:
    where WIDGET   that widget's bounds in root coordinates as JSON (name, secret, pin, check,
                   rename, list, file, window)
    title TEXT     retitles the window; answers ok
    copy TEXT      puts TEXT on the clipboard (this app owns it); answers ok
    dialog         opens a dialog (transient for the window) holding an entry; answers its xid
    close          closes that dialog; answers ok
    quit
Reports {"event":"menu"} when File > Archive is chosen and {"event":"renamed"} on Rename.
"""
import json
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
gi.require_version("Atk", "1.0")
from gi.repository import Atk, Gdk, GLib, Gtk  # noqa: E402

name = sys.argv[1] if len(sys.argv) > 1 else "watchapp"
title = sys.argv[2] if len(sys.argv) > 2 else name
row_count = int(sys.argv[3]) if len(sys.argv) > 3 else 60
GLib.set_prgname(name)
Gdk.set_program_class(name)


def window_id(widget):
    """The X window's id; None on Wayland, where windows have none a client can name."""
    window = widget.get_window()
    return window.get_xid() if hasattr(window, "get_xid") else None


def say(line):
    sys.stdout.write((line if isinstance(line, str) else json.dumps(line)) + "\n")
    sys.stdout.flush()


win = Gtk.Window(title=title)
win.set_default_size(700, 560)
win.move(60, 40)
outer = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
win.add(outer)

menubar = Gtk.MenuBar()
filemenu = Gtk.MenuItem(label="File")
sub = Gtk.Menu()
archive = Gtk.MenuItem(label="Archive")
archive.connect("activate", lambda *_: say({"event": "menu"}))
sub.append(archive)
filemenu.set_submenu(sub)
menubar.append(filemenu)
outer.pack_start(menubar, False, False, 0)

heading = Gtk.Label(label="Quarterly ledger")
heading.get_accessible().set_role(Atk.Role.HEADING)
outer.pack_start(heading, False, False, 0)
outer.pack_start(Gtk.Label(label="Opening balance"), False, False, 0)
outer.pack_start(Gtk.Label(label="Closing balance"), False, False, 0)

form = Gtk.Grid(column_spacing=8, row_spacing=4)
widgets = {}
for row, (key, text, visible) in enumerate((("name", "Name", True),
                                            ("secret", "Password", False),
                                            ("pin", "PIN code", True))):
    label = Gtk.Label(label=text)
    entry = Gtk.Entry(visibility=visible, hexpand=True)
    label.set_mnemonic_widget(entry)
    form.attach(label, 0, row, 1, 1)
    form.attach(entry, 1, row, 1, 1)
    widgets[key] = entry
check = Gtk.CheckButton(label="Remember me")
rename = Gtk.Button(label="Rename")
form.attach(check, 0, 3, 1, 1)
form.attach(rename, 1, 3, 1, 1)
widgets.update(check=check, rename=rename)
outer.pack_start(form, False, False, 0)


def on_rename(*_):
    win.set_title(title + " renamed")
    say({"event": "renamed"})


rename.connect("clicked", on_rename)

scroller = Gtk.ScrolledWindow(vexpand=True)
rows = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
for i in range(row_count):
    rows.pack_start(Gtk.Label(label=f"Entry {i}"), False, False, 2)
scroller.add(rows)
outer.pack_start(scroller, True, True, 0)
widgets.update(list=scroller, file=filemenu, window=win)


def where(key):
    w = widgets[key]
    top = w.get_toplevel()
    ox, oy = top.get_window().get_origin()[1:]
    if w is top:
        x, y = 0, 0
    else:
        x, y = w.translate_coordinates(top, 0, 0)
    alloc = w.get_allocation()
    return {"x": ox + x, "y": oy + y, "w": alloc.width, "h": alloc.height}


def command(line):
    word, _, rest = line.partition(" ")
    if word == "where":
        say(where(rest))
        return
    if word == "dialog":
        dialog = Gtk.Dialog(title="About", transient_for=win)
        dialog.get_content_area().add(Gtk.Entry(text="about"))
        dialog.show_all()
        dialog.present()
        widgets["dialog"] = dialog
        say({"xid": window_id(dialog)})
        return
    if word == "close":
        widgets.pop("dialog").destroy()
    elif word == "title":
        win.set_title(rest)
    elif word == "copy":
        Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD).set_text(rest, -1)
    elif word == "quit":
        Gtk.main_quit()
    say("ok")


def on_stdin(channel, _cond):
    line = channel.readline()
    if not line:
        Gtk.main_quit()
        return False
    command(line.rstrip("\n"))
    return True


GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.IO_IN | GLib.IO_HUP, on_stdin)
win.connect("destroy", Gtk.main_quit)
announced = []


def ready(*_):
    if not announced:
        announced.append(True)
        GLib.timeout_add(100, lambda: say({"event": "ready", "pid": os.getpid(),
                                           "xid": window_id(win)}) and False)
    return False


win.connect("focus-in-event", ready)
win.connect("map-event", ready)
win.show_all()
win.present()
Gtk.main()
