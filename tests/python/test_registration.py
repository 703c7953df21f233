"""What the module registers: names, order, doc texts, signatures, and the BM25Engine type."""
import importlib.util
import inspect
import platform
import sys

import pytest

import vantrel_native as vn

PYPY = platform.python_implementation() == "PyPy"

# (name, parameters of the text signature, first line of the docstring body or None when empty)
ENTRIES = [
    ("cosine_similarity", "(vec1, vec2)", "Compute cosine similarity between two vectors"),
    ("cosine_similarity_batch", "(query, documents)",
     "Compute cosine similarity between a query vector and multiple document vectors"),
    ("reciprocal_rank_fusion", "(ranked_lists, k=60.0)",
     "Reciprocal Rank Fusion (RRF) - combines multiple ranked lists"),
    ("reciprocal_rank_fusion_weighted", "(ranked_lists, weights, k=60.0)",
     "Weighted Reciprocal Rank Fusion - combines multiple ranked lists with custom weights"),
    ("BM25Engine", "(k1=1.5, b=0.75, delta=1.0)",
     "High-performance BM25 scoring engine with WAND-inspired optimization"),
    ("pagerank", "(edges, damping=0.85, max_iterations=100, tolerance=1e-6)",
     "Compute PageRank scores for a directed graph"),
    ("bfs_expansion",
     "(edges, start_nodes, max_hops=3, max_results=30, bidirectional=True)",
     "Multi-hop BFS graph expansion with bidirectional traversal"),
    ("bfs_traversal_edges",
     "(edges, start_nodes, max_hops=3, max_results=30, bidirectional=True)",
     "Multi-hop BFS traversal that returns predecessor edges in BFS tree order."),
    ("strongly_connected_components", "(edges)",
     "Detect strongly connected components using Kosaraju's algorithm"),
    ("extract_code_tokens", "(text)",
     "Extract code tokens from text, handling camelCase, snake_case, etc."),
    ("tokenize_for_search", "(query)", "Tokenize a search query"),
    ("batch_extract_tokens", "(texts)", "Batch tokenize multiple texts in parallel"),
    ("batch_tokenize_queries", "(queries)", "Batch tokenize queries in parallel"),
    ("compute_file_hash", "(content)", "Compute truncated SHA256 hash of content (16 hex chars)."),
    ("jaccard_similarity", "(text1, text2)",
     "Compute Jaccard similarity between two strings (word-level)."),
    ("jaccard_similarity_batch", "(query, texts)",
     "Batch compute Jaccard similarity of one text against many."),
    ("mmr_select_indices", "(scores, contents, target_count, lambda_param=0.7)",
     "Select item indices using Maximal Marginal Relevance (MMR)."),
    ("extract_code_by_line_range",
     "(repo_path, filename, line_start, line_end, max_code_chars=None)",
     "Extract a line range from a file on disk."),
    ("is_language_supported", "(language)", None),
    ("extract_imports_ast", "(code, language)", None),
    ("extract_symbols", "(code, language, filename)", None),
    ("extract_relationships", "(code, language)", None),
    ("extract_calls", "(code, language, current_function_name=None)", None),
]

METHODS = [
    ("index", "($self, documents)",
     "Index a corpus of documents\n\nArgs:\n    documents: List of document strings to index"),
    ("score", "($self, query, top_k=None, score_threshold=0.0)",
     "Score indexed documents against a query using BM25+\n\nArgs:\n    query: Query string\n"
     "    top_k: Number of top results to return (default: None for all)\n    score_threshold: "
     "Minimum score threshold for results (default: 0.0)\n\nReturns:\n    List of (doc_index, "
     "score) tuples, sorted by score descending"),
    ("get_stats", "($self)",
     "Get statistics about the indexed corpus\n\nReturns:\n    Dictionary with corpus statistics"),
]


def test_all_lists_every_entry_in_registration_order():
    assert vn.__all__ == [name for name, _, _ in ENTRIES]
    assert vn.__all__[4] == "BM25Engine"


def test_module_has_nothing_else():
    public = {name for name in dir(vn) if not name.startswith("__")}
    assert public == set(vn.__all__)
    assert vn.__doc__ == ""


@pytest.mark.parametrize("name,params,first_line", ENTRIES[:4] + ENTRIES[5:], ids=lambda x: x)
def test_function_doc_signature_and_module(name, params, first_line):
    fn = getattr(vn, name)
    assert fn.__name__ == name
    assert fn.__module__ == "vantrel_native"
    assert getattr(fn, "__self__", vn) is vn  # PyPy does not expose __self__ here
    assert fn.__text_signature__ == params
    if first_line is None:
        assert fn.__doc__ is None
    else:
        assert fn.__doc__.split("\n")[0] == first_line
    # Every parameter can be given by keyword: none is positional-only or keyword-only.
    kinds = {p.kind for p in inspect.signature(fn).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_full_doc_bodies():
    assert vn.cosine_similarity.__doc__ == (
        "Compute cosine similarity between two vectors\n\nArgs:\n    vec1: First vector (1D numpy"
        " array)\n    vec2: Second vector (1D numpy array)\n\nReturns:\n    Cosine similarity "
        "score (float)")
    assert vn.bfs_traversal_edges.__doc__ == "\n".join([
        "Multi-hop BFS traversal that returns predecessor edges in BFS tree order.",
        "",
        "This is designed for graph expansion in Python where we want concrete edges:",
        "(source_file, target_file, relation_type, hop_distance).",
        "",
        "relation_type is:",
        '- "imports" when traversing a forward edge (source -> target)',
        '- "imported_by" when traversing a reverse edge (target <- source)',
    ])
    assert vn.jaccard_similarity_batch.__doc__ == (
        "Batch compute Jaccard similarity of one text against many.\n"
        "Returns vec of similarities in same order as texts.")


def test_engine_type_names_and_doc():
    engine = vn.BM25Engine
    assert engine.__module__ == "builtins"
    assert engine.__name__ == engine.__qualname__ == "BM25Engine"
    assert engine.__doc__.endswith(
        "High-performance BM25 scoring engine with WAND-inspired optimization")
    assert engine.__base__ is object


@pytest.mark.parametrize("name,signature,doc", METHODS, ids=[m[0] for m in METHODS])
def test_engine_methods_keep_docs(name, signature, doc):
    method = getattr(vn.BM25Engine, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == signature


def test_engine_method_order():
    names = [n for n in vars(vn.BM25Engine) if n in {"index", "score", "get_stats"}]
    assert names == ["index", "score", "get_stats"]


def test_engine_cannot_be_subclassed():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        class Derived(vn.BM25Engine):  # noqa: F841
            pass


def test_engine_construction_and_release_in_a_loop():
    from conftest import collect

    for i in range(20_000):
        engine = vn.BM25Engine(k1=float(i), b=0.5)
    del engine
    collect()
    assert isinstance(vn.BM25Engine(), vn.BM25Engine)


def test_initialising_again_returns_the_same_module():
    before = list(vn.__all__)
    spec = importlib.util.spec_from_file_location("vantrel_native", vn.__file__)
    assert importlib.util.module_from_spec(spec) is vn
    if hasattr(__import__("ctypes"), "PyDLL"):  # PyPy's ctypes cannot return Python objects
        import ctypes

        init = ctypes.PyDLL(vn.__file__).PyInit_vantrel_native
        init.restype = ctypes.py_object
        assert init() is vn and init() is vn
    assert vn.__all__ == before


def test_fresh_interpreter_imports_cleanly():
    import subprocess

    code = ("import vantrel_native as v; import threading\n"
            "assert len(v.__all__) == 23\n")
    subprocess.run([sys.executable, "-c", code], check=True)
