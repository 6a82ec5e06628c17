#!/usr/bin/env python3
"""Asks an X window to close the way a window manager's close box does (WM_DELETE_WINDOW)."""
import sys
from Xlib import X, display, protocol

d = display.Display()
w = d.create_resource_object("window", int(sys.argv[1]))
protocols = d.intern_atom("WM_PROTOCOLS")
delete = d.intern_atom("WM_DELETE_WINDOW")
event = protocol.event.ClientMessage(window=w, client_type=protocols,
                                     data=(32, [delete, X.CurrentTime, 0, 0, 0]))
w.send_event(event, event_mask=X.NoEventMask)
d.flush()
