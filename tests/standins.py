"""Plain-Python stand-ins for the libraries the module calls, and a record of what it asks of them.

A `StandIn` answers every operation a body makes of a frame, a figure or a library module (an
attribute, an item, a call, a comparison, arithmetic, truth, iteration, formatting) with another
stand-in, and notes the operation in its `Log`. So a body runs to its end on stand-ins alone, the
log lists the library operations in the order the body made them, and a log told to fail at its
k-th entry makes that operation raise `StandInError`: every failure path of a body, one per k.
Nothing here holds a reference beyond the call that made it, so reference counts taken around a
call are the module's own.
"""

import contextlib

LIBRARIES = ("np", "pd", "plt", "qqplot", "px", "go")


class StandInError(Exception):
    """Raised by the operation a log was told to fail at."""


class Log:
    def __init__(self, fail_at=None):
        self.reset(fail_at)

    def reset(self, fail_at=None):
        """Forgets the operations noted so far; the next run fails at its `fail_at`-th."""
        self.ops = []
        self.fail_at = fail_at

    def note(self, *op):
        index = len(self.ops)
        self.ops.append(op)
        if index == self.fail_at:
            raise StandInError(index)
        return index

    @staticmethod
    def truth(index):
        # Deterministic and mixed, so that both sides of each branch and each `or` are taken.
        return index % 3 != 2


def key_text(key):
    """An item key as the log shows it: texts and numbers as they are, anything else by kind."""
    if isinstance(key, (str, int)):
        return key
    if isinstance(key, slice):
        return "slice"
    return type(key).__name__


class StandIn:
    __slots__ = ("_log",)

    def __init__(self, log):
        object.__setattr__(self, "_log", log)

    def _op(self, *op):
        self._log.note(*op)
        return StandIn(self._log)

    def __getattr__(self, name):
        return self._op("getattr", name)

    def __setattr__(self, name, value):
        self._log.note("setattr", name)

    def __getitem__(self, key):
        return self._op("getitem", key_text(key))

    def __call__(self, *args, **kwargs):
        return self._op("call", len(args), tuple(kwargs))

    def __eq__(self, other):
        return self._op("==")

    def __ne__(self, other):
        return self._op("!=")

    def __le__(self, other):
        return self._op("<=")

    def __add__(self, other):
        return self._op("+")

    def __radd__(self, other):
        return self._op("+")

    def __sub__(self, other):
        return self._op("-")

    def __rsub__(self, other):
        return self._op("-")

    def __mul__(self, other):
        return self._op("*")

    def __rmul__(self, other):
        return self._op("*")

    def __truediv__(self, other):
        return self._op("/")

    def __rtruediv__(self, other):
        return self._op("/")

    def __bool__(self):
        return Log.truth(self._log.note("bool"))

    def __iter__(self):
        self._log.note("iter")
        return StandInIterator(self._log)

    def __len__(self):
        self._log.note("len")
        return 2

    def __index__(self):
        self._log.note("index")
        return 2

    def __int__(self):
        self._log.note("int")
        return 2

    def __format__(self, spec):
        self._log.note("format")
        return "s"

    __hash__ = object.__hash__


class StandInIterator:
    """Iterates over two stand-ins, noting each step."""

    __slots__ = ("_log", "_left")

    def __init__(self, log):
        self._log = log
        self._left = 2

    def __iter__(self):
        return self

    def __next__(self):
        self._log.note("next")
        if not self._left:
            raise StopIteration
        self._left -= 1
        return StandIn(self._log)


@contextlib.contextmanager
def libraries_replaced(namespace, log):
    """Binds a stand-in for every library name of `namespace` (a module's globals) while the
    block runs; the names are put back afterwards, whatever happens."""
    saved = {name: namespace[name] for name in LIBRARIES if name in namespace}
    try:
        for name in LIBRARIES:
            namespace[name] = StandIn(log)
        yield
    finally:
        namespace.update(saved)


COLUMNS = ("c_id", "c_date", "c_mean", "c_lower", "c_upper", "c_use_case")
ATTRS = ("id_pred", "data", "pred_mean", "pi_lower", "pi_upper", "use_case")


def noted_plotter(plotter_class, log):
    """A plotter of a subclass of `plotter_class` whose attribute reads are noted in `log`."""

    class Noted(plotter_class):
        def __getattribute__(self, name):
            if name in ATTRS:
                log.note("self", name)
            return super().__getattribute__(name)

    return Noted(*COLUMNS)


def scenarios(module, log):
    """{name: (function, argument maker)} covering every branch of every body of `module` (the
    native module or its Python listing): each call made anew with fresh stand-ins."""
    plotter = noted_plotter(module.plotPrediction, log)

    def s():
        return StandIn(log)

    return {
        "obtain_dataset Italia": (module.obtain_dataset, lambda: (s(), "Italia", "c_id")),
        "obtain_dataset member": (module.obtain_dataset, lambda: (s(), "Italia/A", "c_id")),
        "__init__": (plotter.__init__, lambda: COLUMNS),
        "plot_pred every id": (plotter.plot_pred, lambda: (s(), None, s(), "r_id", "r_date", "r_y", s(), "2024-01-07")),
        "plot_pred one id": (plotter.plot_pred, lambda: (s(), "Italia", None, None, None, None, s(), None)),
        "plot_hierarchical": (plotter.plot_hierarchical, lambda: (s(), "Italia/A")),
        "plot_sum_hierarchy": (plotter.plot_sum_hierarchy, lambda: (s(), "Italia")),
        "dist_residuals every id": (plotter.dist_residuals, lambda: (s(), s(), "r_id", "r_y", None)),
        "dist_residuals one id": (plotter.dist_residuals, lambda: (s(), s(), "r_id", "r_y", "Italia")),
        "plot_residuals": (plotter.plot_residuals, lambda: (s(), s(), "r_id", "r_y", "Italia")),
    }
