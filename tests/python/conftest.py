"""Shared helpers for the Python test suite (run under PyPy and CPython)."""
import gc

import pytest


def collect():
    """Run the collector until finalizers have run; PyPy frees native objects only then."""
    for _ in range(3):
        gc.collect()


@pytest.fixture
def outcome():
    """Call fn and return the exception it raised, or None.

    Argument tests use it where a call is accepted by the boundary: whatever the function then
    does, an accepted call never fails with a binding or conversion error.
    """
    def run(fn):
        try:
            fn()
        except Exception as exc:  # noqa: BLE001 - the exception is the result
            return exc
        return None
    return run
