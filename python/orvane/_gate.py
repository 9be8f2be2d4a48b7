"""_Gate: which calls on one native handle may overlap.

The library lets searches on one opened searcher run at once, but open, close and
destruction must not overlap with anything. Shared calls (searches) may run
together; an exclusive call (open, close, every builder call) waits for the calls
in flight to finish and keeps new ones out until it is done.
"""

import threading


class _Gate:
    __slots__ = ("_lock", "_cond", "_shared", "_exclusive")

    def __init__(self):
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._shared = 0
        self._exclusive = False

    # The shared side is on every search's path: plain lock calls, and the condition
    # only when there is something to wait for or someone to wake.
    def enter_shared(self):
        lock = self._lock
        lock.acquire()
        try:
            while self._exclusive:
                self._cond.wait()
            self._shared += 1
        finally:
            lock.release()

    def exit_shared(self):
        lock = self._lock
        lock.acquire()
        self._shared -= 1
        if self._shared == 0 and self._exclusive:
            self._cond.notify_all()
        lock.release()

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
