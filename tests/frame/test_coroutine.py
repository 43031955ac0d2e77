"""The coroutine of Auspex._arun and its await wrapper: the state table, asyncio,
the never-awaited warning, attributes and the wrapper's own behaviour."""

import asyncio
import collections.abc
import gc
import inspect
import pickle
import sys
import warnings

import pytest

from orvelkit.auspex import Auspex

from tests.entries import module_entries

REFUSAL = "Auspex does not support async"
REUSED = "cannot reuse already awaited coroutine"
JUST_STARTED = "can't send non-None value to a just-started coroutine"
TOOL = Auspex()
TYPES = sys.modules["_orvelkit_frame_types"]


class Thrown(Exception):
    pass


def own_entries(error):
    return module_entries(error, "auspex")


@pytest.fixture
def never_awaited():
    """Call it for the never-awaited warnings issued so far (after a collection)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")

        def issued():
            gc.collect()
            return [str(w.message) for w in caught if "never awaited" in str(w.message)]

        yield issued


def assert_finished(coroutine):
    for resume in (lambda: coroutine.send(None), lambda: coroutine.throw(Thrown),
                   lambda: next(coroutine.__await__())):
        with pytest.raises(RuntimeError, match=f"^{REUSED}$"):
            resume()
    assert coroutine.close() is None


@pytest.mark.parametrize("resume", [
    lambda c: c.send(None), lambda c: next(c.__await__()), lambda c: c.__await__().send(None)],
    ids=["send", "next of the wrapper", "send of the wrapper"])
def test_first_resumption_refuses_then_the_coroutine_is_finished(resume, never_awaited):
    coroutine = TOOL._arun("anything")
    with pytest.raises(NotImplementedError) as caught:
        resume(coroutine)
    assert caught.value.args == (REFUSAL,)
    assert own_entries(caught.value) == [("_arun", 64)]
    assert_finished(coroutine)
    del coroutine
    assert never_awaited() == []


@pytest.mark.parametrize("send", [lambda c: c.send(1), lambda c: c.__await__().send(1)],
                         ids=["coroutine", "wrapper"])
def test_non_none_send_leaves_a_new_coroutine_not_started(send):
    coroutine = TOOL._arun("x")
    with pytest.raises(TypeError, match=f"^{JUST_STARTED}$"):
        send(coroutine)
    assert coroutine.cr_running is False
    with pytest.raises(NotImplementedError, match=REFUSAL):
        coroutine.send(None)


@pytest.mark.parametrize("args", [
    lambda: (Thrown,), lambda: (Thrown("value"),), lambda: (Thrown, Thrown("value")),
    lambda: (Thrown, "value")], ids=["class", "instance", "class and instance", "class and value"])
@pytest.mark.parametrize("target", [lambda c: c, lambda c: c.__await__()],
                         ids=["coroutine", "wrapper"])
def test_throw_into_a_new_coroutine_raises_at_the_definition(args, target, never_awaited):
    coroutine = TOOL._arun("x")
    with pytest.raises(Thrown) as caught:
        target(coroutine).throw(*args())
    assert own_entries(caught.value) == [("_arun", 63)]
    assert_finished(coroutine)
    del coroutine
    assert never_awaited() == []


def test_thrown_stop_iteration_becomes_a_runtime_error():
    coroutine = TOOL._arun("x")
    with pytest.raises(TypeError, match="^exceptions must be classes or instances deriving "):
        coroutine.throw(1)  # refused before it reaches the coroutine
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as caught:
        coroutine.throw(StopIteration(7))  # a StopIteration may not leave a coroutine
    assert type(caught.value.__cause__) is StopIteration and caught.value.__cause__.args == (7,)
    assert_finished(coroutine)


@pytest.mark.parametrize("close", [lambda c: c.close(), lambda c: c.__await__().close()],
                         ids=["coroutine", "wrapper"])
def test_close_ends_a_new_coroutine_silently(close, never_awaited):
    coroutine = TOOL._arun("x")
    assert close(coroutine) is None
    assert_finished(coroutine)
    del coroutine
    assert never_awaited() == []


def test_dropping_a_new_coroutine_warns_at_the_dropping_line():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coroutine = TOOL._arun("x")
        del coroutine
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (RuntimeWarning, "coroutine 'Auspex._arun' was never awaited", __file__)]


def test_await_twice():
    async def main():
        coroutine = TOOL._arun("x")
        with pytest.raises(NotImplementedError, match=f"^{REFUSAL}$"):
            await coroutine
        with pytest.raises(RuntimeError, match=f"^{REUSED}$"):
            await coroutine

    asyncio.run(main())


async def in_task():
    return await asyncio.create_task(TOOL._arun("x"))


@pytest.mark.parametrize("run", [
    lambda: asyncio.run(TOOL._arun("x")),
    lambda: asyncio.run(in_task()),
    lambda: asyncio.run(Auspex().arun("{}")),
], ids=["asyncio.run", "task", "framework arun"])
def test_asyncio_propagates_the_refusal(run):
    with pytest.raises(NotImplementedError, match=f"^{REFUSAL}$"):
        run()


def test_await_under_a_trace_function():
    # With a tracer the interpreter drives an await through next() and send().
    async def main():
        await TOOL._arun("x")

    sys.settrace(lambda *args: None)
    try:
        with pytest.raises(NotImplementedError):
            asyncio.run(main())
    finally:
        sys.settrace(None)


def test_coroutine_attributes_and_recognition():
    coroutine = TOOL._arun("x")
    assert type(coroutine) is TYPES.coroutine_v2
    assert isinstance(coroutine, collections.abc.Coroutine) and asyncio.iscoroutine(coroutine)
    assert (coroutine.__name__, coroutine.__qualname__, coroutine.__module__) == (
        "_arun", "Auspex._arun", "orvelkit.auspex")
    assert coroutine.cr_code is Auspex._arun.__code__
    assert (coroutine.cr_running, coroutine.cr_await) == (False, None)
    coroutine.close()


@pytest.mark.parametrize("finish", [
    lambda c: c.send(None), lambda c: c.throw(Thrown), lambda c: c.close()],
    ids=["send", "throw", "close"])
def test_inspect_reads_each_state(finish):
    coroutine = TOOL._arun("x")
    seen = []

    def while_running(phase, info):
        if phase == "start":
            seen.append((inspect.getcoroutinestate(coroutine), coroutine.cr_suspended))

    assert inspect.getcoroutinestate(coroutine) == inspect.CORO_CREATED
    frame = coroutine.cr_frame
    assert (frame.f_code, frame.f_globals, frame.f_lineno) == (
        coroutine.cr_code, vars(sys.modules["orvelkit.auspex"]), 63)
    threshold = gc.get_threshold()
    gc.callbacks.append(while_running)
    gc.collect()
    gc.set_threshold(1)  # a collection, and so the hook, at the body's allocations
    try:
        finish(coroutine)
    except (NotImplementedError, Thrown):
        pass
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(while_running)
    assert coroutine.cr_suspended is False
    assert (inspect.getcoroutinestate(coroutine), coroutine.cr_frame) == (inspect.CORO_CLOSED, None)
    assert not any(suspended for _, suspended in seen)
    # Only the send body allocates while it runs; from 3.12 on the collector waits for the next
    # bytecode, so no hook can look inside a body that runs none.
    if finish.__code__.co_names == ("send",) and sys.version_info < (3, 12):
        assert inspect.CORO_RUNNING in {state for state, _ in seen}


def test_method_documentation():
    send = "send(arg) -> send 'arg' into coroutine,\nreturn next {} value or raise StopIteration."
    throw = ("throw(typ[,val[,tb]]) -> raise exception in coroutine,\n"
             "return next {} value or raise StopIteration.")
    close = "close() -> raise GeneratorExit inside coroutine."
    coroutine_type, wrapper_type = TYPES.coroutine_v2, TYPES.coroutine_wrapper_v2
    assert [coroutine_type.send.__doc__, coroutine_type.throw.__doc__,
            coroutine_type.close.__doc__] == [send.format("iterated"), throw.format("iterated"),
                                              close]
    assert [wrapper_type.send.__doc__, wrapper_type.throw.__doc__, wrapper_type.close.__doc__] \
        == [send.format("yielded"), throw.format("yielded"), close]
    assert wrapper_type.__doc__ == "A wrapper object implementing __await__ for coroutines."


def test_wrapper_is_an_iterator_that_cannot_be_pickled_or_made():
    coroutine = TOOL._arun("x")
    wrapper = coroutine.__await__()
    coroutine.close()
    assert type(wrapper) is TYPES.coroutine_wrapper_v2 and iter(wrapper) is wrapper
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError) as caught:
            pickle.dumps(wrapper, protocol)
        assert str(caught.value) == "cannot pickle 'orvelkit_frame.coroutine_wrapper' object"
    with pytest.raises(TypeError, match=r"^cannot instantiate type, use 'await coroutine' "
                                        r"instead$"):
        type(wrapper)()
