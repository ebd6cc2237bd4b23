#!/usr/bin/python3
# A window for the desktop benchmarks: it fills the screen, repaints a moving bar 30 times a
# second while animating, and prints the monotonic time of every pointer press it receives.
# stdout: ready | press <CLOCK_MONOTONIC ns>     stdin: animate on|off
import sys
import time

import gi
gi.require_version('Gtk', '3.0')
from gi.repository import GLib, Gtk  # noqa: E402

state = {'frame': 0, 'animate': False, 'ready': False}
window = Gtk.Window(title='TavelinProbe')
area = Gtk.DrawingArea()
window.add(area)


def draw(widget, cr):
    width, height = widget.get_allocated_width(), widget.get_allocated_height()
    cr.set_source_rgb(0.1, 0.1, 0.12)
    cr.paint()
    x = (state['frame'] * 17) % max(1, width)
    cr.set_source_rgb(0.9, 0.6, 0.2)
    cr.rectangle(x, 0, width / 8, height)
    cr.fill()
    if not state['ready']:
        state['ready'] = True
        GLib.idle_add(lambda: print('ready', flush=True) or False)
    return False


def tick():
    if state['animate']:
        state['frame'] += 1
        area.queue_draw()
    return True


def pressed(widget, event):
    print('press', time.monotonic_ns(), flush=True)
    return True


def command(channel, condition):
    line = sys.stdin.readline()
    if not line:
        Gtk.main_quit()
        return False
    if line.split() == ['animate', 'on']:
        state['animate'] = True
    elif line.split() == ['animate', 'off']:
        state['animate'] = False
    return True


area.connect('draw', draw)
window.add_events(1 << 8)  # button presses
window.connect('button-press-event', pressed)
window.connect('destroy', Gtk.main_quit)
GLib.timeout_add(33, tick)
GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, command)
window.maximize()
window.show_all()
Gtk.main()
