#!/usr/bin/python3
"""A GTK3 window for the accessibility backend's tests and benchmarks.

    atspiapp.py NAME [ROWS]

It holds a labelled entry, a password entry, a check box, a button, a menu bar and a grid of
ROWS rows of 20 labels (default 10). Prints "ready" once shown; then takes commands on
standard input, one per line, and answers "ok" to each:
    title TEXT        retitles the window
    label R C TEXT    sets one grid label's text
    add TEXT          adds a label at the end of the grid
    remove            removes the last grid label added
    describe TEXT     sets the check box's accessible description
    entry TEXT        sets the entry's text
    enable 0|1        makes the button insensitive or sensitive
    focus             moves the focus between the entry and the check box; answers
                      "ok NANOSECONDS" with the monotonic clock just before the move
    lags              answers "ok MS MS ..." with how late each key press since the last
                      "lags" was handled (the X server stamps a press in monotonic
                      milliseconds), and forgets them
    quit
"""
import sys
import time

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

name = sys.argv[1] if len(sys.argv) > 1 else "atspiapp"
rows = int(sys.argv[2]) if len(sys.argv) > 2 else 10
GLib.set_prgname(name)

win = Gtk.Window(title=name)
win.set_default_size(900, 700)
win.move(0, 0)
outer = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
win.add(outer)

menubar = Gtk.MenuBar()
filemenu = Gtk.MenuItem(label="File")
sub = Gtk.Menu()
openitem = Gtk.MenuItem(label="Open Recent")
openitem.connect("activate", lambda *_: say("activated"))
sub.append(openitem)
filemenu.set_submenu(sub)
menubar.append(filemenu)
outer.pack_start(menubar, False, False, 0)

form = Gtk.Grid()
email_label = Gtk.Label(label="Email")
email = Gtk.Entry()
email_label.set_mnemonic_widget(email)
email.set_placeholder_text("you@example.org")
secret = Gtk.Entry()
secret.set_visibility(False)
secret_label = Gtk.Label(label="Password")
secret_label.set_mnemonic_widget(secret)
check = Gtk.CheckButton(label="Remember me")
button = Gtk.Button(label="Sign in")
button.set_tooltip_text("Signs you in")
form.attach(email_label, 0, 0, 1, 1)
form.attach(email, 1, 0, 1, 1)
form.attach(secret_label, 0, 1, 1, 1)
form.attach(secret, 1, 1, 1, 1)
form.attach(check, 0, 2, 1, 1)
form.attach(button, 1, 2, 1, 1)
outer.pack_start(form, False, False, 0)

scroller = Gtk.ScrolledWindow()
grid = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
labels = []
for r in range(rows):
    row = Gtk.Box(orientation=Gtk.Orientation.HORIZONTAL)
    cells = []
    for c in range(20):
        lab = Gtk.Label(label=f"r{r}c{c}")
        row.pack_start(lab, False, False, 2)
        cells.append(lab)
    labels.append(cells)
    grid.pack_start(row, False, False, 0)
scroller.add(grid)
outer.pack_start(scroller, True, True, 0)
added = []
lags = []


def on_key(_widget, event):
    # The server's stamp and this clock are both monotonic milliseconds (32 bits on the wire).
    now = time.monotonic_ns() // 1000000
    lags.append((now - event.time) % (1 << 32))
    return False


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def command(line):
    word, _, rest = line.partition(" ")
    if word == "title":
        win.set_title(rest)
    elif word == "label":
        r, c, text = rest.split(" ", 2)
        labels[int(r)][int(c)].set_text(text)
    elif word == "add":
        lab = Gtk.Label(label=rest)
        grid.pack_start(lab, False, False, 0)
        lab.show()
        added.append(lab)
    elif word == "remove":
        grid.remove(added.pop())
    elif word == "describe":
        check.get_accessible().set_description(rest)
    elif word == "entry":
        email.set_text(rest)
    elif word == "focus":
        target = check if email.has_focus() else email
        say(f"ok {time.monotonic_ns()}")
        target.grab_focus()
        return
    elif word == "enable":
        button.set_sensitive(rest == "1")
    elif word == "lags":
        say("ok " + " ".join(map(str, lags)))
        lags.clear()
        return
    elif word == "quit":
        Gtk.main_quit()
    say("ok")


def on_stdin(channel, condition):
    line = channel.readline()
    if not line:
        Gtk.main_quit()
        return False
    command(line.rstrip("\n"))
    return True


GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.IO_IN | GLib.IO_HUP, on_stdin)
win.connect("destroy", Gtk.main_quit)
win.connect("key-press-event", on_key)
win.show_all()
GLib.idle_add(lambda: say("ready") and False)
Gtk.main()
