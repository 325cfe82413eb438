#!/usr/bin/python3
"""A GTK3 window that reports, as JSON lines on standard output, what input it receives.

    testapp.py NAME [X Y W H]

Commands on standard input, one per line:
    where             the text view's bounds in root coordinates, and the window's X id
    text              the buffer's text and the selected text
    set TEXT          replaces the buffer's text (JSON string)
    popup X Y W H     shows an override-redirect window there (a menu-like overlay)
    spawn JSON-ARGV   runs a command as this process's child and reports its output
    spare             how many key codes have no symbols
    shaped X Y W H M E  shows an unframed window there whose input shape leaves out a margin of
                      M px on every side (presses there go to the window below) and whose
                      _GTK_FRAME_EXTENTS names margins of E px; reports its presses as "shaped"
    sync              answers "sync" after every report of input delivered so far
    freeze / thaw     grabs the pointer frozen (a synchronous grab never allowed on), lets it go
    title TEXT        retitles the window
    maximize          maximizes the window; answers once it is
    keymaps           how many times the keymap has changed (GDK's keys-changed) since start
    busy S            answers "busy", then reads nothing for S seconds (a busy main thread)
    quit
"""
import ctypes
import json
import os
import subprocess
import sys
import time

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

name = sys.argv[1] if len(sys.argv) > 1 else "zephrin-testapp"
GLib.set_prgname(name)
Gdk.set_program_class(name)
geometry = [int(v) for v in sys.argv[2:6]] if len(sys.argv) >= 6 else [100, 100, 600, 400]


def say(**fields):
    sys.stdout.write(json.dumps(fields) + "\n")
    sys.stdout.flush()


win = Gtk.Window(title=name)
win.set_default_size(geometry[2], geometry[3])
win.move(geometry[0], geometry[1])
view = Gtk.TextView()
view.set_wrap_mode(Gtk.WrapMode.WORD)
view.add_events(Gdk.EventMask.SCROLL_MASK)
buf = view.get_buffer()
win.add(view)
popup = None
keymap_changes = 0


def on_keys_changed(_keymap):
    global keymap_changes
    keymap_changes += 1


Gdk.Keymap.get_for_display(Gdk.Display.get_default()).connect("keys-changed", on_keys_changed)

KINDS = {Gdk.EventType.BUTTON_PRESS: "press", Gdk.EventType._2BUTTON_PRESS: "double",
         Gdk.EventType._3BUTTON_PRESS: "triple", Gdk.EventType.BUTTON_RELEASE: "release"}


def on_button(_w, e):
    say(event="button", kind=KINDS.get(e.type, str(e.type)), button=e.button,
        x=round(e.x_root), y=round(e.y_root))
    return e.button == 3  # no context menu: it would take the pointer and keyboard


def on_scroll(_w, e):
    ok, dx, dy = e.get_scroll_deltas()
    say(event="scroll", direction=e.direction.value_nick, dx=dx if ok else 0, dy=dy if ok else 0)
    return False


def on_key(_w, e):
    mods = []
    for mask, label in ((Gdk.ModifierType.SHIFT_MASK, "shift"),
                        (Gdk.ModifierType.CONTROL_MASK, "ctrl"),
                        (Gdk.ModifierType.MOD1_MASK, "alt"),
                        (Gdk.ModifierType.SUPER_MASK, "super"),
                        (Gdk.ModifierType.MOD4_MASK, "mod4")):
        if e.state & mask:
            mods.append(label)
    say(event="key", name=Gdk.keyval_name(e.keyval), mods=mods)
    return False


for signal, handler in (("button-press-event", on_button), ("button-release-event", on_button),
                        ("scroll-event", on_scroll), ("key-press-event", on_key)):
    view.connect(signal, handler)


class XRectangle(ctypes.Structure):
    _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short), ("width", ctypes.c_ushort),
                ("height", ctypes.c_ushort)]


def input_shape(xid, x, y, w, h):
    """Sets the window's input shape to one rectangle (Xlib through ctypes: no cairo here)."""
    xlib, xext = ctypes.CDLL("libX11.so.6"), ctypes.CDLL("libXext.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    dpy = ctypes.c_void_p(xlib.XOpenDisplay(None))
    rect = XRectangle(x, y, w, h)
    shape_input, shape_set = 2, 0
    xext.XShapeCombineRectangles(dpy, ctypes.c_ulong(xid), shape_input, 0, 0, ctypes.byref(rect),
                                 1, shape_set, 0)
    xlib.XSync(dpy, 0)
    xlib.XCloseDisplay(dpy)


frozen = None  # the connection that holds the pointer frozen


def freeze():
    global frozen
    xlib = ctypes.CDLL("libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XDefaultRootWindow.restype = ctypes.c_ulong
    dpy = ctypes.c_void_p(xlib.XOpenDisplay(None))
    root = ctypes.c_ulong(xlib.XDefaultRootWindow(dpy))
    grab_sync, grab_async, button_press_mask = 0, 1, 1 << 2
    status = xlib.XGrabPointer(dpy, root, 0, button_press_mask, grab_sync, grab_async, 0, 0, 0)
    xlib.XSync(dpy, 0)
    frozen = (xlib, dpy)
    return status


def thaw():
    global frozen
    if frozen:
        xlib, dpy = frozen
        xlib.XUngrabPointer(dpy, 0)
        xlib.XCloseDisplay(dpy)
        frozen = None


def show_shaped(x, y, w, h, margin, extents):
    shaped = Gtk.Window(type=Gtk.WindowType.POPUP)
    shaped.move(x, y)
    shaped.set_default_size(w, h)
    shaped.add(Gtk.Label(label="shaped"))
    shaped.add_events(Gdk.EventMask.BUTTON_PRESS_MASK | Gdk.EventMask.BUTTON_RELEASE_MASK)
    shaped.connect("button-press-event", lambda _w, e: say(event="shaped", x=round(e.x_root),
                                                           y=round(e.y_root)))
    shaped.show_all()
    gw = shaped.get_window()
    if extents:
        gw.set_shadow_width(extents, extents, extents, extents)
    if margin:
        # After GTK's first allocation, which resets the input shape.
        GLib.timeout_add(100, lambda: input_shape(gw.get_xid(), margin, margin, w - 2 * margin,
                                                  h - 2 * margin) and False)
    return shaped


def selected():
    bounds = buf.get_selection_bounds()
    return buf.get_text(bounds[0], bounds[1], True) if bounds else ""


def command(line):
    global popup
    word, _, rest = line.strip().partition(" ")
    if word == "where":
        gw = view.get_window(Gtk.TextWindowType.TEXT)
        _, x, y = gw.get_origin()
        alloc = view.get_allocation()
        say(event="where", x=x, y=y, w=alloc.width, h=alloc.height,
            xid=getattr(win.get_window(), "get_xid", lambda: None)(), pid=os.getpid())
    elif word == "text":
        say(event="text", text=buf.get_text(buf.get_start_iter(), buf.get_end_iter(), True),
            selected=selected())
    elif word == "set":
        buf.set_text(json.loads(rest))
        buf.place_cursor(buf.get_end_iter())
        say(event="set")
    elif word == "popup":
        x, y, w, h = (int(v) for v in rest.split())
        popup = Gtk.Window(type=Gtk.WindowType.POPUP)
        popup.move(x, y)
        popup.set_default_size(w, h)
        popup.add(Gtk.Label(label="overlay"))
        popup.show_all()
        GLib.timeout_add(200, lambda: say(event="popup", xid=popup.get_window().get_xid())
                         and False)
    elif word == "spawn":
        out = subprocess.run(json.loads(rest), capture_output=True, text=True)
        say(event="spawned", status=out.returncode, stdout=out.stdout)
    elif word == "spare":
        keymap = Gdk.Keymap.get_for_display(Gdk.Display.get_default())
        say(event="spare", count=sum(1 for code in range(8, 256)
                                     if not keymap.get_entries_for_keycode(code)[0]))
    elif word == "title":
        win.set_title(rest)
        say(event="title")
    elif word == "maximize":
        win.maximize()
        GLib.timeout_add(50, lambda: not (win.is_maximized() and say(event="maximize") is None))
    elif word == "above":
        win.set_keep_above(rest == "on")
        GLib.timeout_add(200, lambda: say(event="above") and False)
    elif word == "shaped":
        x, y, w, h, margin, extents = (int(v) for v in rest.split())
        popup = show_shaped(x, y, w, h, margin, extents)
        GLib.timeout_add(200, lambda: say(event="shaped_shown") and False)
    elif word == "freeze":
        say(event="freeze", status=freeze())
    elif word == "thaw":
        thaw()
        say(event="thaw")
    elif word == "keymaps":
        say(event="keymaps", count=keymap_changes)
    elif word == "sync":
        # Input the server has delivered may wait in our queue behind this command, or still in
        # the server's buffer for us while our own requests are pending there: a round trip
        # brings all of it in, and it is taken first.
        Gdk.Display.get_default().sync()
        while Gtk.events_pending():
            Gtk.main_iteration_do(False)
        say(event="sync")
    elif word == "busy":
        say(event="busy")
        time.sleep(float(rest))
    elif word == "quit":
        Gtk.main_quit()


def on_stdin(_source, _cond):
    line = sys.stdin.readline()
    if not line:
        Gtk.main_quit()
        return False
    command(line)
    return True


GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.IO_IN | GLib.IO_HUP, on_stdin)
win.connect("destroy", Gtk.main_quit)
win.show_all()
view.grab_focus()


def ready():
    say(event="ready", pid=os.getpid())
    return False


win.connect("map-event", lambda *_: GLib.timeout_add(100, ready) and False)
Gtk.main()
