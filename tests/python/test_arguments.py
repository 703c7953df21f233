"""How calls bind and convert their arguments, as one table of calls and the exact errors."""
import platform
import threading

import numpy as np
import pytest

import vantrel_native as vn

E = vn.BM25Engine
F32 = np.ones(3, dtype=np.float32)
M32 = np.ones((2, 3), dtype=np.float32)

# (id, call, exception type, exact message; None where the interpreter words it)
REFUSED = [
    # binding
    ("missing one", lambda: vn.pagerank(), TypeError,
     "pagerank() missing 1 required positional argument: 'edges'"),
    ("missing two", lambda: vn.extract_symbols("x"), TypeError,
     "extract_symbols() missing 2 required positional arguments: 'language' and 'filename'"),
    ("missing three", lambda: vn.mmr_select_indices(), TypeError,
     "mmr_select_indices() missing 3 required positional arguments: "
     "'scores', 'contents', and 'target_count'"),
    ("missing after keyword", lambda: vn.jaccard_similarity(text2="a"), TypeError,
     "jaccard_similarity() missing 1 required positional argument: 'text1'"),
    ("too many, all required", lambda: vn.strongly_connected_components([], 1), TypeError,
     "strongly_connected_components() takes 1 positional arguments but 2 were given"),
    ("too many, some optional", lambda: E(1.0, 2.0, 3.0, 4.0), TypeError,
     "BM25Engine.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    ("too many, was", lambda: vn.reciprocal_rank_fusion_weighted([], [], 1.0, 2.0), TypeError,
     "reciprocal_rank_fusion_weighted() takes from 2 to 3 positional arguments but 4 were given"),
    ("unexpected keyword", lambda: vn.pagerank([], damping=0.5, dampin=1), TypeError,
     "pagerank() got an unexpected keyword argument 'dampin'"),
    ("unexpected keyword on method", lambda: E().score("q", top=1), TypeError,
     "BM25Engine.score() got an unexpected keyword argument 'top'"),
    ("unexpected keyword, no UTF-8 form", lambda: vn.pagerank([], **{"x\udc80": 1}), TypeError,
     "pagerank() got an unexpected keyword argument 'x\udc80'"),
    ("multiple values", lambda: vn.pagerank([], edges=[]), TypeError,
     "pagerank() got multiple values for argument 'edges'"),
    ("multiple values, constructor", lambda: E(1.0, k1=2.0), TypeError,
     "BM25Engine.__new__() got multiple values for argument 'k1'"),
    ("binding before conversion", lambda: vn.pagerank(5, dampin=1), TypeError,
     "pagerank() got an unexpected keyword argument 'dampin'"),
    # text
    ("text bytes", lambda: vn.extract_code_tokens(b"x"), TypeError,
     "argument 'text': 'bytes' object cannot be cast as 'str'"),
    ("text keyword", lambda: vn.extract_symbols("x", "python", filename=None), TypeError,
     "argument 'filename': 'NoneType' object cannot be cast as 'str'"),
    ("optional text", lambda: vn.extract_calls("x", "go", current_function_name=1), TypeError,
     "argument 'current_function_name': 'int' object cannot be cast as 'str'"),
    ("text surrogate", lambda: vn.extract_code_tokens("\udc80"), UnicodeEncodeError, None),
    # flag
    ("flag int", lambda: vn.bfs_expansion([("a", "b")], ["a"], bidirectional=1), TypeError,
     "argument 'bidirectional': 'int' object cannot be cast as 'bool'"),
    ("flag zero", lambda: vn.bfs_traversal_edges([], [], 3, 30, 0), TypeError,
     "argument 'bidirectional': 'int' object cannot be cast as 'bool'"),
    ("flag none", lambda: vn.bfs_expansion([], [], bidirectional=None), TypeError,
     "argument 'bidirectional': 'NoneType' object cannot be cast as 'bool'"),
    # count
    ("count negative", lambda: vn.bfs_expansion([("a", "b")], ["a"], max_hops=-1),
     OverflowError, None),
    ("count too large", lambda: vn.pagerank([], max_iterations=2**64), OverflowError, None),
    ("optional count negative",
     lambda: vn.extract_code_by_line_range("r", "f", 1, 2, max_code_chars=-5), OverflowError, None),
    # float
    ("float from str", lambda: E(k1="1.5"), TypeError, None),
    ("float in list", lambda: vn.mmr_select_indices([1.0, "x"], ["a", "b"], 1), TypeError, None),
    ("float huge int", lambda: vn.pagerank([], damping=10**400), OverflowError, None),
    # sequences
    ("str as list", lambda: vn.batch_extract_tokens("abc"), TypeError, None),
    ("not a sequence", lambda: vn.pagerank(5), TypeError,
     "argument 'edges': 'int' object cannot be cast as 'Sequence'"),
    ("dict is not a sequence", lambda: vn.pagerank({"a": "b"}), TypeError,
     "argument 'edges': 'dict' object cannot be cast as 'Sequence'"),
    ("generator is not a sequence", lambda: vn.batch_tokenize_queries(q for q in "ab"),
     TypeError, "argument 'queries': 'generator' object cannot be cast as 'Sequence'"),
    ("element not str", lambda: vn.jaccard_similarity_batch("q", ["a", 2]), TypeError,
     "argument 'texts': 'int' object cannot be cast as 'str'"),
    ("edge as list", lambda: vn.pagerank([["a", "b"]]), TypeError,
     "argument 'edges': 'list' object cannot be cast as 'tuple'"),
    ("edge of three", lambda: vn.pagerank([("a", "b", "c")]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("edge of one", lambda: vn.strongly_connected_components([("a",)]), ValueError,
     "expected tuple of length 2, but got tuple of length 1"),
    ("edge item not str", lambda: vn.pagerank([("a", "b"), (1, "b")]), TypeError,
     "argument 'edges': 'int' object cannot be cast as 'str'"),
    ("ranked lists str", lambda: vn.reciprocal_rank_fusion("abc"), TypeError, None),
    ("ranked inner str", lambda: vn.reciprocal_rank_fusion(["abc"]), TypeError, None),
    ("ranked item list", lambda: vn.reciprocal_rank_fusion([[["a", 1.0]]]), TypeError,
     "argument 'ranked_lists': 'list' object cannot be cast as 'tuple'"),
    ("ranked item of three", lambda: vn.reciprocal_rank_fusion([[("a", 1.0, 2)]]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("ranked doc id", lambda: vn.reciprocal_rank_fusion([[(1, 1.0)]]), TypeError,
     "argument 'ranked_lists': 'int' object cannot be cast as 'str'"),
    ("ranked score", lambda: vn.reciprocal_rank_fusion([[("a", "high")]]), TypeError, None),
    ("weights", lambda: vn.reciprocal_rank_fusion_weighted([], "12"), TypeError, None),
    # arrays
    ("float64 vector", lambda: vn.cosine_similarity(np.ones(3), F32), TypeError,
     "argument 'vec1': 'ndarray' object cannot be cast as 'ndarray'"),
    ("list vector", lambda: vn.cosine_similarity(F32, [1.0, 2.0, 3.0]), TypeError,
     "argument 'vec2': 'list' object cannot be cast as 'ndarray'"),
    ("matrix as vector", lambda: vn.cosine_similarity(M32, F32), TypeError,
     "argument 'vec1': 'ndarray' object cannot be cast as 'ndarray'"),
    ("vector as matrix", lambda: vn.cosine_similarity_batch(F32, F32), TypeError,
     "argument 'documents': 'ndarray' object cannot be cast as 'ndarray'"),
    ("byte-swapped float32", lambda: vn.cosine_similarity(F32.astype(">f4"), F32), TypeError,
     "argument 'vec1': 'ndarray' object cannot be cast as 'ndarray'"),
    ("float16", lambda: vn.cosine_similarity(F32.astype(np.float16), F32), TypeError,
     "argument 'vec1': 'ndarray' object cannot be cast as 'ndarray'"),
    # the first failing argument in signature order ends the call
    ("first failure wins", lambda: vn.pagerank([("a",)], damping="x"), ValueError,
     "expected tuple of length 2, but got tuple of length 1"),
    ("later argument", lambda: vn.pagerank([("a", "b")], max_iterations=1.5), TypeError, None),
]


@pytest.mark.parametrize("call,exc_type,message", [c[1:] for c in REFUSED],
                         ids=[c[0] for c in REFUSED])
def test_refused(call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("call,param", [
    (lambda: vn.batch_extract_tokens("abc"), "texts"),
    (lambda: vn.reciprocal_rank_fusion([["abc"]]), "ranked_lists"),
    (lambda: vn.reciprocal_rank_fusion([[("a", "high")]]), "ranked_lists"),
    (lambda: vn.pagerank([("a", "b")], max_iterations=1.5), "max_iterations"),
    (lambda: E(k1="1.5"), "k1"),
    (lambda: vn.mmr_select_indices([1.0, "x"], ["a", "b"], 1), "scores"),
], ids=["str as list", "inner item str", "score not float", "count from float", "k1 from str",
        "float element"])
def test_interpreter_type_errors_get_the_argument_prefix(call, param):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(f"argument '{param}': ")


@pytest.mark.parametrize("call", [
    lambda: vn.bfs_expansion([("a", "b")], ["a"], max_hops=-1),
    lambda: vn.pagerank([("a", "b", "c")]),
    lambda: vn.compute_file_hash("\ud800"),
])
def test_other_errors_pass_unchanged(call):
    with pytest.raises((OverflowError, ValueError)) as info:
        call()
    assert not str(info.value).startswith("argument")


# Calls whose arguments the boundary accepts. Whatever the function then does with them, it is
# never a binding or conversion error.
ACCEPTED = [
    ("tuple as list", lambda: vn.batch_extract_tokens(("a", "b"))),
    ("str subclass", lambda: vn.extract_code_tokens(type("S", (str,), {})("abc"))),
    ("tuple subclass edge", lambda: vn.pagerank([type("T", (tuple,), {})(("a", "b"))])),
    ("numpy bool flag", lambda: vn.bfs_expansion([("a", "b")], ["a"], bidirectional=np.bool_(False))),
    ("bool as count", lambda: vn.pagerank([("a", "b")], max_iterations=True)),
    ("numpy int as count", lambda: vn.bfs_expansion([], [], max_hops=np.int64(2))),
    ("int as float", lambda: vn.reciprocal_rank_fusion([[("a", 1)]], k=60)),
    ("object with __float__", lambda: vn.mmr_select_indices(
        [type("F", (), {"__float__": lambda s: 0.5})()], ["a"], 1)),
    ("__index__ as float", lambda: vn.BM25Engine(k1=type("I", (), {"__index__": lambda s: 3})())),
    ("object with __index__", lambda: vn.pagerank([], max_iterations=type(
        "I", (), {"__index__": lambda s: 7})())),
    ("None as optional", lambda: vn.extract_code_by_line_range("r", "f", 1, 2, None)),
    ("all by keyword", lambda: vn.bfs_traversal_edges(
        bidirectional=True, max_results=5, max_hops=1, start_nodes=["a"], edges=[("a", "b")])),
    ("float32 vector view", lambda: vn.cosine_similarity(
        np.arange(8, dtype=np.float32)[::2], np.ones(4, dtype=np.float32))),
    ("float32 matrix view", lambda: vn.cosine_similarity_batch(
        F32, np.ones((3, 4), dtype=np.float32).T)),
    ("empty matrix", lambda: vn.cosine_similarity_batch(F32, np.ones((0, 3), np.float32))),
    ("iterable sequence", lambda: vn.batch_extract_tokens(__import__("collections").deque(["a"]))),
]


@pytest.mark.parametrize("call", [c[1] for c in ACCEPTED], ids=[c[0] for c in ACCEPTED])
def test_accepted(call, outcome):
    error = outcome(call)
    assert not isinstance(error, (TypeError, ValueError, OverflowError)), error


class Custom:
    """A sequence whose iteration runs a callback: a window into conversion order."""

    def __init__(self, items, on_iter=lambda: None, length=None):
        self.items, self.on_iter, self.length = items, on_iter, length

    def __len__(self):
        if self.length is None:
            raise RuntimeError("length is not known")
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for item in self.items:
            self.on_iter()
            yield item


def test_a_failing_length_is_ignored_and_iteration_errors_pass(outcome):
    # NotImplementedError derives from RuntimeError: compare exact types.
    for length in (None, 99):
        error = outcome(lambda: vn.batch_extract_tokens(Custom(["a", "b"], length=length)))
        assert type(error) not in (TypeError, RuntimeError), error

    def explode():
        raise KeyError("from iteration")

    with pytest.raises(KeyError):
        vn.batch_extract_tokens(Custom(["a"], on_iter=explode))


def test_type_error_keeps_its_cause():
    class BadFloat:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as exc:
                raise TypeError("no float here") from exc

    with pytest.raises(TypeError) as info:
        vn.reciprocal_rank_fusion([[("a", BadFloat())]])
    assert str(info.value) == "argument 'ranked_lists': no float here"
    assert isinstance(info.value.__cause__, KeyError)


def test_conversion_runs_in_signature_order():
    seen = []
    docs = Custom(["a"], on_iter=lambda: seen.append("contents"), length=1)

    class Score:
        def __float__(self):
            seen.append("scores")
            return 1.0

    with pytest.raises(TypeError, match="argument 'target_count'"):
        vn.mmr_select_indices([Score()], docs, "three")
    assert seen == ["scores", "contents"]


# ---- BM25Engine receiver and borrow rule ----------------------------------------------------

def test_method_on_a_foreign_receiver():
    with pytest.raises(TypeError) as info:
        E.index(5, ["a"])
    if platform.python_implementation() == "PyPy":
        assert str(info.value) == "'int' object cannot be cast as 'BM25Engine'"


def test_exclusive_use_refuses_shared_and_exclusive_users():
    engine = E()
    seen = []

    def reenter():
        for call in (engine.get_stats, lambda: engine.score("q"), lambda: engine.index([])):
            try:
                call()
            except RuntimeError as exc:
                seen.append(str(exc))

    try:
        engine.index(Custom(["a b"], on_iter=reenter, length=1))
    except NotImplementedError:
        pass
    assert seen == ["Already mutably borrowed", "Already mutably borrowed", "Already borrowed"]


def test_use_is_given_back_after_a_failed_conversion(outcome):
    engine = E()
    for _ in range(3):
        with pytest.raises(TypeError):
            engine.index("not a list")
        with pytest.raises(TypeError):
            engine.score(5)
    for call in (engine.get_stats, lambda: engine.index(["a"]), lambda: engine.score("a")):
        assert type(outcome(call)) is not RuntimeError


def test_concurrent_shared_users_do_not_conflict(outcome):
    engine = E()
    errors = []

    def worker():
        for _ in range(500):
            error = outcome(lambda: engine.score("q", top_k=3))
            if type(error) is RuntimeError:
                errors.append(error)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_engine_made_without_its_constructor_is_refused():
    # CPython refuses object.__new__ for this type; PyPy allows it, and the methods refuse.
    with pytest.raises(TypeError):
        engine = object.__new__(E)
        engine.get_stats()
