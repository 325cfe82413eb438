#!/usr/bin/python3
"""A stand-in for logind on a private system bus: owns org.freedesktop.login1, answers which
session a process is in, and emits the real signals on command (one word a line on standard
input: sleep, wake, lock, unlock). Prints "ready" once it owns its name."""
import sys

from gi.repository import Gio, GLib

SESSION = "/org/freedesktop/login1/session/c1"
XML = """<node><interface name="org.freedesktop.login1.Manager">
  <method name="GetSession"><arg type="s" direction="in"/><arg type="o" direction="out"/></method>
  <method name="GetSessionByPID"><arg type="u" direction="in"/><arg type="o" direction="out"/></method>
  <signal name="PrepareForSleep"><arg type="b"/></signal>
</interface></node>"""


def main():
    loop = GLib.MainLoop()
    bus = Gio.bus_get_sync(Gio.BusType.SYSTEM, None)
    node = Gio.DBusNodeInfo.new_for_xml(XML)

    def call(_conn, _sender, _path, _iface, _method, _params, invocation):
        invocation.return_value(GLib.Variant("(o)", (SESSION,)))

    bus.register_object("/org/freedesktop/login1", node.interfaces[0], call, None, None)

    def command(channel, _cond):
        word = channel.readline().strip()
        if not word:
            loop.quit()
            return False
        if word in ("sleep", "wake"):
            bus.emit_signal(None, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                            "PrepareForSleep", GLib.Variant("(b)", (word == "sleep",)))
        elif word in ("lock", "unlock"):
            bus.emit_signal(None, SESSION, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                            GLib.Variant("(sa{sv}as)", ("org.freedesktop.login1.Session",
                                                       {"LockedHint": GLib.Variant(
                                                           "b", word == "lock")}, [])))
        bus.flush_sync(None)
        print("sent", flush=True)
        return True

    def owned(*_):
        print("ready", flush=True)
        GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)

    Gio.bus_own_name_on_connection(bus, "org.freedesktop.login1", Gio.BusNameOwnerFlags.NONE,
                                   owned, lambda *_: loop.quit())
    loop.run()


if __name__ == "__main__":
    sys.exit(main())
