"""Entry points neither leak nor over-release references, on success and on every error path.

Reference counts are a CPython notion; PyPy runs the same calls only for crashes.
"""
import sys

import numpy as np
import pytest

import vantrel_native as vn
from conftest import collect

counted = pytest.mark.skipif(not hasattr(sys, "getrefcount"), reason="no reference counts")

TEXT = "some text " * 10
EDGE = ("source", "target")
VECTOR = np.ones(4, dtype=np.float32)
BAD = object()


def calls():
    """(id, call, objects whose counts must stay flat)."""
    return [
        ("hash", lambda: vn.compute_file_hash(TEXT), [TEXT]),
        ("hash by keyword", lambda: vn.compute_file_hash(content=TEXT), [TEXT]),
        ("edges", lambda: vn.pagerank([EDGE, EDGE], damping=0.5), [EDGE, EDGE[0]]),
        ("texts", lambda: vn.batch_extract_tokens((TEXT, TEXT)), [TEXT]),
        ("ranked", lambda: vn.reciprocal_rank_fusion([[(TEXT, 1.0)]]), [TEXT]),
        ("arrays", lambda: vn.cosine_similarity(VECTOR, VECTOR), [VECTOR]),
        ("bad element", lambda: vn.jaccard_similarity_batch(TEXT, [TEXT, BAD]), [TEXT, BAD]),
        ("bad float", lambda: vn.mmr_select_indices([BAD], [TEXT], 1), [BAD]),
        ("bad count", lambda: vn.pagerank([EDGE], max_iterations=BAD), [BAD, EDGE]),
        ("bad flag", lambda: vn.bfs_expansion([EDGE], [TEXT], bidirectional=BAD), [BAD, TEXT]),
        ("short tuple", lambda: vn.pagerank([EDGE, (TEXT,)]), [EDGE, TEXT]),
        ("binding", lambda: vn.pagerank([EDGE], nope=BAD), [BAD]),
        ("engine", lambda: vn.BM25Engine(k1=1.0).score(TEXT, top_k=3), [TEXT]),
    ]


@pytest.mark.parametrize("call,watched", [c[1:] for c in calls()], ids=[c[0] for c in calls()])
def test_counts_stay_flat(call, watched):
    def run(times):
        for _ in range(times):
            try:
                call()
            except Exception:  # noqa: BLE001 - errors are part of what is exercised
                pass

    run(100)
    collect()
    if not hasattr(sys, "getrefcount"):
        run(2000)
        return
    before = [sys.getrefcount(obj) for obj in watched]
    run(2000)
    collect()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == before


@counted
def test_engines_release_their_type():
    collect()
    before = sys.getrefcount(vn.BM25Engine)
    engines = [vn.BM25Engine() for _ in range(1000)]
    alive = sys.getrefcount(vn.BM25Engine)  # read outside assert: its rewriting holds temporaries
    del engines
    collect()
    after = sys.getrefcount(vn.BM25Engine)
    assert (alive, after) == (before + 1000, before)
