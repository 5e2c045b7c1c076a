"""Flow graph queries and walks, against plain-Python models of the same algorithms."""

import collections.abc
import random
import sys

import pytest
from hypothesis import given, settings, strategies as st

import reference
import tamareltools.tamarels as tamarels
from leakcheck import assert_no_leaks

QUERIES = ["build_flow_graph", "find_start_node", "find_end_nodes", "get_node_by_id"]
WALKS = ["build_decision_tree", "get_execution_order_with_config_ids"]


def node(node_id, config_id=None, **extra):
    return {"id": node_id, "config": {"id": node_id if config_id is None else config_id}, **extra}


def edge(source, target):
    return {"source": {"node_id": source}, "target": {"node_id": target}}


def flow(nodes, edges):
    return {"nodes": [node(n, i) if not isinstance(n, dict) else n for i, n in enumerate(nodes)],
            "edges": [edge(*e) for e in edges]}


def same(name, *args, fresh=None):
    """Native and model give the same result, or the same exception type and args.
    `fresh` makes new arguments for each (for one-shot iterators)."""
    results = []
    for impl in (getattr(tamarels, name), getattr(reference, name)):
        try:
            results.append(("ok", impl(*(fresh() if fresh else args))))
        except Exception as e:
            results.append((type(e), e.args))
    assert results[0] == results[1], name
    return results[0]


# ---- examples ------------------------------------------------------------------

DIAMOND = flow("ABCD", ["AB", "AC", "BD", "CD"])


def test_examples():
    assert tamarels.build_flow_graph([]) == {}
    assert tamarels.build_flow_graph([edge("a", "b")] * 2) == {"a": ["b", "b"]}
    assert tamarels.get_execution_order_with_config_ids(DIAMOND) == [0, 1, 3, 2]
    tree = tamarels.build_decision_tree(DIAMOND)
    assert [c["children"][0]["id"] for c in tree["children"]] == [3, 3]
    assert tamarels.build_decision_tree({"nodes": [node("A", 7)], "edges": []}) == \
        {"id": 7, "type": None, "children": []}
    assert tamarels.build_decision_tree({"nodes": [], "edges": []}) is None
    cycle = flow("SAB", ["SA", "AB", "BA"])
    assert tamarels.get_execution_order_with_config_ids(cycle) == [0, 1, 2]
    assert tamarels.build_decision_tree(cycle)["children"][0]["children"][0]["children"] == []
    assert tamarels.build_decision_tree(flow("AB", ["AB", "BA"])) is None
    assert tamarels.get_execution_order_with_config_ids(flow("STX", ["SX", "TX"])) == [0, 2, 1]


def test_results_are_the_objects_themselves():
    nodes = [node("A"), node("B")]
    assert tamarels.find_start_node(nodes, [edge("A", "B")]) is nodes[0]
    assert tamarels.get_node_by_id(nodes, "B") is nodes[1]
    assert tamarels.build_decision_tree({"nodes": [node("A", type="start")], "edges": []})["type"] == "start"


@pytest.mark.parametrize("name,args", [
    ("get_node_by_id", ([node(1), node(1.0)], 1.0)),
    ("get_node_by_id", ([node(1)], "1")),
    ("get_node_by_id", ([node("a"), {"x": 1}], "a")),        # stops before the bad node
    ("get_node_by_id", ([{"x": 1}, node("a")], "a")),
    ("get_node_by_id", ([node(float("nan"))], float("nan"))),
    ("find_start_node", ([node("a"), {"x": 1}], [])),        # every id is read
    ("find_end_nodes", ([node("a"), node("b")], [edge("a", "a")])),
    ("find_start_node", ([node([1])], [edge("a", "b")])),    # unhashable id
    ("find_start_node", (None, [])),
    ("find_end_nodes", ([], [{"source": {}}])),
    ("build_flow_graph", ([{"source": {"node_id": "a"}}],)),
    ("build_flow_graph", ([edge(("t", 1), "x")],)),
    ("get_execution_order_with_config_ids", ({"nodes": [{"id": "A"}], "edges": []},)),
    ("get_execution_order_with_config_ids", ({"nodes": [node("A")], "edges": [edge("A", "Z")]},)),
    ("get_execution_order_with_config_ids", ({"nodes": []},)),
    ("get_execution_order_with_config_ids", ({"nodes": None, "edges": []},)),
    ("build_decision_tree", ({"nodes": None, "edges": None},)),
    ("build_decision_tree", ([],)),
    ("build_decision_tree", ({"nodes": [node("A"), {"id": "B"}], "edges": [edge("A", "B")]},)),
    ("build_decision_tree", ({"nodes": [node("A")], "edges": [edge("A", "Z")]},)),
    ("build_decision_tree", ({"nodes": [{"config": {}}], "edges": []},)),
])
def test_odd_inputs_match_the_model(name, args):
    same(name, *args)


# Sources of every list length up to 70, in edge order; with a source of another type
# halfway the lists made so far are appended to from then on.
@pytest.mark.parametrize("odd", [None, 2.0], ids=["plain sources", "an odd source halfway"])
def test_adjacency_lists_are_the_ones_appends_make(odd):
    edges = [edge(f"s{n}", t) for n in range(70) for t in range(n)]
    if odd is not None:
        edges = edges[::2] + [edge(odd, "x")] + edges[1::2]
    graphs = [tamarels.build_flow_graph(edges), reference.build_flow_graph(edges)]
    assert graphs[0] == graphs[1]
    for _ in range(2):  # as made, then grown by the caller
        assert [sys.getsizeof(v) for v in graphs[0].values()] == [sys.getsizeof(v) for v in graphs[1].values()]
        for graph in graphs:
            for targets in graph.values():
                targets.append("y")


def test_key_error_carries_a_tuple_key():
    with pytest.raises(KeyError) as info:
        tamarels.get_execution_order_with_config_ids(
            {"nodes": [node(("a", 1))], "edges": [edge(("a", 1), ("b", 2))]})
    assert info.value.args == (("b", 2),)


class Mapping(collections.abc.Mapping):
    def __init__(self, **items):
        self.items_ = items

    def __getitem__(self, key):
        return self.items_[key]

    def __iter__(self):
        return iter(self.items_)

    def __len__(self):
        return len(self.items_)


class Defaulting(dict):
    def __missing__(self, key):
        return "missing-" + key


def generic_flow():
    nodes = (Mapping(id="A", config=Mapping(id=1)), Defaulting(id="B", config={"id": 2}),
             Defaulting(id="C"))
    edges = [Mapping(source=Mapping(node_id="A"), target=Mapping(node_id="B")),
             edge("B", "C")]
    return nodes, edges


@pytest.mark.parametrize("name", QUERIES + WALKS)
def test_any_iterables_and_mappings(name):
    nodes, edges = generic_flow()
    if name == "get_node_by_id":
        for key in ("A", "C", "Z"):
            same(name, fresh=lambda: (iter(nodes), key))
    elif name == "build_flow_graph":
        same(name, fresh=lambda: (iter(edges),))
    elif name in QUERIES:
        same(name, fresh=lambda: (iter(nodes), iter(edges)))
        same(name, fresh=lambda: (nodes, (e for e in edges)))
    else:
        same(name, Mapping(nodes=nodes, edges=edges))
        same(name, fresh=lambda: (Mapping(nodes=iter(nodes), edges=iter(edges)),))


def test_rebinding_the_queries_changes_the_tree(monkeypatch):
    calls = []
    real = tamarels.get_node_by_id
    monkeypatch.setattr(tamarels, "get_node_by_id",
                        lambda nodes, node_id: calls.append(node_id) or real(nodes, node_id))
    monkeypatch.setattr(tamarels, "find_start_node", lambda nodes, edges: nodes[1])
    assert tamarels.build_decision_tree(DIAMOND)["id"] == 1
    assert calls == ["B", "D"]
    monkeypatch.setattr(tamarels, "build_flow_graph", lambda edges: {"B": ["A"]})
    assert tamarels.build_decision_tree(DIAMOND)["children"][0]["id"] == 0


# ---- random graphs against the models --------------------------------------------

IDS = st.sampled_from(["a", "b", "c", "d", "e", 1, 2, 2.0, True])


@st.composite
def flows(draw):
    ids = draw(st.lists(IDS, max_size=7))
    edges = draw(st.lists(st.tuples(IDS, IDS), max_size=12))
    nodes = [node(i, draw(st.integers(0, 3)), **({"type": "t"} if draw(st.booleans()) else {}))
             for i in ids]
    return {"nodes": nodes, "edges": [edge(*e) for e in edges]}


@settings(max_examples=300, deadline=None)
@given(flows(), IDS)
def test_random_flows_match_the_models(flow_data, some_id):
    nodes, edges = flow_data["nodes"], flow_data["edges"]
    same("build_flow_graph", edges)
    same("find_start_node", nodes, edges)
    same("find_end_nodes", nodes, edges)
    same("get_node_by_id", nodes, some_id)
    same("build_decision_tree", flow_data)
    same("get_execution_order_with_config_ids", flow_data)


def random_dag(n, extra, seed):
    rng = random.Random(seed)
    nodes = [node(f"n{i}", i % 97) for i in range(n)]
    pairs = [(f"n{i}", f"n{i + 1}") for i in range(0, n - 1, 2)]
    pairs += [(f"n{a}", f"n{b}") for a, b in
              (sorted(rng.sample(range(n), 2)) for _ in range(extra))]
    rng.shuffle(pairs)
    return {"nodes": nodes, "edges": [edge(*p) for p in pairs]}


def test_large_random_dag_matches_the_model():
    flow_data = random_dag(200_000, 20_000, seed=7)
    assert (tamarels.get_execution_order_with_config_ids(flow_data)
            == reference.get_execution_order_with_config_ids(flow_data))
    small = random_dag(300, 60, seed=3)
    assert tamarels.build_decision_tree(small) == reference.build_decision_tree(small)


def test_million_node_chain():
    n = 1_000_000
    chain = {"nodes": [node(i, i) for i in range(n)], "edges": [edge(i, i + 1) for i in range(n - 1)]}
    order = tamarels.get_execution_order_with_config_ids(chain)
    assert order == list(range(n))
    tree = tamarels.build_decision_tree(chain)
    depth = 0
    while tree["children"]:
        (tree,) = tree["children"]
        depth += 1
    assert depth == n - 1 and tree["id"] == n - 1


def test_no_leaks():
    for name in WALKS:
        assert_no_leaks(getattr(tamarels, name), DIAMOND, repeat=1000)
    nodes, edges = DIAMOND["nodes"], DIAMOND["edges"]
    assert_no_leaks(tamarels.find_start_node, nodes, edges)
    assert_no_leaks(tamarels.find_end_nodes, nodes, edges)
    assert_no_leaks(tamarels.build_flow_graph, edges)
    # plain sources, then one that is not; plain sources, then an edge that fails
    assert_no_leaks(tamarels.build_flow_graph, edges + [edge(2.0, "A")] + edges)
    assert_no_leaks(tamarels.build_flow_graph, edges + [{"source": {"node_id": "A"}}])
    assert_no_leaks(tamarels.get_node_by_id, nodes, "D")
    assert_no_leaks(tamarels.get_execution_order_with_config_ids, {"nodes": [{"id": 1}], "edges": []})
    assert_no_leaks(tamarels.build_decision_tree, {"nodes": [node("A")], "edges": [edge("A", "Z")]})


def test_function_shapes():
    assert tamarels.find_start_node.__doc__ == "找到开始节点（没有入边的节点）"
    assert tamarels.build_decision_tree.__doc__ == "构建决策树，显示条件分支结构"
    assert tamarels.get_execution_order_with_config_ids.__doc__ is None
    with pytest.raises(TypeError, match=r"^find_start_node\(\) got an unexpected keyword argument 'x'$"):
        tamarels.find_start_node(nodes=[], edges=[], x=1)
