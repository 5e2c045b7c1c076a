// Flow graphs: queries and walks over the flow editor's documents
// ({"nodes": [...], "edges": [...]}; an edge's ends are edge["source"]["node_id"] and
// edge["target"]["node_id"]).
//
// Walks use explicit stacks, never the C stack, so a flow of any depth gives its
// result.
#include "sections.hpp"

#include "runtime/keys.hpp"

#include <vector>

namespace sections {
namespace {

using py::Call;
using py::Ref;

// The walks below read each name they subscript with once, before their loop: a name
// is the running module's, found through the thread's record.

// edge[end][node_id], with node_id the interned "node_id"
inline Ref endpoint(PyObject* edge, PyObject* end, PyObject* node_id) {
    return py::getitem(py::getitem(edge, end), node_id);
}

// {edge[end]["node_id"] for edge in edges}
TAMARELS_FLATTEN py::KeySet endpoint_set(PyObject* edges, PyObject* end) {
    PyObject* node_id = PY_NAME(node_id);
    py::KeySet ids(py::expected_size(edges));
    py::for_each(edges, [&](PyObject* edge) { ids.add(endpoint(edge, end, node_id)); });
    return ids;
}

// for edge in edges: fn(edge["source"]["node_id"], edge["target"]["node_id"]), the
// ends as Refs the body may take over
template <class Fn>
void for_each_edge(PyObject* edges, Fn&& fn) {
    PyObject* source_key = PY_NAME(source);
    PyObject* target_key = PY_NAME(target);
    PyObject* node_id = PY_NAME(node_id);
    py::for_each(edges, [&](PyObject* edge) {
        Ref source = endpoint(edge, source_key, node_id);
        Ref target = endpoint(edge, target_key, node_id);
        fn(source, target);
    });
}

bool contains(PyObject* set, PyObject* key) { return py::check(PySet_Contains(set, key)) != 0; }

// An exact dict whose keys are all exact str: looking up a str key in it runs no
// Python code (no key of another type can be compared with it).
bool plain_dict(PyObject* o) {
    if (!PyDict_CheckExact(o)) return false;
    if (py::str_keyed(o)) return true;
    Py_ssize_t pos = 0;
    PyObject* key;
    while (PyDict_Next(o, &pos, &key, nullptr)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

// ---- queries -------------------------------------------------------------------

// if source not in graph: graph[source] = []
// graph[source].append(target)
Py_NO_INLINE void add_edge(PyObject* graph, PyObject* source, PyObject* target) {
    if (!py::check(PyDict_Contains(graph, source))) py::setitem(graph, source, py::new_list());
    py::append(py::getitem(graph, source), target);
}

TAMARELS_FLATTEN Ref flow_graph(PyObject* edges) {
    // While every source is an exact str or int the dict is made once the edges are
    // read (KeyLists); from the first other source on, the dict is asked as often as
    // the Python loop asks it.
    py::KeyLists lists(py::expected_size(edges));
    Ref graph;
    for_each_edge(edges, [&](Ref& source, Ref& target) {
        if (!graph && lists.add(source, target)) return;
        if (!graph) graph = lists.dict();
        add_edge(graph, source, target);
    });
    return graph ? std::move(graph) : lists.dict();
}

constexpr py::Params edges_params{"edges"};
constexpr py::Params nodes_edges_params{"nodes, edges"};
constexpr py::Params get_node_by_id_params{"nodes, node_id"};
constexpr py::Params flow_data_params{"flow_data"};

Ref build_flow_graph(Call& c) {
    auto [edges] = c.args<edges_params>();
    return flow_graph(edges);
}

Ref start_node(PyObject* nodes, PyObject* edges) {
    py::KeySet targets = endpoint_set(edges, PY_NAME(target));
    PyObject* id_key = PY_NAME(id);
    Ref first;
    // Every node's id is read and tested, as a comprehension over all of them would.
    py::for_each(nodes, [&](PyObject* node) {
        Ref id = py::getitem(node, id_key);
        if (!targets.contains(id) && !first) first = Ref::borrow(node);
    });
    return first ? std::move(first) : py::none();
}

Ref find_start_node(Call& c) {
    auto [nodes, edges] = c.args<nodes_edges_params>();
    return start_node(nodes, edges);
}

// [node["id"] for node in nodes if node["id"] not in ids]: a listed node's id is read
// twice, as the comprehension does. Once is enough only where nothing can tell: an
// exact dict whose table holds str keys only (reading runs no code) and an id that is
// an exact str or int which `ids` looked up in its own table (no __hash__ or __eq__
// ran in between). The test takes constant time, since it runs for every listed node:
// reading all keys of each costs more than the read it saves, so a dict that once
// held a key of another type is read twice.
TAMARELS_FLATTEN Ref ids_not_in(PyObject* nodes, py::KeySet& ids) {
    PyObject* id_key = PY_NAME(id);
    Ref selected = py::new_list();
    py::for_each(nodes, [&](PyObject* node) {
        Ref id = py::getitem(node, id_key);
        if (ids.contains(id)) return;
        const bool unobservable = py::KeyTable::plain(id) && ids.private_table() && py::str_keyed(node);
        if (!unobservable) id = py::getitem(node, id_key);
        py::append(selected, id);
    });
    return selected;
}

Ref find_end_nodes(Call& c) {
    auto [nodes, edges] = c.args<nodes_edges_params>();
    py::KeySet sources = endpoint_set(edges, PY_NAME(source));
    return ids_not_in(nodes, sources);
}

Ref node_by_id(PyObject* nodes, PyObject* node_id) {
    PyObject* id_key = PY_NAME(id);
    if (PyList_CheckExact(nodes)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes); ++i) {
            Ref node = Ref::borrow(PyList_GET_ITEM(nodes, i));
            if (py::equal(py::getitem(node, id_key), node_id)) return node;
        }
        return py::none();
    }
    Ref it = Ref::steal(PyObject_GetIter(nodes));
    while (PyObject* raw = PyIter_Next(it)) {
        Ref node = Ref::steal(raw);
        if (py::equal(py::getitem(node, id_key), node_id)) return node;
    }
    if (PyErr_Occurred()) py::fail();
    return py::none();
}

Ref get_node_by_id(Call& c) {
    auto [nodes, node_id] = c.args<get_node_by_id_params>();
    return node_by_id(nodes, node_id);
}

const py::FunctionDef build_flow_graph_def{"build_flow_graph", "build_flow_graph",
                                           "构建流程图的有向图结构", py::impl<build_flow_graph, edges_params>};
const py::FunctionDef find_start_node_def{"find_start_node", "find_start_node",
                                          "找到开始节点（没有入边的节点）", py::impl<find_start_node, nodes_edges_params>};
const py::FunctionDef get_node_by_id_def{"get_node_by_id", "get_node_by_id",
                                         "根据节点ID获取节点信息", py::impl<get_node_by_id, get_node_by_id_params>};
const py::FunctionDef find_end_nodes_def{"find_end_nodes", "find_end_nodes",
                                         "找到结束节点（没有出边的节点）", py::impl<find_end_nodes, nodes_edges_params>};

// A module-level function called by name at call time; while the name still holds
// the module's own function the call skips the Python-level dispatch.
template <class Fast, class... A>
Ref call_global(Call& c, PyObject* name, const py::FunctionDef& own, Fast fast, const A&... args) {
    py::Binding fn = c.global(name, own);
    if (fn.native) return fast(args...);
    return py::call(fn.object, args...);
}

// ---- decision tree ---------------------------------------------------------------

// An id whose hashing and comparing run no Python code.
bool plain_id(PyObject* id) { return PyUnicode_CheckExact(id) || PyLong_CheckExact(id); }

// The ids in the adjacency map (sources and targets) are all plain.
bool plain_graph(PyObject* graph) {
    if (!PyDict_CheckExact(graph)) return false;
    Py_ssize_t pos = 0;
    PyObject *source, *targets;
    while (PyDict_Next(graph, &pos, &source, &targets)) {
        if (!plain_id(source) || !PyList_CheckExact(targets)) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(targets); ++i) {
            if (!plain_id(PyList_GET_ITEM(targets, i))) return false;
        }
    }
    return true;
}

// get_node_by_id(nodes, id) for the whole walk, looked up by its module-level name.
// The answers come from an index built once (the first node of an id wins, as the
// scan finds it) only where nothing during the walk can run Python code, so that
// nothing can change what the scan would find: the module's own function bound, the
// nodes an exact list of plain dicts with plain ids and plain "config" dicts, and
// the start id and every id of the graph plain.
class NodeLookup {
public:
    NodeLookup(Call& c, PyObject* nodes, PyObject* graph, PyObject* start_id) : call_(c), nodes_(Ref::borrow(nodes)) {
        if (!c.global(PY_NAME(get_node_by_id), get_node_by_id_def).native) return;
        if (!PyList_CheckExact(nodes) || !plain_id(start_id) || !plain_graph(graph)) return;
        Ref index = py::new_dict();
        PyObject* id_key = PY_NAME(id);
        PyObject* config_key = PY_NAME(config);
        // Nothing in this loop runs Python code; the items are held all the same.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes); ++i) {
            Ref node = Ref::borrow(PyList_GET_ITEM(nodes, i));
            if (!plain_dict(node)) return;
            PyObject* id = nullptr;
            PyObject* config = nullptr;
            py::check(PyDict_GetItemRef(node, id_key, &id));
            Ref keep_id = Ref::steal_nullable(id);
            if (!id || !plain_id(id)) return;  // a missing id raises, in the scan
            py::check(PyDict_GetItemRef(node, config_key, &config));
            Ref keep_config = Ref::steal_nullable(config);
            if (config && !plain_dict(config)) return;  // reading its "id" may run code
            py::check(PyDict_SetDefaultRef(index, id, node, nullptr));
        }
        index_ = std::move(index);
    }

    Ref find(PyObject* node_id) {
        if (index_) {
            PyObject* node = nullptr;
            py::check(PyDict_GetItemRef(index_, node_id, &node));
            return node ? Ref::steal(node) : py::none();
        }
        return py::call(call_.global(PY_NAME(get_node_by_id)), nodes_, node_id);
    }

private:
    Call& call_;
    Ref nodes_;
    Ref index_;
};

// {"id": node["config"]["id"], "type": node.get("type"), "children": []}
Ref tree_node(PyObject* node, Ref& children) {
    Ref config_id = py::getitem(py::getitem(node, PY_NAME(config)), PY_NAME(id));
    Ref type;
    if (PyDict_CheckExact(node)) {
        PyObject* value = nullptr;
        py::check(PyDict_GetItemRef(node, PY_NAME(type), &value));
        type = value ? Ref::steal(value) : py::none();
    } else {
        type = py::call_method(node, PY_NAME(get), PY_NAME(type));
    }
    children = py::new_list();
    Ref tree = py::new_dict();
    py::setitem(tree, PY_NAME(id), config_id);
    py::setitem(tree, PY_NAME(type), type);
    py::setitem(tree, PY_NAME(children), children);
    return tree;
}

// graph[node_id] when node_id is a key of graph, else an empty Ref.
Ref successors(PyObject* graph, PyObject* node_id) {
    if (PyDict_CheckExact(graph)) {
        PyObject* value = nullptr;
        py::check(PyDict_GetItemRef(graph, node_id, &value));
        return Ref::steal_nullable(value);
    }
    if (!py::check(PySequence_Contains(graph, node_id))) return {};
    return py::getitem(graph, node_id);
}

// One flow node being unfolded: its tree node, and where its successors stand.
struct TreeFrame {
    Ref node_id;
    Ref tree;
    Ref children;
    Ref successors;  // iterator over graph[node_id]
};

Ref build_decision_tree(Call& c) {
    auto [flow_data] = c.args<flow_data_params>();
    Ref nodes = py::call_method(flow_data, PY_NAME(get), PY_NAME(nodes));
    Ref edges = py::call_method(flow_data, PY_NAME(get), PY_NAME(edges));
    Ref start = call_global(c, PY_NAME(find_start_node), find_start_node_def, start_node,
                            nodes.get(), edges.get());
    if (!py::truthy(start)) return py::none();
    Ref graph = call_global(c, PY_NAME(build_flow_graph), build_flow_graph_def, flow_graph,
                            edges.get());
    Ref start_id = py::getitem(start, PY_NAME(id));
    NodeLookup lookup(c, nodes, graph, start_id);

    // build_tree_node(node_id, visited), with `visited` the ids on the path from the
    // root: one set, entered and left, instead of a copy per child.
    Ref path = Ref::steal(PySet_New(nullptr));
    std::vector<TreeFrame> stack;
    Ref root;

    // Enters node_id; returns its finished tree node, or an empty Ref when it was
    // pushed (it finishes when its successors are done), or None.
    auto enter = [&](PyObject* node_id) -> Ref {
        if (contains(path, node_id)) return py::none();
        py::check(PySet_Add(path, node_id));
        Ref node = lookup.find(node_id);
        Ref children;
        Ref tree;
        if (py::truthy(node)) tree = tree_node(node, children);
        Ref next = tree ? successors(graph, node_id) : Ref();
        if (!next) {
            py::check(PySet_Discard(path, node_id));
            return tree ? std::move(tree) : py::none();
        }
        stack.push_back({Ref::borrow(node_id), std::move(tree), std::move(children),
                         Ref::steal(PyObject_GetIter(next))});
        return {};
    };
    auto finished = [&](Ref tree) {
        if (stack.empty()) {
            root = std::move(tree);
        } else if (py::truthy(tree)) {
            py::append(stack.back().children, tree);
        }
    };

    if (Ref done = enter(start_id)) finished(std::move(done));
    while (!stack.empty()) {
        TreeFrame& top = stack.back();
        if (PyObject* raw = PyIter_Next(top.successors)) {
            Ref child_id = Ref::steal(raw);
            if (Ref done = enter(child_id)) finished(std::move(done));
            continue;
        }
        if (PyErr_Occurred()) py::fail();
        TreeFrame frame = std::move(stack.back());
        stack.pop_back();
        py::check(PySet_Discard(path, frame.node_id));
        finished(std::move(frame.tree));
    }
    return root;
}

const py::FunctionDef build_decision_tree_def{"build_decision_tree", "build_decision_tree",
                                              "构建决策树，显示条件分支结构",
                                              py::impl<build_decision_tree, flow_data_params>};

// ---- execution order -------------------------------------------------------------

// The adjacency map of the flow, kept privately: source ids by position (the same key
// semantics as build_flow_graph's dict), and the targets of all positions in one
// array, each position's in edge order (no list or vector per node).
class Adjacency {
public:
    explicit Adjacency(PyObject* edges) : index_(py::expected_size(edges)) {
        std::vector<std::pair<Py_ssize_t, Ref>> pairs;  // (position of the source, target), in edge order
        pairs.reserve(static_cast<size_t>(py::expected_size(edges)));
        for_each_edge(edges, [&](Ref& source, Ref& target) {
            bool added;
            pairs.emplace_back(index_.insert(source, &added), std::move(target));
        });
        // Counting sort by position; it keeps the edge order within each position.
        first_.assign(static_cast<size_t>(index_.size()) + 1, 0);
        for (const auto& pair : pairs) ++first_[pair.first + 1];
        for (size_t i = 1; i < first_.size(); ++i) first_[i] += first_[i - 1];
        targets_.resize(pairs.size());
        std::vector<size_t> next(first_.begin(), first_.end() - 1);
        for (auto& pair : pairs) targets_[next[pair.first]++] = std::move(pair.second);
    }
    // The position of node_id's targets, or -1 when it is no source.
    Py_ssize_t find(PyObject* node_id) { return index_.find(node_id); }
    // The targets of a position: [begin, end) of targets().
    size_t begin(Py_ssize_t position) const { return first_[position]; }
    size_t end(Py_ssize_t position) const { return first_[position + 1]; }
    PyObject* target(size_t i) const { return targets_[i]; }

private:
    py::KeyIndex index_;
    std::vector<size_t> first_;  // first_[p] .. first_[p + 1]: the targets of position p
    std::vector<Ref> targets_;
};

Ref get_execution_order_with_config_ids(Call& c) {
    auto [flow_data] = c.args<flow_data_params>();
    Ref nodes = py::getitem(flow_data, PY_NAME(nodes));
    Ref edges = py::getitem(flow_data, PY_NAME(edges));

    Ref node_to_config = py::new_dict();
    PyObject* id_key = PY_NAME(id);
    PyObject* config_key = PY_NAME(config);
    py::for_each(nodes, [&](PyObject* node) {
        Ref id = py::getitem(node, id_key);
        Ref config_id = py::getitem(py::getitem(node, config_key), id_key);
        py::setitem(node_to_config, id, config_id);
    });
    Adjacency graph(edges);
    py::KeySet targets = endpoint_set(edges, PY_NAME(target));
    Ref starts = ids_not_in(nodes, targets);

    // traverse(node_id): pre-order, each node entered once per call.
    Ref order = py::new_list();
    py::KeySet visited(py::expected_size(nodes));
    struct Frame {
        Py_ssize_t position;  // in graph
        size_t next;          // the next of its targets to enter
    };
    std::vector<Frame> stack;
    auto enter = [&](PyObject* node_id) {
        if (visited.contains(node_id)) return;
        visited.add(node_id);
        py::append(order, py::getitem(node_to_config, node_id));
        Py_ssize_t position = graph.find(node_id);
        if (position >= 0) stack.push_back({position, graph.begin(position)});
    };
    for (Py_ssize_t s = 0; s < PyList_GET_SIZE(starts.get()); ++s) {
        enter(PyList_GET_ITEM(starts.get(), s));
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.next >= graph.end(top.position)) {
                stack.pop_back();
                continue;
            }
            enter(graph.target(top.next++));  // may grow the stack: `top` is not used after this
        }
    }
    return order;
}

const py::FunctionDef get_execution_order_def{"get_execution_order_with_config_ids",
                                              "get_execution_order_with_config_ids", nullptr,
                                              py::impl<get_execution_order_with_config_ids, flow_data_params>};

}  // namespace

void flow_graphs(py::ModuleBody& m) {
    m.def(find_start_node_def, py::Listed::No);
    m.def(build_flow_graph_def, py::Listed::No);
    m.def(get_node_by_id_def, py::Listed::No);
    m.def(find_end_nodes_def, py::Listed::No);
    m.def(build_decision_tree_def);
    m.def(get_execution_order_def);
}

}  // namespace sections
