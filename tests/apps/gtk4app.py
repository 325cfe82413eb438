#!/usr/bin/python3
"""A small GTK4 editor for the compatibility suite: a header bar with a labelled Bold button
and a menu button, a text view holding the document given, a label never shown and a stack
whose second page isn't selected (neither may be read).

    gtk4app.py FILE
"""
import sys

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import Gtk  # noqa: E402

path = sys.argv[1]


def activate(app):
    win = Gtk.ApplicationWindow(application=app, title=path.rsplit("/", 1)[-1] + " — Jotter")
    win.set_default_size(900, 640)
    bar = Gtk.HeaderBar()
    bar.pack_start(Gtk.Button(label="Bold"))
    menu = Gtk.MenuButton()
    bar.pack_end(menu)
    win.set_titlebar(bar)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
    hidden = Gtk.Label(label="zqhiddenword never shown")
    hidden.set_visible(False)
    box.append(hidden)
    stack = Gtk.Stack()
    stack.add_titled(Gtk.Label(label="Shown page"), "one", "One")
    stack.add_titled(Gtk.Label(label="zqunselectedword other page"), "two", "Two")
    box.append(stack)
    view = Gtk.TextView(wrap_mode=Gtk.WrapMode.WORD, vexpand=True)
    with open(path) as f:
        view.get_buffer().set_text(f.read())
    box.append(view)
    win.set_child(box)
    win.present()


app = Gtk.Application(application_id="org.example.Jotter")
app.connect("activate", activate)
app.run([])
