"""Child process: call every function and method of one orvelkit module with random arguments,
and the same arguments to a plain Python function of the same signature.

Usage: binding_fuzz.py MODULE EXAMPLES CLOSED_PORT
The interpreter is the judge: a call that the plain function refuses must fail binding, with the
interpreter's own message where ours is one of its forms; a call that it accepts must get past
binding (and then pass the exact-type check of an int or str parameter, succeed, or fail in the
body with anything but a binding message). Runs in its own process so that a crash shows as an
exit code. Connections go only to 127.0.0.1:CLOSED_PORT, where nothing listens.
"""

import collections.abc
import contextlib
import functools
import importlib
import inspect
import io
import re
import string
import sys

import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

MODULE, EXAMPLES, CLOSED_PORT = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
module = importlib.import_module(MODULE)
# Annotations that make binding demand exactly that type (no subclass, no None).
EXACT = {"int": int, "str": str, int: int, str: str}


def is_module_function(value):
    return type(value).__name__ == "function" and getattr(value, "__module__", None) == MODULE


def module_functions():
    """Every function object the module defined, found by walking its namespace and classes."""
    found = {}
    for name, value in vars(module).items():
        if inspect.isclass(value) and value.__module__ == MODULE:
            for attr, member in vars(value).items():
                if is_module_function(member):
                    found[f"{name}.{attr}"] = (value, member)
        elif is_module_function(value):
            found[name] = (None, value)
    return found


class _Source(str):
    """A default value written as the name it is bound to in the plain function's namespace."""

    def __repr__(self):
        return str(self)


def plain_twin(function):
    """A Python function with the name, parameters and defaults of `function`; it returns what
    it was bound to."""
    signature = inspect.signature(function)
    namespace = {}
    parameters = []
    for i, parameter in enumerate(signature.parameters.values()):
        parameter = parameter.replace(annotation=parameter.empty)
        if parameter.default is not parameter.empty:
            namespace[f"_default{i}"] = parameter.default
            parameter = parameter.replace(default=_Source(f"_default{i}"))
        parameters.append(parameter)
    text = signature.replace(parameters=parameters, return_annotation=signature.empty)
    exec(f"def {function.__name__}{text}:\n    return locals()", namespace)
    return namespace[function.__name__]


FUNCTIONS = module_functions()
assert FUNCTIONS, f"{MODULE} defines no functions"
ALL_PARAMETERS = sorted({name for _, function in FUNCTIONS.values()
                         for name in inspect.signature(function).parameters})


def exact_type_failure(function, bound):
    """The message of the first parameter whose annotation demands an exact type it lacks."""
    for name, parameter in inspect.signature(function).parameters.items():
        wanted = EXACT.get(parameter.annotation)
        if wanted is not None and type(bound[name]) is not wanted:
            return (f"Argument '{name}' has incorrect type (expected {wanted.__name__}, "
                    f"got {type(bound[name]).__name__})")
    return None


class Plain:
    pass


class IntLike(int):
    pass


class TextLike(str):
    pass


def frame(kind):
    if kind == 0:
        return pd.DataFrame({"timestamp": ["2024-01-01", "2024-01-03", "2024-01-04"],
                             "values": [1, 2, 4]})
    if kind == 1:
        return pd.DataFrame({"values": [1, 2]})
    return pd.DataFrame()


HOST = f"127.0.0.1:{CLOSED_PORT}"
REQUESTS = ['{"data_input": {"date": ["2024-01-01", "2024-01-02"], "values": [1, 2]}, "period": 2}',
            "{'period': 1}", "", "[]"]

ordinary = st.one_of(
    st.none(), st.booleans(), st.integers(-3, 12), st.floats(allow_nan=True),
    st.text(string.ascii_letters + string.digits + "-:/ ", max_size=12),
    st.sampled_from(["2024-01-31", "01/02/2024", "Jan 3 2024", "u", "p", HOST, "d"] + REQUESTS),
    st.binary(max_size=6), st.lists(st.integers(), max_size=3),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
    st.builds(Plain), st.builds(IntLike, st.integers(0, 5)),
    st.builds(TextLike, st.sampled_from(["2024-01-01", "x"])),
    st.builds(frame, st.integers(0, 2)),
)


def instances(cls):
    """Objects of the module's class that calls may use as self without reaching the network."""
    if MODULE == "orvelkit.auspex":
        return [cls()]
    if MODULE == "orvelkit.tabloom":
        idle = cls("u", "p", HOST, "d", cache_path=".")
        tried = cls("u", "p@ss/w:rd", HOST, "d", cache_path=".")
        try:
            tried.connect()  # fails, but leaves an engine for the closed port behind
        except Exception:
            pass
        return [idle, tried]
    return [cls("u", "p", HOST, "d"), cls("u", None, HOST, "d"), cls()]


def fresh(cls):
    # __init__ rewrites its instance: it only ever gets a new one, never one that connects.
    return st.builds(lambda: cls() if MODULE == "orvelkit.auspex" else cls.__new__(cls))


def keys(names):
    return st.one_of(st.sampled_from(names + ALL_PARAMETERS + ["kwargs", "args", "x"]),
                     st.text(max_size=6), st.integers(-2, 2), st.none(), st.just(b"df"),
                     st.builds(TextLike, st.sampled_from(names)))


RIGHT_TYPE = {int: st.integers(-2, 8), str: st.sampled_from(REQUESTS + ["2024-01-31", "x"])}


@st.composite
def arguments(draw, function, values, through_instance):
    """Positional and keyword arguments, a good share of which bind."""
    parameters = list(inspect.signature(function).parameters.values())
    every_name = [p.name for p in parameters]
    if through_instance:
        parameters = parameters[1:]
    params = [p.name for p in parameters]
    required = sum(p.default is p.empty for p in parameters)
    exact = {p.name: EXACT[p.annotation] for p in parameters if p.annotation in EXACT}

    def value(param):
        wanted = exact.get(param)
        return draw(st.one_of(RIGHT_TYPE[wanted], values) if wanted else values)

    count = draw(st.integers(0, len(params) + 1))
    args = [value(params[i]) if i < len(params) else draw(values) for i in range(count)]
    mode = draw(st.integers(0, 3))
    if mode < 2:  # name the missing required parameters and maybe some optional ones
        optional = params[required:]
        named = params[count:required] + (draw(st.lists(st.sampled_from(optional), unique=True))
                                          if optional else [])
        named = [p for p in named if p not in params[:count]]
    else:  # any parameters, even ones already given by position
        named = draw(st.lists(st.sampled_from(params), unique=True)) if params else []
    items = [(name, value(name)) for name in named]
    if mode == 3:
        items += list(draw(st.dictionaries(keys(every_name), values, max_size=3)).items())
    kwargs = {}
    for key, val in draw(st.permutations(items)):
        kwargs.setdefault(key, val)
    return args, kwargs


BINDING = re.compile(r"^(\w+\(\) (takes|got|keywords)|keywords must be strings)")
# Our messages that have the interpreter's own wording, compared word for word with the plain
# function's. The count and repeated-keyword messages have a wording of their own.
INTERPRETERS_OWN = re.compile(r"^\w+\(\) got an unexpected keyword argument ")


def outcome(call, args, kwargs):
    """("value", result) or ("error", exception), with whatever the call prints swallowed."""
    try:
        with contextlib.redirect_stderr(io.StringIO()), contextlib.redirect_stdout(io.StringIO()):
            return "value", call(*args, **kwargs)
    except Exception as error:
        return "error", error


def check(qualified):
    cls, function = FUNCTIONS[qualified]
    twin = plain_twin(function)
    if cls is None:
        values, selves = ordinary, st.just(None)
    elif function.__name__ == "__init__":
        values = st.one_of(ordinary, fresh(cls))
        selves = st.one_of(st.none(), fresh(cls))
    else:
        pool = instances(cls)
        values = st.one_of(ordinary, st.sampled_from(pool))
        selves = st.one_of(st.none(), st.sampled_from(pool))

    @settings(max_examples=EXAMPLES, deadline=None, database=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                     HealthCheck.filter_too_much])
    @given(instance=selves, tp_call=st.booleans(), data=st.data())
    def call(instance, tp_call, data):
        args, kwargs = data.draw(arguments(function, values, instance is not None))
        bound = [] if instance is None else [instance]
        if tp_call:  # the type's own __call__: a tuple and a dict, as C callers of tp_call do
            target = functools.partial(type(function).__call__, function, *bound)
        else:
            target = function if instance is None else getattr(instance, function.__name__)
        twin_args = [*bound, *args]
        kind, theirs = outcome(twin, twin_args, kwargs)
        expected = None if kind == "error" else exact_type_failure(function, theirs)
        kind, ours = outcome(target, args, kwargs)
        context = (qualified, args, kwargs, theirs, ours)
        if isinstance(theirs, TypeError):
            assert isinstance(ours, TypeError) and BINDING.match(str(ours)), context
            if INTERPRETERS_OWN.match(str(ours)) and all(isinstance(k, str) for k in kwargs):
                assert str(ours) == str(theirs), context
            if not tp_call and not all(isinstance(k, str) for k in kwargs):
                # An ordinary call unpacks ** itself: the interpreter refuses before either runs.
                assert str(ours) == str(theirs) == "keywords must be strings", context
        elif expected is not None:
            assert isinstance(ours, TypeError) and str(ours) == expected, context
        else:
            assert not (isinstance(ours, TypeError) and BINDING.match(str(ours))), context
            if kind == "value" and inspect.iscoroutinefunction(function):
                # Bound and accepted: a coroutine, with nothing of the body run yet.
                assert isinstance(ours, collections.abc.Coroutine), ours
                ours.close()

    call()
    print(f"{qualified}: {EXAMPLES} examples", flush=True)


for qualified in FUNCTIONS:
    check(qualified)
print("ALL DONE", flush=True)
