#!/usr/bin/python3
# fake_portal.py HOW [URI]: a desktop portal whose SaveFile does as HOW says:
# refuse (an error of a line feed and an escape sequence), version-error (so
# for the version), answer URI (0 with URI), moved URI (so, on a request path
# of its own), other (2 with no dialog; it owns a backend's name too), late
# (takes the request after 3.1 s). It prints "closed PATH" for Request.Close.
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PATH = "/org/freedesktop/portal/desktop"
HOSTILE = dbus.exceptions.DBusException("failed\n\x1b[31mred", name="org.freedesktop.portal.Error.Failed")
how, uri = (sys.argv[1:] + [""])[:2]


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
            raise HOSTILE
        return dbus.UInt32(3, variant_level=1)

    # GDK reads the desktop's settings here on Wayland: none.
    @dbus.service.method("org.freedesktop.portal.Settings", in_signature="as", out_signature="a{sa{sv}}")
    def ReadAll(self, namespaces):
        return dbus.Dictionary({}, signature="sa{sv}")

    @dbus.service.method("org.freedesktop.portal.FileChooser", in_signature="ssa{sv}", out_signature="o",
                         sender_keyword="sender", async_callbacks=("reply", "error"))
    def SaveFile(self, parent, title, options, sender, reply, error):
        if how == "refuse":
            return error(HOSTILE)
        caller = sender[1:].replace(".", "_") + "/" + options["handle_token"]
        path = PATH + "/request/" + (caller if how != "moved" else "moved/1")
        request = Request(self.connection, path)
        if how in ("answer", "moved", "other"):
            answer = (2, {}) if how == "other" else (0, {"uris": [uri]})
            GLib.timeout_add(200, lambda: request.Response(*answer))
        GLib.timeout_add(3100 if how == "late" else 0, lambda: reply(path))


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
portal = Portal(bus, PATH)
names = [dbus.service.BusName(name, bus) for name in
         ["org.freedesktop.impl.portal.desktop.fake"] * (how == "other") + ["org.freedesktop.portal.Desktop"]]
GLib.MainLoop().run()
