#!/usr/bin/python3
# A window for the phone latency benchmark: it fills the screen with one colour per frame, the
# colour telling the frame's number, repainting about 60 times a second, and prints when each
# frame was drawn (wall clock, milliseconds, as a browser on this machine reads Date.now()).
# stdout: ready | frame <number> <epoch ms>
# The number n is shown as a grey of 16 steps (n mod 16, a quarter of a second of frames): a
# JPEG keeps the brightness of a plain surface near enough, not always its hue.
import sys
import time

import gi
gi.require_version('Gtk', '3.0')
from gi.repository import GLib, Gtk  # noqa: E402

LEVELS = 16
state = {'frame': 0, 'shown': -1}
window = Gtk.Window(title='TavelinCounter')
area = Gtk.DrawingArea()
window.add(area)


def draw(widget, cr):
    grey = (8 + 16 * (state['frame'] % LEVELS)) / 255.0
    cr.set_source_rgb(grey, grey, grey)
    cr.paint()
    if state['shown'] != state['frame']:
        state['shown'] = state['frame']
        print('frame', state['frame'], '%.3f' % (time.time() * 1000), flush=True)
    return False


def tick(clock, _data=None):
    state['frame'] += 1
    area.queue_draw()
    return True


area.connect('draw', draw)
window.connect('destroy', Gtk.main_quit)
GLib.timeout_add(16, lambda: tick(None) or True)
window.maximize()
window.show_all()
GLib.idle_add(lambda: print('ready', flush=True) or False)
Gtk.main()
