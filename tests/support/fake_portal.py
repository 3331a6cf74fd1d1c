#!/usr/bin/python3
# A desktop portal that misbehaves as told, for the portal client's tests:
#   fake_portal.py HOW [URI]
# It owns org.freedesktop.portal.Desktop, offers a file chooser (version 3)
# and takes SaveFile as HOW says:
#   refuse         an error whose message holds a line feed and an escape sequence
#   version-error  the same error for the file chooser's version
#   answer URI     takes the request, then answers 0 with URI
#   moved URI      the same, from a request object other than the caller's
#   other          takes the request, answers 2 ("other") 200 ms later, shows
#                  nothing; it owns a backend's name too, as the one that would
#                  show the dialog
#   late           takes the request after 3.1 s
#   stop           takes the request, then stops itself (SIGSTOP)
# It prints "closed PATH" when a request is closed.
import os
import signal
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PATH = "/org/freedesktop/portal/desktop"
HOSTILE = "failed\n\x1b[31mred"
how = sys.argv[1]
uri = sys.argv[2] if len(sys.argv) > 2 else ""


class Request(dbus.service.Object):
    @dbus.service.method("org.freedesktop.portal.Request")
    def Close(self):
        print("closed", self.__dbus_object_path__, flush=True)

    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, code, results):
        pass


class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if how == "version-error":
            raise dbus.exceptions.DBusException(HOSTILE, name="org.freedesktop.portal.Error.Failed")
        return dbus.UInt32(3, variant_level=1)

    # GDK reads the desktop's settings here on Wayland: none.
    @dbus.service.method("org.freedesktop.portal.Settings", in_signature="as", out_signature="a{sa{sv}}")
    def ReadAll(self, namespaces):
        return dbus.Dictionary({}, signature="sa{sv}")

    @dbus.service.method("org.freedesktop.portal.FileChooser", in_signature="ssa{sv}", out_signature="o",
                         sender_keyword="sender", async_callbacks=("reply", "error"))
    def SaveFile(self, parent, title, options, sender, reply, error):
        if how == "refuse":
            error(dbus.exceptions.DBusException(HOSTILE, name="org.freedesktop.portal.Error.Failed"))
            return
        caller = sender[1:].replace(".", "_")
        path = PATH + "/request/" + (caller + "/" + options["handle_token"] if how != "moved" else "moved/1")
        request = Request(self.connection, path)
        answers = {"answer": (0, {"uris": [uri]}), "moved": (0, {"uris": [uri]}), "other": (2, {})}
        if how in answers:
            GLib.timeout_add(200, lambda: request.Response(*answers[how]))
        if how == "stop":
            GLib.timeout_add(100, lambda: os.kill(os.getpid(), signal.SIGSTOP))
        GLib.timeout_add(3100 if how == "late" else 0, lambda: reply(path))


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
portal = Portal(bus, PATH)
names = [dbus.service.BusName("org.freedesktop.impl.portal.desktop.fake", bus)] if how == "other" else []
names.append(dbus.service.BusName("org.freedesktop.portal.Desktop", bus))
GLib.MainLoop().run()
