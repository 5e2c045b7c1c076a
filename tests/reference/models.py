"""Plain-Python models of the module's algorithms, written straight from their
descriptions; property tests compare the native functions with them."""

import re


def replace_str(self, data, m_0002, tamarel_tools_error):
    while self.is_extract(str(data)):
        match = re.search(r"\$\{\{([^{}]*)\}\}", str(data))
        if not match:
            break
        full_match = match.group(0)
        pieces = self.remove_parentheses(full_match).split("|")
        if len(pieces) == 2:
            key, cache_name = pieces
        else:
            key, cache_name = pieces[0], None
        if self.is_extract(key):
            value = self.replace_str("${{" + str(key) + "}}", m_0002, tamarel_tools_error)
        elif self.identify_parentheses(key):
            value = self.regular(key)
        else:
            value = self.get_cache(key)
        if value is None:
            raise tamarel_tools_error(*tuple(m_0002), value=(key,))
        if cache_name:
            self.set_cache(cache_name, value)
        data = data.replace(full_match, str(value))
    return data.strip() if isinstance(data, str) else data


# ---- flow graph -------------------------------------------------------------------

def build_flow_graph(edges):
    graph = {}
    for edge in edges:
        source = edge["source"]["node_id"]
        target = edge["target"]["node_id"]
        if source not in graph:
            graph[source] = []
        graph[source].append(target)
    return graph


def find_start_node(nodes, edges):
    targets = {edge["target"]["node_id"] for edge in edges}
    starts = [node for node in nodes if node["id"] not in targets]
    return starts[0] if starts else None


def find_end_nodes(nodes, edges):
    sources = {edge["source"]["node_id"] for edge in edges}
    return [node["id"] for node in nodes if node["id"] not in sources]


def get_node_by_id(nodes, node_id):
    for node in nodes:
        if node["id"] == node_id:
            return node
    return None


def build_decision_tree(flow_data):
    nodes = flow_data.get("nodes")
    edges = flow_data.get("edges")
    start_node = find_start_node(nodes, edges)
    if not start_node:
        return None
    graph = build_flow_graph(edges)

    def build_tree_node(node_id, visited):
        if node_id in visited:
            return None
        visited.add(node_id)
        node = get_node_by_id(nodes, node_id)
        if not node:
            return None
        tree = {"id": node["config"]["id"], "type": node.get("type"), "children": []}
        if node_id in graph:
            for child_id in graph[node_id]:
                child = build_tree_node(child_id, visited.copy())
                if child:
                    tree["children"].append(child)
        return tree

    return build_tree_node(start_node["id"], set())


def get_execution_order_with_config_ids(flow_data):
    nodes = flow_data["nodes"]
    edges = flow_data["edges"]
    node_to_config = {}
    for node in nodes:
        node_to_config[node["id"]] = node["config"]["id"]
    graph = build_flow_graph(edges)  # the same adjacency rules
    targets = {edge["target"]["node_id"] for edge in edges}
    starts = [node["id"] for node in nodes if node["id"] not in targets]
    order, visited = [], set()

    def traverse(node_id):
        if node_id in visited:
            return
        visited.add(node_id)
        order.append(node_to_config[node_id])
        if node_id in graph:
            for target in graph[node_id]:
                traverse(target)

    for start in starts:
        traverse(start)
    return order


# ---- call expressions -------------------------------------------------------------

def regular(self, func, error_type, m022, m023):
    match = re.match(r"^(\w+)\((.*)\)$", func)
    if not match:
        return getattr(self, func)()
    import inspect
    method_name, params_str = match.group(1), match.group(2).strip()
    _func = getattr(self, method_name)
    signature = inspect.signature(_func)
    params = list(signature.parameters)
    if not params_str:
        return _func()
    if "=" in params_str:
        kwargs = {}
        for piece in params_str.split(","):
            piece = piece.strip()
            if "=" not in piece:
                raise error_type(*tuple(m023))
            key, value = piece.split("=", 1)
            kwargs[key.strip()] = value.strip()
        return _func(**kwargs)
    args = [p.strip() for p in params_str.split(",") if p.strip()]
    variadic = any(p.kind is p.VAR_POSITIONAL for p in signature.parameters.values())
    if len(args) > len(params) and not variadic:
        raise error_type(*tuple(m022))
    return _func(*args)
