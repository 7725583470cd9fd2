"""A program's top-level windows on an X server, read and closed as a window
manager would (libX11 through ctypes, so nothing beyond Xvfb is needed)."""

import ctypes
import ctypes.util

_x = ctypes.CDLL(ctypes.util.find_library("X11"))
_Window = ctypes.c_ulong
_x.XOpenDisplay.restype = ctypes.c_void_p
_x.XOpenDisplay.argtypes = [ctypes.c_char_p]
_x.XCloseDisplay.argtypes = [ctypes.c_void_p]
_x.XDefaultRootWindow.restype = _Window
_x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
_x.XInternAtom.restype = ctypes.c_ulong
_x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
_x.XQueryTree.argtypes = [ctypes.c_void_p, _Window, ctypes.POINTER(_Window),
                          ctypes.POINTER(_Window), ctypes.POINTER(ctypes.POINTER(_Window)),
                          ctypes.POINTER(ctypes.c_uint)]
_x.XGetWindowProperty.argtypes = [
    ctypes.c_void_p, _Window, ctypes.c_ulong, ctypes.c_long, ctypes.c_long, ctypes.c_int,
    ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int),
    ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong),
    ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte))]
_x.XFree.argtypes = [ctypes.c_void_p]
_x.XSendEvent.argtypes = [ctypes.c_void_p, _Window, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
_x.XFlush.argtypes = [ctypes.c_void_p]

# A window can vanish between listing and reading it (Amparo destroys its
# window on close); Xlib's default handler would then end the whole test
# process on the BadWindow. Such a window just reads as having no properties.
_ErrorHandler = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_x.XSetErrorHandler.argtypes = [_ErrorHandler]
_x.XSetErrorHandler.restype = ctypes.c_void_p
_ignore_errors = _ErrorHandler(lambda display, event: 0)
_x.XSetErrorHandler(_ignore_errors)

_CLIENT_MESSAGE = 33
_ANY_PROPERTY_TYPE = 0


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", _Window),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 24)]


class Display:
    def __init__(self, name):
        self.handle = _x.XOpenDisplay(name.encode())
        if not self.handle:
            raise RuntimeError(f"cannot open display {name}")

    def close(self):
        _x.XCloseDisplay(self.handle)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def _atom(self, name):
        return _x.XInternAtom(self.handle, name.encode(), 0)

    def _property(self, window, name):
        kind, fmt, count, left = ctypes.c_ulong(), ctypes.c_int(), ctypes.c_ulong(), ctypes.c_ulong()
        data = ctypes.POINTER(ctypes.c_ubyte)()
        if _x.XGetWindowProperty(self.handle, window, self._atom(name), 0, 1024, 0,
                                 _ANY_PROPERTY_TYPE, ctypes.byref(kind), ctypes.byref(fmt),
                                 ctypes.byref(count), ctypes.byref(left), ctypes.byref(data)):
            return None
        try:
            if not data or not count.value:
                return None
            if fmt.value == 32:  # Xlib hands 32-bit items over as longs
                return list(ctypes.cast(data, ctypes.POINTER(ctypes.c_long))[:count.value])
            return bytes(data[:count.value])
        finally:
            if data:
                _x.XFree(data)

    def windows(self, pid):
        """The titles of pid's top-level windows (whether mapped or not), by window id."""
        root, parent = _Window(), _Window()
        children, count = ctypes.POINTER(_Window)(), ctypes.c_uint()
        _x.XQueryTree(self.handle, _x.XDefaultRootWindow(self.handle), ctypes.byref(root),
                      ctypes.byref(parent), ctypes.byref(children), ctypes.byref(count))
        found = {}
        try:
            for window in children[:count.value]:
                if self._property(window, "_NET_WM_PID") == [pid]:
                    title = self._property(window, "_NET_WM_NAME") or b""
                    found[window] = title.decode(errors="replace")
        finally:
            if children:
                _x.XFree(children)
        return found

    def close_window(self, window):
        """What a window manager sends when the window's close button is pressed."""
        event = _ClientMessage(type=_CLIENT_MESSAGE, send_event=1, window=window, format=32,
                               message_type=self._atom("WM_PROTOCOLS"))
        event.data[0] = self._atom("WM_DELETE_WINDOW")
        _x.XSendEvent(self.handle, window, 0, 0, ctypes.byref(event))
        _x.XFlush(self.handle)
