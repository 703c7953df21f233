"""The entry guard: native failures become NativeFailure, never a crash.

The test-only module _vantrel_guard_probe compiles the module boundary in and provokes the
failures that no argument to vantrel_native can.
"""
import subprocess
import sys
import textwrap

import pytest

import _vantrel_guard_probe as probe
from conftest import collect


def native_failure():
    try:
        probe.fail_without_text()
    except BaseException as exc:  # noqa: BLE001
        return exc
    raise AssertionError("no failure raised")


def test_native_failure_type():
    failure_type = type(native_failure())
    assert failure_type.__bases__ == (BaseException,)
    assert failure_type.__qualname__ == "NativeFailure"
    assert failure_type.__module__ == "native_runtime"
    assert "native code called from Python fails" in failure_type.__doc__
    assert "BaseException" in failure_type.__doc__ and "SystemExit" in failure_type.__doc__


@pytest.mark.parametrize("call,args", [
    (lambda: probe.fail_with_text("index out of range"), ("index out of range",)),
    (lambda: probe.fail_with_text(""), ("",)),
    (probe.fail_without_text, ("native code failed without a message",)),
])
def test_failure_text_is_the_only_argument(call, args):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "NativeFailure"
    assert info.value.args == args


def test_except_exception_does_not_catch_it():
    caught_by = None
    try:
        try:
            probe.fail_with_text("boom")
        except Exception:  # noqa: BLE001 - that it does not catch is the point
            caught_by = "Exception"
    except BaseException:  # noqa: BLE001
        caught_by = "BaseException"
    assert caught_by == "BaseException"


def test_the_type_is_created_once():
    assert type(native_failure()) is type(native_failure())


def test_expected_failures_map_to_their_exception_and_silent_failures_to_system_error():
    with pytest.raises(ValueError, match="^a bad value$"):
        probe.fail_with_value_error()
    with pytest.raises(SystemError, match="^attempted to fetch exception but none was set$"):
        probe.fail_silently()


def test_worker_failure_reaches_the_calling_thread():
    for _ in range(5):
        with pytest.raises(BaseException) as info:
            probe.fail_on_worker(10_000)
        assert type(info.value).__name__ == "NativeFailure"
        assert info.value.args == ("worker failed at item 5000",)
    # The pool survives failures and keeps results in input order.
    assert probe.parallel_squares(5000) == [i * i for i in range(5000)]
    assert probe.parallel_squares(0) == []
    assert probe.pool_size() >= 1


def test_failing_deallocator_goes_to_the_unraisable_hook():
    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: seen.append(unraisable)
    try:
        obj = probe.failing_object()
        del obj
        collect()
    finally:
        sys.unraisablehook = old_hook
    assert len(seen) == 1
    assert type(seen[0].exc_value).__name__ == "NativeFailure"
    assert seen[0].exc_value.args == ("deallocation failed",)


def test_uncaught_native_failure_ends_the_interpreter():
    code = textwrap.dedent("""
        import _vantrel_guard_probe as probe
        try:
            probe.fail_with_text("fatal")
        except Exception:
            print("caught")
        print("survived")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode != 0
    assert "caught" not in result.stdout and "survived" not in result.stdout
    assert "NativeFailure: fatal" in result.stderr


def test_failure_while_translating_a_failure_aborts():
    code = "import _vantrel_guard_probe as p; p.fail_while_failing(); print('survived')"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == -6  # SIGABRT
    assert "uncaught panic at ffi boundary" in result.stderr
    assert "survived" not in result.stdout
