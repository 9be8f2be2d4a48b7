"""_Gate: which calls on one native handle may overlap.

The library lets searches on one opened searcher run at once, but open, close and
destruction must not overlap with anything. Shared calls (searches) may run
together; an exclusive call (open, close, every builder call) waits for the calls
in flight to finish and keeps new ones out until it is done.
"""

import threading


class _Gate:
    __slots__ = ("_cond", "_shared", "_exclusive")

    def __init__(self):
        self._cond = threading.Condition(threading.Lock())
        self._shared = 0
        self._exclusive = False

    def enter_shared(self):
        with self._cond:
            while self._exclusive:
                self._cond.wait()
            self._shared += 1

    def exit_shared(self):
        with self._cond:
            self._shared -= 1
            if self._shared == 0:
                self._cond.notify_all()

    def enter_exclusive(self):
        with self._cond:
            while self._exclusive:
                self._cond.wait()
            self._exclusive = True
            while self._shared:
                self._cond.wait()

    def exit_exclusive(self):
        with self._cond:
            self._exclusive = False
            self._cond.notify_all()
