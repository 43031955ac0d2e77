"""Attribute and method lookups remembered per class: every change to a class, a base, an
instance or a descriptor's own class must be seen by the very next call."""

import os
import subprocess
import sys
import types

import pytest

import orvelkit.auspex as auspex
from orvelkit.auspex import conv_date
from orvelkit.base import MySQLDatabaseConnector


class Stamp:
    def strftime(self, fmt):
        return "class"


class Parser:
    def parse(self, text):
        return Stamp()


@pytest.fixture
def parser(monkeypatch):
    monkeypatch.setattr(Stamp, "strftime", Stamp.strftime)
    monkeypatch.setattr(Parser, "parse", Parser.parse)
    instance = Parser()
    monkeypatch.setattr(auspex, "parser", instance)
    return instance


def warm():
    for _ in range(3):
        conv_date("x")


class Desc:
    def __get__(self, obj, owner=None):
        return lambda fmt: "descriptor"


def patch_class(parser):
    Stamp.strftime = lambda self, fmt: "patched"
    return "patched"


def patch_base(parser):
    class Base:
        def strftime(self, fmt):
            return "base"

    class Derived(Base):
        pass

    Parser.parse = lambda self, text: Derived()
    warm()
    Base.strftime = lambda self, fmt: "base patched"
    return "base patched"


def shadow_on_instance(parser):
    stamp = Stamp()
    Parser.parse = lambda self, text: stamp
    warm()
    stamp.strftime = lambda fmt: "instance"
    return "instance"


def shadow_then_unshadow(parser):
    stamp = Stamp()
    stamp.strftime = lambda fmt: "instance"
    Parser.parse = lambda self, text: stamp
    warm()
    del stamp.strftime
    return "class"


def property_over_instance(parser):
    stamp = Stamp()
    stamp.strftime = lambda fmt: "instance"
    Parser.parse = lambda self, text: stamp
    warm()
    Stamp.strftime = property(lambda self: lambda fmt: "property")
    return "property"


def descriptor_class_gains_set(parser):
    stamp = Stamp()
    Stamp.strftime = Desc()
    stamp.__dict__["strftime"] = lambda fmt: "instance"
    Parser.parse = lambda self, text: stamp
    warm()
    assert conv_date("x") == "instance"  # a non-data descriptor yields to the instance
    Desc.__set__ = lambda self, obj, value: None
    return "descriptor"


def instance_parse(parser):
    parser.parse = lambda text: types.SimpleNamespace(strftime=lambda fmt: "own parse")
    return "own parse"


def module_parser(parser):
    module = types.ModuleType("stand_in")
    module.parse = lambda text: Stamp()
    auspex.parser = module
    warm()
    module.parse = lambda text: types.SimpleNamespace(strftime=lambda fmt: "module patched")
    return "module patched"


def namespace_parser(parser):
    namespace = types.SimpleNamespace(parse=lambda text: Stamp())
    auspex.parser = namespace
    warm()
    namespace.parse = lambda text: types.SimpleNamespace(strftime=lambda fmt: "namespace")
    return "namespace"


def class_parse_behind_namespace(parser):
    class Namespace(types.SimpleNamespace):
        pass

    namespace = Namespace(parse=lambda text: Stamp())
    auspex.parser = namespace
    warm()
    Namespace.parse = property(lambda self: lambda text: types.SimpleNamespace(
        strftime=lambda fmt: "class property"))
    return "class property"


def slotted_class(parser):
    class Slotted:
        __slots__ = ()

        def strftime(self, fmt):
            return "slotted"

    Parser.parse = lambda self, text: Slotted()
    warm()
    assert conv_date("x") == "slotted"
    Slotted.strftime = lambda self, fmt: "slotted patched"
    return "slotted patched"


@pytest.mark.parametrize("change", [
    patch_class, patch_base, shadow_on_instance, shadow_then_unshadow, property_over_instance,
    descriptor_class_gains_set, instance_parse, module_parser, namespace_parser,
    class_parse_behind_namespace, slotted_class,
])
def test_change_is_seen_on_the_next_call(parser, change):
    warm()
    expected = change(parser)
    assert conv_date("x") == expected


def python_error(obj, name):
    try:
        getattr(obj, name)
    except AttributeError as error:
        return str(error)
    raise AssertionError("attribute present")


def test_removed_method_fails_as_the_interpreter_says(parser):
    warm()
    del Stamp.strftime
    with pytest.raises(AttributeError) as caught:
        conv_date("x")
    assert str(caught.value) == python_error(Stamp(), "strftime")


def test_removed_module_attribute_reaches_module_getattr(parser):
    module = types.ModuleType("stand_in")
    module.parse = lambda text: Stamp()
    auspex.parser = module
    warm()
    del module.parse
    with pytest.raises(AttributeError) as caught:
        conv_date("x")
    assert str(caught.value) == python_error(module, "parse")
    module.__getattr__ = lambda name: lambda text: types.SimpleNamespace(
        strftime=lambda fmt: "from __getattr__")
    assert conv_date("x") == "from __getattr__"


class Connector(MySQLDatabaseConnector):
    pass


def test_instance_attribute_then_class_property():
    connector = Connector("u", "p", "h", "d")
    connector.db = marker = object()
    for _ in range(3):
        assert connector.getdbinstance() is marker
    Connector.db = property(lambda self: "from the class")
    try:
        assert connector.getdbinstance() == "from the class"
    finally:
        del Connector.db
    assert connector.getdbinstance() is marker


def test_constructor_stores_through_a_setter_added_later():
    for _ in range(3):
        Connector("u", "p", "h", "d")
    stored = []
    Connector.db = property(lambda self: "read", lambda self, value: stored.append(value))
    try:
        connector = Connector("u", "p", "h", "d")
        assert stored == [None] and "db" not in vars(connector)
    finally:
        del Connector.db
    connector = Connector("u", "p", "h", "d")
    assert vars(connector)["db"] is None and stored == [None]


class EqualsNone(str):
    def __eq__(self, other):
        return other is None

    __hash__ = str.__hash__


class IntEqualsNone(int):
    def __eq__(self, other):
        return other is None

    __hash__ = int.__hash__


@pytest.mark.parametrize("value, missing", [
    (None, True), ("", False), (0, False), (0.0, False), (False, False), (b"", False),
    (EqualsNone("u"), True), (IntEqualsNone(1), True),
])
def test_credential_compared_with_none_as_python_compares_it(value, missing):
    connector = Connector(value, "p", "h", "d")
    connector.db = marker = object()
    for _ in range(3):
        assert (connector.getdbinstance() is not marker) == missing == (None == value)  # noqa: E711


def python_read_error(obj, name):
    try:
        getattr(obj, name)
    except AttributeError as error:
        return error
    raise AssertionError("attribute present")


class Bare(Connector):
    @property
    def db(self):
        raise AttributeError("bare")

    @db.setter
    def db(self, value):
        pass


class Named(Connector):
    @property
    def db(self):
        raise AttributeError("named", name="elsewhere", obj=None)

    @db.setter
    def db(self, value):
        pass


@pytest.mark.parametrize("make", [
    lambda: Bare("u", "p", "h", "d"),
    lambda: Named("u", "p", "h", "d"),
    lambda: Connector("u", "p", "h", "d"),
])
def test_failed_read_names_the_object_as_the_interpreter_does(make):
    connector = make()
    vars(connector).pop("db", None)
    expected = python_read_error(connector, "db")
    for _ in range(3):
        with pytest.raises(AttributeError) as caught:
            connector.getdbinstance()
        assert str(caught.value) == str(expected)
        assert (caught.value.name, caught.value.obj) == (expected.name, expected.obj)


# The class attribute a lookup found is deleted while the instance dict is probed for the same
# name: a key of that dict with the name's hash runs its __eq__. Only the reference the lookup
# holds keeps the attribute alive then, and the interpreter still answers with it.
DELETED_DURING_PROBE = """
import sys
import orvelkit.auspex as auspex

class Value({base}):
    pass

namespace = {{}}
exec("def {name}(self, *args, **kwargs):\\n    raise LookupError('as found')\\n", {{}}, namespace)
setattr(Value, "{name}", namespace.pop("{name}"))  # the class holds the only reference

class Key:
    def __hash__(self):
        return hash("{name}")
    def __eq__(self, other):
        if "{name}" in Value.__dict__:
            delattr(Value, "{name}")
        return False

def shadowed():
    value = Value({value})
    value.__dict__[Key()] = None
    return value

{call}
try:
    run(shadowed())
except LookupError as error:
    print(error)
"""

PROBE_CASES = {
    # conv_date calls parser.parse(dt).strftime(...): the cached method call
    "method call": dict(base="int", name="strftime", value="7", call="""
class Parser:
    def parse(self, text):
        return shadowed()
auspex.parser = Parser()
run = lambda value: auspex.conv_date("2024-01-05")
"""),
    # ts_forecast reads df.set_index before calling it: the cached attribute read
    "attribute read": dict(base="tuple", name="set_index", value="", call="""
Value.__getitem__ = lambda self, key: ["2024-01-05"]
Value.__setitem__ = lambda self, key, item: None
run = lambda value: auspex.ts_forecast(value, 1)
"""),
}


@pytest.mark.parametrize("case", PROBE_CASES)
def test_class_attribute_deleted_while_the_instance_dict_is_probed(case):
    script = DELETED_DURING_PROBE.format(**PROBE_CASES[case])
    # The interpreter's own allocator can hide a freed object that still looks whole.
    env = dict(os.environ, PYTHONSAFEPATH="1", PYTHONMALLOC="malloc")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120, env=env)
    assert (done.returncode, done.stdout) == (0, "as found\n"), done.stderr
