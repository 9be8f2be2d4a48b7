"""_Handle: the lifecycle of one liborvane_py handle, shared by Builder and Searcher."""

from orvane import _convert, _native
from orvane._errors import OrvaneError
from orvane._gate import _Gate


def _configured_dimension(options):
    try:
        return int(str(options.get("index.dimension")).strip())
    except (TypeError, ValueError, AttributeError):
        return None


def _checked(fn, *args, failed, context=None):
    """Calls fn(*args, err, len(err)) and raises the library's message when failed(result).

    `context` (a path) is put in front of the library's message."""
    err = _native.error_buffer()
    result = fn(*args, err, len(err))
    if failed(result):
        message = err.value.decode("utf-8", errors="replace")
        if context is not None:
            message = "%s: %s" % (context, message)
        raise OrvaneError(message)
    return result


def check_option_keys(lib, purpose, index_type, text):
    """Refuses keys the kind's schema does not know (the library only logs them)."""
    _checked(lib.orvane_check_option_keys, purpose.encode(), index_type.encode("utf-8"), text,
             failed=lambda rc: rc != 0)


class _Handle:
    """Owns one native object created by orvane_<kind>_create from an options map.

    close() frees it with orvane_<kind>_destroy, waits for calls in flight and is
    safe to call more than once, from any thread; the object is also a context
    manager and frees itself when collected. Subclasses set _KIND to "builder" or
    "searcher".
    """

    _KIND = None
    _handle = None  # also what close() sees when __init__ failed half way
    _gate = None

    def __init__(self, options):
        text = _convert.options_json(options)  # bad options never reach the library
        self._gate = _Gate()
        self._dim = _configured_dimension(options)
        self._type = _convert.index_type(options)
        self._lib = _native.load()
        if self._type is not None:
            check_option_keys(self._lib, self._KIND, self._type, text)
        self._handle = _checked(self._fn("create"), text, failed=lambda handle: not handle)

    def _fn(self, name):
        return getattr(self._lib, "orvane_%s_%s" % (self._KIND, name))

    def _live(self):
        """The native handle; ValueError once closed."""
        handle = self._handle
        if handle is None:
            raise ValueError("%s is closed" % self._KIND)
        return handle

    def _call(self, name, handle, *args, context=None):
        """Calls orvane_<kind>_<name>(handle, *args, err, len) and raises if it returns non-zero."""
        _checked(self._fn(name), handle, *args, failed=lambda rc: rc != 0, context=context)

    def _exclusive(self, fn, *args):
        """Runs fn(handle, *args) with no other call on this handle in flight."""
        self._gate.enter_exclusive()
        try:
            return fn(self._live(), *args)
        finally:
            self._gate.exit_exclusive()

    def close(self):
        """Frees the native object once the calls in flight are done; safe to call more than once."""
        gate = self._gate
        if gate is None:
            return
        gate.enter_exclusive()
        try:
            handle, self._handle = self._handle, None
            if handle is not None:
                self._fn("destroy")(handle)
        finally:
            gate.exit_exclusive()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:  # interpreter shutdown: nothing sensible left to do
            pass
