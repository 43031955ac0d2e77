"""Child process: call every function and method of one orvelkit module with random arguments.

Usage: binding_fuzz.py MODULE EXAMPLES CLOSED_PORT
Each call must either fail binding with exactly the message that the binding rules give for
those arguments, or get past binding (and then succeed or fail in its body with anything
but a binding message).  Runs in its own process so that a crash shows as an exit code.
Connections go only to 127.0.0.1:CLOSED_PORT, where nothing listens.
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

# qualified name -> (plain name, parameters, how many have defaults, exact types required)
SIGNATURES = {
    "orvelkit.auspex": {
        "ts_forecast": ("ts_forecast", ["df", "period"], 0, {"period": int}),
        "conv_date": ("conv_date", ["dt"], 0, {}),
        "Auspex._run": ("_run", ["self", "input"], 0, {"input": str}),
        "Auspex._arun": ("_arun", ["self", "data"], 0, {"data": str}),
    },
    "orvelkit.tabloom": {
        "MySQLDatabaseTabloom.__init__": (
            "__init__", ["self", "username", "password", "host", "database", "cache_path",
                         "cache_file"], 2, {}),
        "MySQLDatabaseTabloom.connect": ("connect", ["self"], 0, {}),
        "MySQLDatabaseTabloom.prepare_data": ("prepare_data", ["self"], 0, {}),
        "MySQLDatabaseTabloom.print_table_schemas": ("print_table_schemas", ["self"], 0, {}),
    },
    "orvelkit.base": {
        "MySQLDatabaseConnector.__init__": (
            "__init__", ["self", "db_user", "db_password", "db_host", "db_name"], 4, {}),
        "MySQLDatabaseConnector.connect": ("connect", ["self"], 0, {}),
        "MySQLDatabaseConnector.getdbinstance": ("getdbinstance", ["self"], 0, {}),
    },
}[MODULE]
ALL_PARAMETERS = sorted({p for sig in SIGNATURES.values() for p in sig[1]})


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


FUNCTIONS = module_functions()
assert set(FUNCTIONS) == set(SIGNATURES), (sorted(FUNCTIONS), sorted(SIGNATURES))


def expected_failure(signature, args, kwargs, through_tp_call):
    """The TypeError message the binding rules give for this call, or None if it binds."""
    name, params, defaults, exact = signature
    if not through_tp_call and any(not isinstance(k, str) for k in kwargs):
        # An ordinary call unpacks ** itself, so the interpreter refuses before the function.
        return "keywords must be strings"
    n, required, given_ = len(params), len(params) - defaults, len(args)

    def count(number):
        if required == n:
            word, expected = "exactly", n
        elif number < required:
            word, expected = "at least", required
        else:
            word, expected = "at most", n
        plural = "" if expected == 1 else "s"
        return (f"{name}() takes {word} {expected} positional argument{plural} "
                f"({number} given)")

    if given_ > n:
        return count(given_)
    values = dict(zip(params, args))
    if not kwargs:
        if given_ < required:
            return count(given_)
    else:
        used = 0
        for i in range(given_, required):
            if params[i] not in kwargs:
                return count(i)
            values[params[i]] = kwargs[params[i]]
            used += 1
        for i in range(max(given_, required), n):
            if used == len(kwargs):
                break
            if params[i] in kwargs:
                values[params[i]] = kwargs[params[i]]
                used += 1
        if used < len(kwargs):
            for key in kwargs:
                if isinstance(key, str) and key in params[given_:]:
                    continue
                if not isinstance(key, str):
                    return f"{name}() keywords must be strings"
                if key in params[:given_]:
                    return f"{name}() got multiple values for keyword argument '{key}'"
                return f"{name}() got an unexpected keyword argument '{key}'"
    for param, wanted in exact.items():
        if type(values[param]) is not wanted:
            return (f"Argument '{param}' has incorrect type (expected {wanted.__name__}, "
                    f"got {type(values[param]).__name__})")
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


def keys(signature):
    return st.one_of(st.sampled_from(signature[1] + ALL_PARAMETERS + ["kwargs", "args", "x"]),
                     st.text(max_size=6), st.integers(-2, 2), st.none(), st.just(b"df"),
                     st.builds(TextLike, st.sampled_from(signature[1])))


RIGHT_TYPE = {int: st.integers(-2, 8), str: st.sampled_from(REQUESTS + ["2024-01-31", "x"])}


@st.composite
def arguments(draw, signature, values, through_instance):
    """Positional and keyword arguments, a good share of which bind."""
    _, params, defaults, exact = signature
    if through_instance:
        params = params[1:]
    required = len(params) - defaults

    def value(param):
        wanted = exact.get(param)
        return draw(st.one_of(RIGHT_TYPE[wanted], values) if wanted else values)

    count = draw(st.integers(0, len(params) + 1))
    args = [value(params[i]) if i < len(params) else draw(values) for i in range(count)]
    mode = draw(st.integers(0, 3))
    if mode < 2:  # name the missing required parameters and maybe some optional ones
        named = params[count:required] + draw(st.lists(st.sampled_from(params[required:]),
                                                       unique=True) if defaults else st.just([]))
        named = [p for p in named if p not in params[:count]]
    else:  # any parameters, even ones already given by position
        named = draw(st.lists(st.sampled_from(params), unique=True)) if params else []
    items = [(name, value(name)) for name in named]
    if mode == 3:
        items += list(draw(st.dictionaries(keys(signature), values, max_size=3)).items())
    kwargs = {}
    for key, val in draw(st.permutations(items)):
        kwargs.setdefault(key, val)
    return args, kwargs


BINDING_LIKE = re.compile(r"^(\w+\(\) (takes|got|keywords)|Argument '|keywords must be strings)")


def check(qualified):
    cls, function = FUNCTIONS[qualified]
    signature = SIGNATURES[qualified]
    if cls is None:
        values, selves = ordinary, st.just(None)
    elif signature[0] == "__init__":
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
        args, kwargs = data.draw(arguments(signature, values, instance is not None))
        if tp_call:  # the type's own __call__: a tuple and a dict, as C callers of tp_call do
            bound = [] if instance is None else [instance]
            target = functools.partial(type(function).__call__, function, *bound)
        else:
            target = function if instance is None else getattr(instance, signature[0])
        expected = expected_failure(signature, ([instance] if instance is not None else [])
                                    + args, kwargs, tp_call)
        try:
            with contextlib.redirect_stderr(io.StringIO()), \
                    contextlib.redirect_stdout(io.StringIO()):
                result = target(*args, **kwargs)
        except TypeError as error:
            if expected is not None:
                assert str(error) == expected, (qualified, str(error), expected)
            else:
                assert not BINDING_LIKE.match(str(error)), (qualified, "bound, yet", str(error))
            return
        except Exception as error:
            assert expected is None, (qualified, expected, repr(error))
            return
        assert expected is None, (qualified, "no error, expected", expected)
        if signature[0] == "_arun":
            # Bound and accepted: a coroutine, with nothing of the body run yet.
            assert isinstance(result, collections.abc.Coroutine), result
            result.close()

    call()
    print(f"{qualified}: {EXAMPLES} examples", flush=True)


for qualified in SIGNATURES:
    check(qualified)
print("ALL DONE", flush=True)
