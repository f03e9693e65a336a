"""Building blocks shared by the fuzz tests: hostile exceptions and values,
the per-run World that labels objects and logs calls, and the outcome of a
call as the tests compare it.

STRIX_FUZZ_EXAMPLES sets the examples per test (each module has its own
default); a larger value runs a long session.
"""

import os
import sys

from hypothesis import HealthCheck, settings, strategies as st


def fuzz_settings(default_examples):
    return settings(max_examples=int(os.environ.get("STRIX_FUZZ_EXAMPLES", str(default_examples))), deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class Hostile(Exception):
    pass


class Fatal(BaseException):
    """Not an Exception: no guard of a module may swallow it."""


class EvilBase:
    """A value whose protocol methods raise (or misbehave) by `mode`; each
    test module adds the protocols its functions touch."""

    def __init__(self, mode, exc=Hostile):
        self.mode, self.exc = mode, exc

    def _hit(self, name):
        if self.mode == name:
            raise self.exc(name)

    def __bool__(self):
        self._hit("bool")
        return self.mode != "falsy"

    def __eq__(self, other):
        self._hit("eq")
        return NotImplemented

    def __hash__(self):
        self._hit("hash")
        return 7

    def __len__(self):
        self._hit("len")
        return 1

    def __repr__(self):
        return f"Evil({self.mode})"


class Text(str):
    pass


class Items(list):
    pass


class WorldBase:
    """One run's hostile objects, labelled in creation order (two runs built
    from one description compare object by object), and the log of the calls
    the fakes received. Subclasses give ODD (factories of odd values),
    SCALARS (types compared by value), EVIL (the hostile value class) and
    MAX_DEPTH, and may add value kinds and canonical forms."""

    ODD = ()
    SCALARS = (type(None), bool, int, float, str, bytes)
    EVIL = EvilBase
    MAX_DEPTH = 20

    def __init__(self):
        self.labels, self.keep, self.log = {}, [], []

    def tag(self, obj):
        if type(obj) not in self.SCALARS and id(obj) not in self.labels:
            self.labels[id(obj)] = len(self.keep)
            self.keep.append(obj)
        return obj

    def value(self, recipe):
        kind = recipe[0]
        if kind == "lit":
            return recipe[1]
        if kind == "odd":
            return self.tag(self.ODD[recipe[1]]())
        if kind == "evil":
            return self.tag(self.EVIL(recipe[1], recipe[2]))
        return self.other_value(recipe)

    def other_value(self, recipe):
        raise AssertionError(recipe)

    def canon(self, v, depth=0):
        if id(v) in self.labels:
            return ("obj", self.labels[id(v)])
        t = type(v)
        if t is float:
            return ("float", repr(v))
        if t in self.SCALARS:
            return (t.__name__, v)
        if depth > self.MAX_DEPTH:
            return ("deep",)
        if t in (list, tuple):
            return (t.__name__, [self.canon(x, depth + 1) for x in v])
        if t is dict:
            return ("dict", [(self.canon(k, depth + 1), self.canon(x, depth + 1)) for k, x in v.items()])
        return self.canon_other(v, depth)

    def canon_other(self, v, depth):
        return ("other", type(v).__name__)

    def entry(self, *items):
        return tuple(self.canon(x) for x in items)

    def note(self, *items):
        self.log.append(self.entry(*items))


def mostly(benign, hostile, odds=3):
    """`benign` `odds` times as often as `hostile`: a world where everything
    fails at once tests only the first failure."""
    return st.integers(0, odds).flatmap(lambda i: hostile if i == 0 else benign)


def outcome(call):
    """("value", result) or ("raised", exception); a SystemError (a native
    fault surfacing) and a leaked handled-exception state fail the test."""
    try:
        result = ("value", call())
    except (Exception, Fatal) as exc:
        result = ("raised", exc)
    assert sys.exception() is None, "the handled-exception state leaked"
    if result[0] == "raised":
        assert not isinstance(result[1], SystemError), f"native fault: {result[1]!r}"
    return result
