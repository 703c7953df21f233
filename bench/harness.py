# Times native-module functions against a pure-Python (or stdlib) peer in the same process and
# prints one plain-text table per run. Only ratios between the two sides are meant to be read:
# absolute times on shared machines are noise.
"""Benchmark harness shared by the bench/*.py scripts.

Usage from a script::

    bench = Bench.from_argv("boundary")
    bench.section("compute_file_hash vs hashlib")
    bench.compare("50 chars, same object", module_fn, peer_fn, args=(text,), goal=3.0)
    bench.compare("50 chars, fresh object", module_fn, peer_fn, fresh=lambda i: (make(i),))
    bench.measure("module only", module_fn, args=(text,))
    bench.finish()

Each case picks one of three ways of feeding arguments:

* ``args``: the same objects on every call (a zero-argument callable returning the tuple is
  accepted too, so expensive inputs are built only when the case is not filtered out);
* ``cycle``: a pool of argument tuples visited round-robin, so objects come back after
  ``len(cycle)`` calls (a zero-argument callable returning the pool works too);
* ``fresh``: ``fresh(i)`` builds the arguments of call ``i``; every timed call gets objects that
  have never been passed before. They are built before each batch, outside the timed region,
  so a batch of large inputs is cold in cache; ``hot=True`` builds each one right before its
  call instead (and times calls one by one).

Command line (via ``Bench.from_argv``): ``--quick`` for a smoke run, ``--repeats``, ``--target-ms``
and any number of substrings; a case runs when its "section name" text contains one of them.
"""
from __future__ import annotations

import argparse
import gc
import itertools
import os
import platform
import statistics
import sys
import time
from typing import Any, Callable, List, Optional, Sequence, Tuple

_clock = time.perf_counter_ns


class Settings:
    def __init__(self, quick: bool = False, repeats: Optional[int] = None,
                 target_ms: Optional[float] = None):
        self.quick = quick
        self.repeats = repeats if repeats is not None else (3 if quick else 7)
        target = target_ms if target_ms is not None else (20.0 if quick else 80.0)
        self.target_ns = target * 1e6
        # PyPy compiles a loop after ~1600 iterations and a function after ~1000 calls, and the
        # first traces are often followed by bridges; a few thousand calls plus a little time
        # gets past that. Huge inputs stop on the time cap instead.
        self.warm_calls = 2000 if quick else 5000
        self.warm_min_ns = (0.03 if quick else 0.15) * 1e9
        self.warm_max_ns = (0.2 if quick else 0.6) * 1e9


class Side:
    """Per-call times of one function in one case."""

    def __init__(self, per_call_ns: List[float], calls_per_batch: int):
        self.per_call_ns = per_call_ns
        self.calls_per_batch = calls_per_batch

    @property
    def median_ns(self) -> float:
        return statistics.median(self.per_call_ns)


class Row:
    def __init__(self, section: str, name: str, module: Side, peer: Optional[Side],
                 goal: Optional[float]):
        self.section = section
        self.name = name
        self.module = module
        self.peer = peer
        self.goal = goal

    @property
    def ratio(self) -> Optional[float]:
        """Peer time / module time: above 1 the module is faster."""
        if self.peer is None:
            return None
        return self.peer.median_ns / max(self.module.median_ns, 1e-3)

    @property
    def ratio_range(self) -> Optional[Tuple[float, float]]:
        # Repeats of the two sides are interleaved, so pairing them gives one ratio per moment
        # of the run; their spread shows how much the machine moved under the measurement.
        if self.peer is None:
            return None
        pairs = [p / max(m, 1e-3) for m, p in zip(self.module.per_call_ns, self.peer.per_call_ns)]
        return min(pairs), max(pairs)


def format_ns(ns: float) -> str:
    if ns < 1e3:
        return f"{ns:.1f} ns" if ns >= 10 else f"{ns:.2f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.2f} us"
    if ns < 1e9:
        return f"{ns / 1e6:.2f} ms"
    return f"{ns / 1e9:.3f} s"


def format_ratio(r: float) -> str:
    if r >= 100:
        return f"{r:.0f}x"
    if r >= 0.1:
        return f"{r:.2f}x"
    return f"{r:.3f}x"


def describe_interpreter() -> str:
    impl = platform.python_implementation()
    if impl == "PyPy":
        v = sys.pypy_version_info  # type: ignore[attr-defined]
        interp = f"PyPy {v.major}.{v.minor}.{v.micro} (Python {platform.python_version()})"
    else:
        interp = f"{impl} {platform.python_version()}"
    try:
        import numpy
        np_text = f"NumPy {numpy.__version__}"
    except ImportError:
        np_text = "NumPy not importable"
    return f"{interp}, {np_text}, {platform.system().lower()} {platform.machine()}, " \
           f"{os.cpu_count()} CPUs"


def _make_runner(arity: int, kwarg_names: Sequence[str], mode: str) -> Callable:
    """Compiles a fresh timing loop for one side of one case.

    Each side gets its own code object so that PyPy traces a loop specialised to one callee,
    instead of one shared loop that keeps falling into bridges as the callee changes. Calls
    are spelled out (no *args) so both sides pay the same, smallest call cost.

    mode "same" repeats one argument tuple, "batch" walks a pre-built list, and "hot" builds
    each call's arguments right before it and times the calls one by one.
    """
    names = [f"a{i}" for i in range(arity)]
    unpack = "".join(f"{a}, " for a in names)
    call_args = ", ".join(names + [f"{k}=kw_{k}" for k in kwarg_names])
    lines = ["def run(fn, args, kwargs, n, batch, make, start):"]
    lines += [f"    kw_{k} = kwargs[{k!r}]" for k in kwarg_names]
    if mode == "batch":
        target = "a0" if arity == 1 else (f"({unpack})" if names else "_")
        lines += ["    t0 = clock()",
                  f"    for {target} in batch:",
                  f"        fn({call_args})",
                  "    return clock() - t0"]
    elif mode == "hot":
        lines += ["    total = 0",
                  "    for i in range(start, start + n):",
                  f"        {unpack or '_'} = make(i)" if names else "        make(i)",
                  "        t0 = clock()",
                  f"        fn({call_args})",
                  "        total += clock() - t0",
                  "    return total"]
    else:
        if names:
            lines.append(f"    {unpack}= args")
        lines += ["    t0 = clock()",
                  "    for _ in repeat(None, n):",
                  f"        fn({call_args})",
                  "    return clock() - t0"]
    namespace = {"clock": _clock, "repeat": itertools.repeat}
    exec(compile("\n".join(lines) + "\n", "<bench loop>", "exec"), namespace)
    return namespace["run"]


class _Feeder:
    """Produces the arguments for the next n calls of one side."""

    def __init__(self, args, cycle, fresh, hot: bool, arity: int):
        self.args = args
        self.cycle = cycle
        self.fresh = fresh
        self.arity = arity
        self.mode = "same" if args is not None else ("hot" if hot else "batch")
        self.position = 0
        # Index 0 is reserved for the result check, so timed calls never reuse its objects.
        self.fresh_index = 1

    def run(self, runner, fn, kwargs, n: int) -> int:
        batch, start = None, self.fresh_index
        if self.mode == "batch":
            if self.cycle is not None:
                pool = self.cycle
                first = self.position % len(pool)
                items = list(itertools.islice(itertools.cycle(pool), first, first + n))
                self.position = first + n
            else:
                items = [self.fresh(i) for i in range(start, start + n)]
            batch = [t[0] for t in items] if self.arity == 1 else items
            del items
        if self.fresh is not None:
            self.fresh_index += n
        # Start every batch from a collected heap: garbage left by the previous batch (or by
        # building this one) is not charged to whoever runs next. Collection caused by the
        # calls themselves stays inside the timing, as it would for a real caller.
        gc.collect()
        return runner(fn, self.args, kwargs, n, batch, self.fresh, start)


class Bench:
    def __init__(self, title: str, settings: Optional[Settings] = None,
                 filters: Sequence[str] = (), out=None, name_width: int = 40):
        self.title = title
        self.settings = settings or Settings()
        self.filter_text = " | ".join(filters)
        self.filters = [f.lower() for f in filters]
        self.out = out or sys.stdout
        self.name_width = name_width
        self.rows: List[Row] = []
        self._section = ""
        self._section_printed = False
        self._started = time.perf_counter()
        self._print_header()

    @classmethod
    def from_argv(cls, title: str, argv: Optional[Sequence[str]] = None, **kwargs) -> "Bench":
        parser = argparse.ArgumentParser(description=f"{title} benchmarks")
        parser.add_argument("--quick", action="store_true",
                            help="fewer repeats and shorter batches: a smoke run")
        parser.add_argument("--repeats", type=int, help="timed batches per side")
        parser.add_argument("--target-ms", type=float, help="wanted duration of one batch")
        parser.add_argument("filters", nargs="*",
                            help="run only cases whose 'section name' contains one of these")
        ns = parser.parse_args(argv)
        return cls(title, Settings(ns.quick, ns.repeats, ns.target_ms), ns.filters, **kwargs)

    # -- output -------------------------------------------------------------------------------

    def _emit(self, text: str = "") -> None:
        self.out.write(text + "\n")
        self.out.flush()

    def _print_header(self) -> None:
        s = self.settings
        self._emit(f"== {self.title} benchmarks: {describe_interpreter()}")
        self._emit(f"   {'quick' if s.quick else 'full'} run: {s.repeats} repeats of "
                   f"~{s.target_ns / 1e6:.0f} ms per side, median per call; "
                   f"ratio = peer / module (> 1: module faster),")
        self._emit("   range = lowest and highest ratio of the interleaved repeats")
        if self.filters:
            self._emit(f"   filter: {self.filter_text}")
        w = self.name_width
        self._emit()
        self._emit(f"{'case':<{w}} {'module':>10} {'peer':>10} {'ratio':>8}  "
                   f"{'(range)':<15} goal")
        self._emit(f"{'-' * w} {'-' * 10} {'-' * 10} {'-' * 8}  {'-' * 15} {'-' * 14}")

    def _print_row(self, row: Row) -> None:
        if not self._section_printed and self._section:
            self._emit(self._section)
            self._section_printed = True
        w = self.name_width
        name = "  " + row.name
        peer = format_ns(row.peer.median_ns) if row.peer else "-"
        ratio = format_ratio(row.ratio) if row.ratio is not None else "-"
        rng = ""
        if row.ratio_range is not None:
            lo, hi = row.ratio_range
            rng = f"({format_ratio(lo)[:-1]}-{format_ratio(hi)})"
        goal = ""
        if row.goal is not None and row.ratio is not None:
            verdict = "met" if row.ratio >= row.goal else "below"
            goal = f">= {row.goal:g}x {verdict}"
        self._emit(f"{name:<{w}} {format_ns(row.module.median_ns):>10} {peer:>10} {ratio:>8}  "
                   f"{rng:<15} {goal}".rstrip())

    def section(self, title: str) -> None:
        self._section = title
        self._section_printed = False

    def finish(self) -> List[Row]:
        elapsed = time.perf_counter() - self._started
        self._emit(f"({len(self.rows)} cases in {elapsed:.1f} s)")
        self._emit()
        return self.rows

    # -- cases --------------------------------------------------------------------------------

    def wants(self, name: str) -> bool:
        if not self.filters:
            return True
        text = f"{self._section} {name}".lower()
        return any(f in text for f in self.filters)

    def measure(self, name: str, fn: Callable, args: Any = None, **kwargs) -> Optional[Row]:
        """A row with no peer: only the module side is timed."""
        return self.compare(name, fn, None, args, **kwargs)

    def compare(self, name: str, fn: Callable, peer: Optional[Callable] = None,
                args: Any = None, *, kwargs: Optional[dict] = None,
                cycle: Any = None,
                fresh: Optional[Callable[[int], tuple]] = None, hot: bool = False,
                max_batch: Optional[int] = None,
                check: Any = True, goal: Optional[float] = None) -> Optional[Row]:
        """Times fn (and peer, if given) on the same inputs and prints one row.

        check: True compares the two results with ==, a callable(module_result, peer_result)
        returning a bool replaces that, False skips it. A mismatch raises AssertionError before
        anything is timed. max_batch caps calls per batch, which bounds the memory held by a
        batch of fresh arguments. hot (with fresh) builds each call's arguments just before the
        call, so they are still in cache as in a read-then-process loop, and times each call on
        its own; the clock reads then cost both sides ~0.1 us, so keep it for slow calls.
        Returns None when the case is filtered out.
        """
        if sum(x is not None for x in (args, cycle, fresh)) > 1:
            raise ValueError("give at most one of args, cycle and fresh")
        if hot and fresh is None:
            raise ValueError("hot needs fresh")
        if not self.wants(name):
            return None
        if args is None and cycle is None and fresh is None:
            args = ()
        if callable(args):
            args = args()
        if callable(cycle):
            cycle = cycle()
        if cycle is not None:
            cycle = list(cycle)
            if not cycle:
                raise ValueError("cycle must not be empty")
        kwargs = dict(kwargs or {})
        sample = args if args is not None else (cycle[0] if cycle is not None else fresh(0))
        arity = len(sample)

        if peer is not None and check is not False:
            self._check(name, fn, peer, sample, kwargs, check)
        del sample

        sides = [fn] if peer is None else [fn, peer]
        feeders = [_Feeder(args, cycle, fresh, hot, arity) for _ in sides]
        runners = [_make_runner(arity, list(kwargs), feeders[0].mode) for _ in sides]
        limit = max_batch or (1 << 30)

        sizes = []
        for f, run, feed in zip(sides, runners, feeders):
            sizes.append(self._warm_up(f, run, feed, kwargs, limit))

        times: List[List[float]] = [[] for _ in sides]
        for r in range(self.settings.repeats):
            # Alternate which side goes first so neither keeps inheriting the other's garbage.
            order = range(len(sides)) if r % 2 == 0 else reversed(range(len(sides)))
            for k in order:
                n = sizes[k]
                dt = feeders[k].run(runners[k], sides[k], kwargs, n)
                times[k].append(dt / n)

        module_side = Side(times[0], sizes[0])
        peer_side = Side(times[1], sizes[1]) if peer is not None else None
        row = Row(self._section, name, module_side, peer_side, goal)
        self.rows.append(row)
        self._print_row(row)
        return row

    def _check(self, name, fn, peer, sample, kwargs, check) -> None:
        got = fn(*sample, **kwargs)
        want = peer(*sample, **kwargs)
        same = check(got, want) if callable(check) else bool(got == want)
        if not same:
            raise AssertionError(f"{name}: module and peer disagree: "
                                 f"{_short_repr(got)} != {_short_repr(want)}")

    def _warm_up(self, fn, run, feed: _Feeder, kwargs, limit: int) -> int:
        """Runs growing batches until warm, then sizes the timed batches from the last one."""
        s = self.settings
        start = _clock()
        n, calls = 1, 0
        while True:
            dt = feed.run(run, fn, kwargs, n)
            calls += n
            per_call = max(dt / n, 0.1)
            elapsed = _clock() - start
            if elapsed >= s.warm_max_ns or (calls >= s.warm_calls and elapsed >= s.warm_min_ns):
                break
            # Grow towards a full batch, but never past the time left in the warm-up budget.
            room = max(1, int((s.warm_max_ns - elapsed) / per_call))
            n = max(1, min(n * 4, int(s.target_ns / per_call) or 1, room, limit))
        return max(1, min(int(s.target_ns / per_call), limit))


def _short_repr(value: Any, limit: int = 80) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."
