"""The plotter object: construction, its six attributes, type tests and assignment through the class."""

import itertools
import json

import pytest

from helpers import entry, hierarchy_frames, own_entries, run_python
from sorvani_kb.datavisualization.plotPrediction import plotPrediction

ATTRS = ("id_pred", "data", "pred_mean", "pi_lower", "pi_upper", "use_case")


def texts():
    """Six new text objects, none of them interned, so identity says where each one went."""
    return tuple("".join(["col ", a]) for a in ATTRS)


class StrSub(str):
    pass


LOG: list = []


class Watched(plotPrediction):
    """Logs every assignment into LOG; fails the one numbered `fail_at` (counting from 0)."""

    fail_at = None

    def __setattr__(self, name, value):
        if len(LOG) == self.fail_at:
            raise Boom(name)
        LOG.append((name, value))
        super().__setattr__(name, value)


@pytest.fixture(autouse=True)
def clear_log():
    LOG.clear()


class Boom(Exception):
    pass


def test_attributes_are_the_very_arguments():
    values = texts()
    obj = plotPrediction(*values)
    assert list(vars(obj)) == list(ATTRS)
    assert all(getattr(obj, a) is v for a, v in zip(ATTRS, values))
    assert plotPrediction.__init__(obj, *values[::-1]) is None  # a second call rebinds all six
    assert [getattr(obj, a) for a in ATTRS] == list(values[::-1])


ORDERS = [ATTRS, ATTRS[::-1]] + [p for i, p in enumerate(itertools.permutations(ATTRS)) if i % 97 == 5]


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("npos", [0, 2, 5])
def test_keyword_construction_in_any_order(order, npos):
    values = dict(zip(ATTRS, texts()))
    positional = [values[a] for a in ATTRS[:npos]]
    keywords = {a: values[a] for a in order if a not in ATTRS[:npos]}
    obj = plotPrediction(*positional, **keywords)
    assert all(getattr(obj, a) is values[a] for a in ATTRS)


@pytest.mark.parametrize(
    "bad, reported, type_name",
    [
        ({"use_case": None}, "use_case", "NoneType"),
        ({"data": 7, "use_case": None}, "data", "int"),
        ({"pi_upper": StrSub("hi")}, "pi_upper", "StrSub"),
        ({"pred_mean": b"m", "pi_lower": 1.5}, "pred_mean", "bytes"),
        (dict.fromkeys(ATTRS), "id_pred", "NoneType"),
        ({"pi_lower": ["x"], "pi_upper": 3}, "pi_lower", "list"),
    ]
    + [({a: None}, a, "NoneType") for a in ATTRS]
    + [({a: StrSub(a)}, a, "StrSub") for a in ATTRS],
)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_type_tests_in_parameter_order_set_nothing(bad, reported, type_name, by_keyword):
    values = dict(zip(ATTRS, texts()), **bad)
    obj = Watched.__new__(Watched)
    with pytest.raises(TypeError) as ei:
        obj.__init__(**values) if by_keyword else obj.__init__(*values.values())
    assert str(ei.value) == f"Argument '{reported}' has incorrect type (expected str, got {type_name})"
    assert own_entries(ei.value) == [] and vars(obj) == {} and LOG == []


def test_a_subclass_setter_sees_the_six_assignments_in_order():
    values = texts()
    Watched(*values)
    assert [name for name, _ in LOG] == list(ATTRS)
    assert all(v is expected for (_, v), expected in zip(LOG, values))


@pytest.mark.parametrize("k", range(6))
def test_failing_assignment_keeps_earlier_ones_and_reports_its_line(monkeypatch, k):
    values = texts()
    monkeypatch.setattr(Watched, "fail_at", k)
    obj = Watched.__new__(Watched)
    with pytest.raises(Boom) as ei:
        obj.__init__(*values)
    assert ei.value.args == (ATTRS[k],)
    assert own_entries(ei.value) == [entry("plotPrediction.__init__", 50 + k)]
    assert list(vars(obj)) == list(ATTRS[:k])
    assert all(getattr(obj, a) is v for a, v in zip(ATTRS[:k], values))


def test_unknown_column_names_are_accepted_until_a_method_uses_them():
    obj = plotPrediction("no such id", "", "nope", "x", "y", "")
    assert (obj.id_pred, obj.data, obj.use_case) == ("no such id", "", "")
    frame, _ = hierarchy_frames()
    with pytest.raises(KeyError) as ei:
        obj.plot_pred(frame)
    assert ei.value.args == ("no such id",)


def test_replaced_attributes_are_used_as_they_are(plotter):
    frame, _ = hierarchy_frames(ids=("Italia",))
    plotter.use_case = 7  # not tested again after construction
    (fig,) = plotter.plot_pred(frame)
    assert fig.layout.title.text == "Predizione 7 - Italia"
    plotter.id_pred = "gone"
    with pytest.raises(KeyError):
        plotter.plot_pred(frame)


def test_construction_follows_a_replaced_init():
    """Calling the class uses whatever __init__ the class holds at the time, as a Python class does."""
    seen = []
    original = plotPrediction.__init__
    plotPrediction(*texts())  # once with its own __init__ first
    plotPrediction.__init__ = lambda self, *args, **kwargs: seen.append((args, kwargs))
    try:
        obj = plotPrediction(*texts()[:5], use_case="u")
        assert seen == [(texts()[:5], {"use_case": "u"})] and vars(obj) == {}
    finally:
        plotPrediction.__init__ = original
    assert vars(plotPrediction(*texts())) == dict(zip(ATTRS, texts()))


def test_construction_follows_a_replaced_new():
    """A replaced __new__ is used, and removing it again leaves what a Python class has."""
    script = """
        import json
        from sorvani_kb.datavisualization.plotPrediction import plotPrediction

        class Plain:
            def __init__(self, id_pred, data, pred_mean, pi_lower, pi_upper, use_case):
                self.id_pred = id_pred

        def outcome(cls):
            try:
                return type(cls("a", "b", "c", "d", "e", "f")).__name__
            except TypeError as exc:
                return str(exc)

        made = []
        def new(cls, *args):
            made.append(args)
            return object.__new__(cls)

        for cls in (plotPrediction, Plain):
            seen = [outcome(cls)]
            cls.__new__ = new
            seen.append(outcome(cls))
            del cls.__new__
            seen.append(outcome(cls))
            print(json.dumps(seen))
        print(len(made))
    """
    ours, plain, calls = run_python(script).stdout.splitlines()
    ours, plain = json.loads(ours), json.loads(plain)
    assert ours[:2] == ["plotPrediction", "plotPrediction"] and plain[:2] == ["Plain", "Plain"]
    assert ours[2] == plain[2]  # whatever CPython leaves once __new__ is removed
    assert calls == "2"


def test_construction_after_an_unrelated_class_change():
    plotPrediction(*texts())
    plotPrediction.extra = 1
    try:
        assert vars(plotPrediction(*texts())) == dict(zip(ATTRS, texts()))
    finally:
        del plotPrediction.extra


def test_init_called_again_on_an_instance_reassigns(plotter):
    new = texts()
    assert plotPrediction.__init__(plotter, *new) is None
    assert [getattr(plotter, a) for a in ATTRS] == list(new)
