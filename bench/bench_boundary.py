# Cost of crossing into the native module: compute_file_hash against hashlib at several text
# sizes, and the bare per-call overhead of a native call against a trivial Python function.
# Run: python bench/bench_boundary.py [--quick] [case filter...]
from __future__ import annotations

import hashlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import vantrel_native  # noqa: E402
from harness import Bench  # noqa: E402

KB = 1 << 10
MB = 1 << 20
POOL = 10_000
SHORT_GOAL = 3.0
LARGE_GOAL = 1.0

# Bound once, as a careful caller would: the peer should not lose on an attribute lookup.
_sha256 = hashlib.sha256


def hashlib_hash(content: str) -> str:
    return _sha256(content.encode()).hexdigest()[:16]


def identity(s):
    return s


_ASCII_BLOCK = "".join(
    f"def handle_request_{i}(self, payload, *, timeout=30):\n"
    f"    \"\"\"Route payload {i} to its handler.\"\"\"\n"
    f"    if not payload:\n"
    f"        raise ValueError('empty payload {i}')\n"
    f"    result = self.dispatch(payload, retries={i % 7})  # see issue #{1000 + i}\n"
    f"    return {{'id': {i}, 'status': result.status, 'items': list(result)}}\n\n"
    for i in range(200)
)

_NON_ASCII_BLOCK = "".join(
    f"# Überprüfe Eingabe {i}: größer als Ω? — ещё раз проверить; 检查输入长度 ✓ 🚀\n"
    f"def prüfe_{i}(wert):\n"
    f"    return wert > {i} and 'naïve café {i}' or '日本語テキスト'\n\n"
    for i in range(200)
)


def text_of(block: str, size: int) -> str:
    """Source-like text of exactly `size` characters."""
    return (block * (size // len(block) + 1))[:size]


def tagged(base: str):
    """Builder of distinct texts of len(base) characters: the last 8 carry the call index."""
    stem = base[:-8]
    return lambda i: (stem + format(i & 0xFFFFFFFF, "08x"),)


def size_label(size: int) -> str:
    if size >= MB:
        return f"{size // MB} MB"
    if size >= KB:
        return f"{size // KB} KB"
    return f"{size} chars"


def main() -> None:
    bench = Bench.from_argv("vantrel_native boundary", name_width=44)
    module_hash = vantrel_native.compute_file_hash

    bench.section(f"compute_file_hash vs hashlib.sha256 (goal: >= {SHORT_GOAL:g}x short, "
                  f">= {LARGE_GOAL:g}x large)")
    # Re-hashing one object flatters PyPy, which converts a str for C again whenever a different
    # object comes in (even alternating between two is enough); the pool and fresh rows show
    # what callers hashing distinct contents pay.
    for size in (50, KB):
        base = text_of(_ASCII_BLOCK, size)
        label = size_label(size)
        bench.compare(f"{label}, same object", module_hash, hashlib_hash, args=(base,),
                      goal=SHORT_GOAL)
        make = tagged(base)
        bench.compare(f"{label}, pool of {POOL // 1000}k distinct", module_hash, hashlib_hash,
                      cycle=lambda: [make(i) for i in range(POOL)], goal=SHORT_GOAL)
        bench.compare(f"{label}, fresh object per call", module_hash, hashlib_hash,
                      fresh=make, goal=SHORT_GOAL)

    # Large inputs are built right before each call (hot=True), as when a caller decodes a file
    # and hashes it at once; the "built ahead" row shows what cold memory does to both sides.
    big = text_of(_ASCII_BLOCK, MB)
    bench.compare("1 MB, same object", module_hash, hashlib_hash, args=(big,), goal=LARGE_GOAL)
    bench.compare("1 MB, fresh object per call", module_hash, hashlib_hash, fresh=tagged(big),
                  hot=True, goal=LARGE_GOAL)
    bench.compare("1 MB, fresh, 64 built ahead (cold)", module_hash, hashlib_hash,
                  fresh=tagged(big), max_batch=64, goal=LARGE_GOAL)
    del big

    wide = text_of(_NON_ASCII_BLOCK, MB)
    wide_mb = len(wide.encode()) / MB
    bench.compare(f"1 Mi chars non-ASCII ({wide_mb:.1f} MB UTF-8), fresh", module_hash,
                  hashlib_hash, fresh=tagged(wide), hot=True, goal=LARGE_GOAL)
    del wide

    name = "64 MB, fresh object per call"
    if bench.wants(name):
        huge = text_of(_ASCII_BLOCK, 64 * MB)
        bench.compare(name, module_hash, hashlib_hash, fresh=tagged(huge), hot=True,
                      goal=LARGE_GOAL)
        del huge

    # What any C function pays to receive these texts, whatever it does with them: the test-only
    # probe module's do-nothing accept(obj). On PyPy this crossing alone costs more than
    # hashlib's whole hash of a large text, which bounds every C extension's ratio there.
    try:
        import _vantrel_guard_probe as probe
    except ImportError:
        probe = None
    if probe is not None:
        bench.section("crossing alone: a do-nothing C function vs compute_file_hash, same inputs")
        for label, base in (("50 chars", text_of(_ASCII_BLOCK, 50)),
                            ("1 MB", text_of(_ASCII_BLOCK, MB)),
                            ("1 Mi chars non-ASCII", text_of(_NON_ASCII_BLOCK, MB))):
            bench.compare(f"{label}, fresh object per call", probe.accept, module_hash,
                          fresh=tagged(base), hot=len(base) > KB, check=False)

        # The list-of-texts conversion every batch entry runs, per call of 1000 elements, against
        # the interpreter-level loop a caller would otherwise write.
        bench.section("list of 1000 texts: the native conversion vs [s.encode() for s in xs]")
        words = [f"identifier_{i}" for i in range(1000)]
        bench.compare("same 1000 str objects", probe.convert_texts,
                      lambda xs: len([s.encode() for s in xs]), args=(words,))
        bench.compare("fresh 1000 str objects", probe.convert_texts,
                      lambda xs: len([s.encode() for s in xs]),
                      fresh=lambda i: ([f"identifier_{i}_{j}" for j in range(1000)],))

    bench.section("per-call overhead: compute_file_hash('') vs def f(s): return s")
    bench.compare("empty text, same object", module_hash, identity, args=("",), check=False)
    bench.measure("compute_file_hash(content='') by keyword", module_hash,
                  kwargs={"content": ""})

    bench.finish()


if __name__ == "__main__":
    main()
