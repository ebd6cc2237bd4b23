#!/usr/bin/python3
# A desktop portal for tests, on a private session bus beside a headless Mutter: it speaks the
# portal's remote desktop and screen cast conversation (requests answered by Response signals,
# sessions, restore tokens that are good for one start) and serves it with Mutter's own
# interfaces, so the streams it hands out are real PipeWire nodes and the input it is sent
# reaches real applications. The dialog is not drawn: what "the user" answers is set on stdin.
#
# stdin:  answer allow|cancel|deny   what the next dialog answers (allow at first)
#         close                      the desktop ends the running session (streams stop)
# The window chooser picks the window that has the focus. From remote desktop version 2 on it
# also has the Clipboard interface, served with the Mutter session's own clipboard.
#
# stdout: ready | dialog | dialog window | restored <token> | token <token> | refused <answer>
#         | closed by-desktop|by-client|owner-gone
#         | input <method> | at <x> <y> (where an absolute motion lands in its stream)
#         | clipboard requested | clipboard <method>
import argparse
import os
import socket
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()

DESKTOP = '/org/freedesktop/portal/desktop'
REMOTE_DESKTOP = 'org.freedesktop.portal.RemoteDesktop'
SCREEN_CAST = 'org.freedesktop.portal.ScreenCast'
CLIPBOARD = 'org.freedesktop.portal.Clipboard'
NOT_ALLOWED = 'org.freedesktop.portal.Error.NotAllowed'


def say(*words):
    print(*words, flush=True)


def sender_path(sender):
    return sender[1:].replace('.', '_')


class MutterSession:
    """A Mutter remote desktop session with a cast of every monitor, or of the focused window."""

    def __init__(self, cursor_mode, window, ready):
        rd = bus.get_object('org.gnome.Mutter.RemoteDesktop', '/org/gnome/Mutter/RemoteDesktop')
        path = rd.CreateSession(dbus_interface='org.gnome.Mutter.RemoteDesktop')
        session = bus.get_object('org.gnome.Mutter.RemoteDesktop', path)
        self.rd = dbus.Interface(session, 'org.gnome.Mutter.RemoteDesktop.Session')
        session_id = session.Get('org.gnome.Mutter.RemoteDesktop.Session', 'SessionId',
                                 dbus_interface=dbus.PROPERTIES_IFACE)
        sc = bus.get_object('org.gnome.Mutter.ScreenCast', '/org/gnome/Mutter/ScreenCast')
        cast = sc.CreateSession({'remote-desktop-session-id': session_id},
                                dbus_interface='org.gnome.Mutter.ScreenCast')
        self.cast = dbus.Interface(bus.get_object('org.gnome.Mutter.ScreenCast', cast),
                                   'org.gnome.Mutter.ScreenCast.Session')
        config = bus.get_object('org.gnome.Mutter.DisplayConfig', '/org/gnome/Mutter/DisplayConfig')
        _, monitors, logical, _ = config.GetCurrentState(dbus_interface='org.gnome.Mutter.DisplayConfig')
        sizes = {}
        for names, modes, _ in monitors:
            for mode in modes:
                if mode[6].get('is-current'):
                    sizes[str(names[0])] = (int(mode[1]), int(mode[2]))
        self.streams = []  # (node, mutter stream path, connector, x, y, width, height)
        self.nodes = {}
        pending = []
        if window:
            stream = self.cast.RecordWindow({'cursor-mode': dbus.UInt32(cursor_mode)})
            pending.append({'path': stream, 'connector': None, 'node': None})
        for x, y, _, _, _, specs, _ in [] if window else logical:
            connector = str(specs[0][0])
            stream = self.cast.RecordMonitor(connector, {'cursor-mode': dbus.UInt32(cursor_mode)})
            pending.append({'path': stream, 'connector': connector, 'at': (int(x), int(y)),
                            'size': sizes.get(connector, (0, 0)), 'node': None})
        # Mutter names the nodes after Start, by signals: ready once all are named.
        def named(node, e):
            e['node'] = int(node)
            if e['connector'] is None:
                # As large as the buffer Mutter sends: the window's own size comes with each one.
                parameters = bus.get_object('org.gnome.Mutter.ScreenCast', e['path']).Get(
                    'org.gnome.Mutter.ScreenCast.Stream', 'Parameters', dbus_interface=dbus.PROPERTIES_IFACE)
                e['size'] = tuple(int(v) for v in parameters.get('size', (0, 0)))
            self.nodes[e['node']] = e['path']
            if all(p['node'] is not None for p in pending) and not self.streams:
                self.streams.extend(pending)
                ready(self)
        for e in pending:
            bus.add_signal_receiver(lambda node, e=e: named(node, e), 'PipeWireStreamAdded',
                                    'org.gnome.Mutter.ScreenCast.Stream', 'org.gnome.Mutter.ScreenCast',
                                    e['path'])
        self.rd.Start()

    def enable_clipboard(self, owner_changed, transfer):
        # Mutter's keys are spelt with dashes, the portal's with underscores.
        # Mutter 43 wraps the types in a struct; the portal sends the bare list.
        def changed(options):
            owner_changed({key.replace('-', '_'): value[0] if isinstance(value, dbus.Struct) else value
                           for key, value in options.items()})
        self.rd.connect_to_signal('SelectionOwnerChanged', changed)
        self.rd.connect_to_signal('SelectionTransfer', transfer)
        self.rd.EnableClipboard(dbus.Dictionary({}, signature='sv'))

    def stop(self):
        try:
            self.rd.Stop()
        except dbus.DBusException:
            pass


class Session(dbus.service.Object):
    def __init__(self, portal, path, owner):
        super().__init__(bus, path)
        self.portal, self.path, self.owner = portal, path, owner
        self.devices = 3
        self.persist_mode = 0
        self.restore_token = ''
        self.cursor_mode = 2
        self.source_types = 1
        self.clipboard = False  # asked for before Start
        self.mutter = None

    @dbus.service.method('org.freedesktop.portal.Session', in_signature='', out_signature='')
    def Close(self):
        say('closed by-client')
        self.end(signal=False)

    @dbus.service.signal('org.freedesktop.portal.Session', signature='a{sv}')
    def Closed(self, details):
        pass

    def end(self, signal):
        if self.mutter:
            self.mutter.stop()
            self.mutter = None
        if signal:
            self.Closed({})
        self.portal.sessions.pop(self.path, None)
        self.remove_from_connection()


class Request(dbus.service.Object):
    @dbus.service.signal('org.freedesktop.portal.Request', signature='ua{sv}')
    def Response(self, code, results):
        pass


class Portal(dbus.service.Object):
    def __init__(self, version):
        super().__init__(bus, DESKTOP)
        self.version = version
        self.answer = 'allow'
        self.sessions = {}
        self.tokens = set()
        self.issued = 0

    # The portal answers every request by a signal on an object named after the caller.
    def request(self, sender, options):
        path = '%s/request/%s/%s' % (DESKTOP, sender_path(sender), options.get('handle_token', 'x'))
        request = Request(bus, path)

        def answer(code, results):
            def send():
                request.Response(dbus.UInt32(code), dbus.Dictionary(results, signature='sv'))
                request.remove_from_connection()
                return False
            GLib.idle_add(send)
        return dbus.ObjectPath(path), answer

    def respond(self, sender, options, code, results):
        path, answer = self.request(sender, options)
        answer(code, results)
        return path

    def session(self, path, sender):
        session = self.sessions.get(str(path))
        if not session or session.owner != sender:
            raise dbus.DBusException('no such session', name=NOT_ALLOWED)
        return session

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        if interface == REMOTE_DESKTOP:
            return {'version': dbus.UInt32(self.version), 'AvailableDeviceTypes': dbus.UInt32(3)}
        if interface == CLIPBOARD and self.version >= 2:
            return {'version': dbus.UInt32(1)}
        if interface == SCREEN_CAST:
            return {'version': dbus.UInt32(4), 'AvailableSourceTypes': dbus.UInt32(3),
                    'AvailableCursorModes': dbus.UInt32(3)}
        raise dbus.DBusException('no such interface', name='org.freedesktop.DBus.Error.UnknownInterface')

    @dbus.service.method(REMOTE_DESKTOP, in_signature='a{sv}', out_signature='o', sender_keyword='sender')
    def CreateSession(self, options, sender):
        path = '%s/session/%s/%s' % (DESKTOP, sender_path(sender), options['session_handle_token'])
        self.sessions[path] = Session(self, path, sender)
        return self.respond(sender, options, 0, {'session_handle': dbus.ObjectPath(path)})

    @dbus.service.method(REMOTE_DESKTOP, in_signature='oa{sv}', out_signature='o', sender_keyword='sender')
    def SelectDevices(self, path, options, sender):
        session = self.session(path, sender)
        session.devices = int(options.get('types', 3))
        if self.version >= 2:
            session.persist_mode = int(options.get('persist_mode', 0))
            session.restore_token = str(options.get('restore_token', ''))
        elif 'persist_mode' in options or 'restore_token' in options:
            raise dbus.DBusException('version 1 cannot persist', name='org.freedesktop.portal.Error.InvalidArgument')
        return self.respond(sender, options, 0, {})

    @dbus.service.method(SCREEN_CAST, in_signature='oa{sv}', out_signature='o', sender_keyword='sender')
    def SelectSources(self, path, options, sender):
        session = self.session(path, sender)
        if 'persist_mode' in options:
            raise dbus.DBusException('remote desktop sessions persist through SelectDevices',
                                     name='org.freedesktop.portal.Error.InvalidArgument')
        session.cursor_mode = int(options.get('cursor_mode', 1))
        session.source_types = int(options.get('types', 1))
        if session.source_types not in (1, 2):
            raise dbus.DBusException('monitors or windows', name='org.freedesktop.portal.Error.InvalidArgument')
        return self.respond(sender, options, 0, {})

    @dbus.service.method(REMOTE_DESKTOP, in_signature='osa{sv}', out_signature='o', sender_keyword='sender')
    def Start(self, path, parent, options, sender):
        session = self.session(path, sender)
        if session.restore_token in self.tokens:
            self.tokens.discard(session.restore_token)  # good for one start only
            say('restored', session.restore_token)
        else:
            say('dialog window' if session.source_types == 2 else 'dialog')
            if self.answer != 'allow':
                say('refused', self.answer)
                return self.respond(sender, options, 1 if self.answer == 'cancel' else 2, {})
        path, answer = self.request(sender, options)

        def ready(mutter):
            if session.mutter is not mutter:
                return
            streams = [(dbus.UInt32(e['node']),
                        {'size': dbus.Struct(e['size'], signature='ii'), 'source_type': dbus.UInt32(2)}
                        if e['connector'] is None else
                        {'position': dbus.Struct(e['at'], signature='ii'),
                         'size': dbus.Struct(e['size'], signature='ii'),
                         'source_type': dbus.UInt32(1), 'id': e['connector']})
                       for e in mutter.streams]
            results = {'devices': dbus.UInt32(session.devices),
                       'streams': dbus.Array(streams, signature='(ua{sv})')}
            if session.clipboard:
                mutter.enable_clipboard(
                    lambda options: self.SelectionOwnerChanged(dbus.ObjectPath(session.path),
                                                               dbus.Dictionary(options, signature='sv')),
                    lambda mime_type, serial: self.SelectionTransfer(dbus.ObjectPath(session.path),
                                                                     mime_type, serial))
                results['clipboard_enabled'] = dbus.Boolean(True)
            if self.version >= 2 and session.persist_mode == 2:
                self.issued += 1
                token = 'token-%d' % self.issued
                self.tokens.add(token)
                say('token', token)
                results['restore_token'] = token
            answer(0, results)

        # Mutter's cursor modes: 0 hidden, 1 embedded, 2 metadata; the portal's: 1, 2, 4.
        session.mutter = MutterSession({1: 0, 2: 1, 4: 2}.get(session.cursor_mode, 1),
                                       session.source_types == 2, ready)
        return path

    # The clipboard: asked for before the session starts, then Mutter's session's own.
    @dbus.service.method(CLIPBOARD, in_signature='oa{sv}', sender_keyword='sender')
    def RequestClipboard(self, path, options, sender):
        session = self.session(path, sender)
        if self.version < 2 or session.mutter:
            raise dbus.DBusException('the clipboard is asked for before Start', name=NOT_ALLOWED)
        session.clipboard = True
        say('clipboard requested')

    def clipboard(self, path, sender, method):
        session = self.session(path, sender)
        if not session.clipboard or not session.mutter:
            raise dbus.DBusException('no clipboard in this session', name=NOT_ALLOWED)
        say('clipboard', method)
        return session.mutter.rd

    @dbus.service.method(CLIPBOARD, in_signature='oa{sv}', sender_keyword='sender')
    def SetSelection(self, path, options, sender):
        mutter = self.clipboard(path, sender, 'SetSelection')
        mutter.SetSelection(dbus.Dictionary(
            {'mime-types': dbus.Array(options.get('mime_types', []), signature='s')}, signature='sv'))

    @dbus.service.method(CLIPBOARD, in_signature='ou', out_signature='h', sender_keyword='sender')
    def SelectionWrite(self, path, serial, sender):
        return self.clipboard(path, sender, 'SelectionWrite').SelectionWrite(serial)

    @dbus.service.method(CLIPBOARD, in_signature='oub', sender_keyword='sender')
    def SelectionWriteDone(self, path, serial, success, sender):
        self.clipboard(path, sender, 'SelectionWriteDone').SelectionWriteDone(serial, success)

    @dbus.service.method(CLIPBOARD, in_signature='os', out_signature='h', sender_keyword='sender')
    def SelectionRead(self, path, mime_type, sender):
        return self.clipboard(path, sender, 'SelectionRead').SelectionRead(mime_type)

    @dbus.service.signal(CLIPBOARD, signature='oa{sv}')
    def SelectionOwnerChanged(self, path, options):
        pass

    @dbus.service.signal(CLIPBOARD, signature='osu')
    def SelectionTransfer(self, path, mime_type, serial):
        pass

    @dbus.service.method(SCREEN_CAST, in_signature='oa{sv}', out_signature='h', sender_keyword='sender')
    def OpenPipeWireRemote(self, path, options, sender):
        if not self.session(path, sender).mutter:
            raise dbus.DBusException('not started', name=NOT_ALLOWED)
        connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        connection.connect(os.path.join(os.environ['XDG_RUNTIME_DIR'], 'pipewire-0'))
        fd = dbus.types.UnixFd(connection.fileno())  # a duplicate
        connection.close()
        return fd

    def mutter(self, path, sender, method):
        session = self.session(path, sender)
        if not session.mutter:
            raise dbus.DBusException('not started', name=NOT_ALLOWED)
        say('input', method)
        return session.mutter

    @dbus.service.method(REMOTE_DESKTOP, in_signature='oa{sv}dd', sender_keyword='sender')
    def NotifyPointerMotion(self, path, options, dx, dy, sender):
        self.mutter(path, sender, 'NotifyPointerMotion').rd.NotifyPointerMotionRelative(dx, dy)

    @dbus.service.method(REMOTE_DESKTOP, in_signature='oa{sv}udd', sender_keyword='sender')
    def NotifyPointerMotionAbsolute(self, path, options, node, x, y, sender):
        mutter = self.mutter(path, sender, 'NotifyPointerMotionAbsolute')
        if int(node) not in mutter.nodes:
            raise dbus.DBusException('no such stream', name='org.freedesktop.portal.Error.InvalidArgument')
        say('at', round(x), round(y))
        mutter.rd.NotifyPointerMotionAbsolute(mutter.nodes[int(node)], x, y)

    @dbus.service.method(REMOTE_DESKTOP, in_signature='oa{sv}iu', sender_keyword='sender')
    def NotifyPointerButton(self, path, options, button, state, sender):
        self.mutter(path, sender, 'NotifyPointerButton').rd.NotifyPointerButton(button, state == 1)

    @dbus.service.method(REMOTE_DESKTOP, in_signature='oa{sv}ui', sender_keyword='sender')
    def NotifyPointerAxisDiscrete(self, path, options, axis, steps, sender):
        self.mutter(path, sender, 'NotifyPointerAxisDiscrete').rd.NotifyPointerAxisDiscrete(axis, steps)

    @dbus.service.method(REMOTE_DESKTOP, in_signature='oa{sv}iu', sender_keyword='sender')
    def NotifyKeyboardKeysym(self, path, options, keysym, state, sender):
        self.mutter(path, sender, 'NotifyKeyboardKeysym').rd.NotifyKeyboardKeysym(
            dbus.UInt32(keysym), state == 1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--remote-desktop-version', type=int, default=2)
    arguments = parser.parse_args()
    portal = Portal(arguments.remote_desktop_version)
    name = dbus.service.BusName('org.freedesktop.portal.Desktop', bus, do_not_queue=True)

    def command(channel, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        words = line.split()
        if words[:1] == ['answer'] and len(words) == 2:
            portal.answer = words[1]
        elif words == ['close']:
            for session in list(portal.sessions.values()):
                if session.mutter:
                    session.end(signal=True)
                    say('closed by-desktop')
        return True

    # Like the real portal, sessions end with the application that made them.
    def owner_changed(name, old, new):
        if new == '':
            for session in [s for s in portal.sessions.values() if s.owner == name]:
                say('closed owner-gone')
                session.end(signal=False)
    bus.add_signal_receiver(owner_changed, 'NameOwnerChanged', 'org.freedesktop.DBus',
                            'org.freedesktop.DBus', '/org/freedesktop/DBus')

    loop = GLib.MainLoop()
    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
    say('ready')
    loop.run()
    del name


if __name__ == '__main__':
    main()
