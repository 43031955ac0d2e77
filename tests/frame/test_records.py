"""Every function of the three modules agrees with itself: the binding's count messages, the code
object, the defaults and the traceback entry of a refused call come from one record each, so they
must tell the same story for every function and method."""

import inspect
import traceback

import pytest

import orvelkit.auspex
import orvelkit.base
import orvelkit.tabloom

MODULES = [orvelkit.auspex, orvelkit.tabloom, orvelkit.base]
FUNCTION_TYPE = type(orvelkit.auspex.conv_date)


def module_functions():
    """Each frame function of each module, at module level or in a class the module defines."""
    found = []
    for module in MODULES:
        for value in vars(module).values():
            if isinstance(value, FUNCTION_TYPE):
                found.append(value)
            elif isinstance(value, type) and value.__module__ == module.__name__:
                found.extend(v for v in vars(value).values() if isinstance(v, FUNCTION_TYPE))
    return found


FUNCTIONS = module_functions()


def refusal(function, count):
    """The TypeError and its last traceback entry when `function` gets `count` positionals."""
    with pytest.raises(TypeError) as caught:
        function(*[None] * count)
    return str(caught.value), traceback.extract_tb(caught.value.__traceback__)[-1]


def test_every_function_of_every_module_is_found():
    # Guards the parametrisation below against silently testing nothing.
    assert {f.__qualname__ for f in FUNCTIONS} >= {
        "Auspex._run", "Auspex._arun", "conv_date", "ts_forecast",
        "MySQLDatabaseTabloom.__init__", "MySQLDatabaseTabloom.prepare_data",
        "MySQLDatabaseConnector.getdbinstance"}


@pytest.mark.parametrize("function", FUNCTIONS, ids=[f.__qualname__ for f in FUNCTIONS])
def test_binding_code_object_and_traceback_agree(function):
    code = function.__code__
    names = code.co_varnames[:code.co_argcount]
    assert list(inspect.signature(function).parameters) == list(names)
    defaults = function.__defaults__ or ()
    required = code.co_argcount - len(defaults)
    assert set(function.__annotations__) <= set(names) | {"return"}

    def expected(qualifier_count, given):
        qualifier, count = qualifier_count
        plural = "" if count == 1 else "s"
        return (f"{function.__name__}() takes {qualifier} {count} positional argument{plural} "
                f"({given} given)")

    module = function.__module__
    entry_name = f"{module}.{function.__qualname__}"
    entry_file = module.replace(".", "\\")

    message, entry = refusal(function, code.co_argcount + 1)
    assert message == expected(("at most" if defaults else "exactly", code.co_argcount),
                               code.co_argcount + 1)
    assert (entry.name, entry.filename, entry.lineno) == (entry_name, entry_file,
                                                           code.co_firstlineno)

    if required:
        message, entry = refusal(function, required - 1)
        assert message == expected(("at least" if defaults else "exactly", required),
                                   required - 1)
        assert entry.lineno == code.co_firstlineno
