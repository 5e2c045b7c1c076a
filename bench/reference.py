"""Plain-Python versions of the module's functions: the same algorithms, written as
the platform would write them, for the benchmarks to measure against."""

import re


def replace_str(self, data, m_0002, tamarel_tools_error):
    while self.is_extract(str(data)):
        innermost_match = re.search(r"\$\{\{([^{}]*)\}\}", str(data))
        if not innermost_match:
            break
        full_match = innermost_match.group(0)
        key_text = self.remove_parentheses(full_match)
        pieces = key_text.split("|")
        if len(pieces) == 2:
            key, cache_name = pieces
        else:
            key, cache_name = pieces[0], None
        if self.is_extract(key):
            value = self.replace_str(f"${{{{{key}}}}}", m_0002, tamarel_tools_error)
        elif self.identify_parentheses(key):
            value = self.regular(key)
        else:
            value = self.get_cache(key)
        if value is None:
            raise tamarel_tools_error(*m_0002, value=(key,))
        if cache_name:
            self.set_cache(cache_name, value)
        data = data.replace(full_match, str(value))
    if isinstance(data, str):
        return data.strip()
    return data


def v(v, s=None):
    if v == v:
        if s:
            print("测试通过")
        return None
    raise Exception("")


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
    graph = {}
    for edge in edges:
        source = edge["source"]["node_id"]
        target = edge["target"]["node_id"]
        if source not in graph:
            graph[source] = []
        graph[source].append(target)
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


# ---- assertion dispatcher ----------------------------------------------------------

def ass(self, method, actual, expect=None, **kwargs):
    import json as _json
    if type(method) is not str:
        raise TypeError("Argument 'method' has incorrect type")
    if callable(getattr(kwargs.get("text"), method, None)):
        if expect is None:
            return getattr(self, method)(actual)
        return getattr(self, method)(actual, expect)
    if callable(getattr(kwargs.get("excel"), method, None)):
        try:
            if isinstance(actual, str):
                try:
                    if actual.strip().startswith(("{", "[")):
                        actual = _json.loads(actual)
                except _json.decoder.JSONDecodeError:
                    actual = _json.loads(re.sub(r"\\", r"\\\\", actual))
            if isinstance(expect, str) and expect.strip().startswith(("{", "[")):
                expect = _json.loads(expect)
        except _json.decoder.JSONDecodeError:
            raise ValueError("0019")
        return getattr(self, method)(actual, expect)
    if callable(getattr(kwargs.get("sql"), method, None)):
        if self.mysql_connect is None:
            raise ValueError("0021")
        if isinstance(expect, str) and expect.strip().startswith(("{", "[")):
            try:
                expect = _json.loads(expect)
            except _json.decoder.JSONDecodeError:
                pass
        if expect:
            return getattr(self, method)(actual, expect)
        return getattr(self, method)(actual)
    if callable(getattr(kwargs.get("custom"), method, None)):
        return getattr(self, method)(actual)
    return getattr(self, method)(actual, expect)


# ---- REST listing ------------------------------------------------------------------

import json  # noqa: E402
import traceback  # noqa: E402


def get(self, **kwargs):
    query_dict = {}
    for k, v in dict(kwargs.get("request").query_params.lists()).items():
        if k and isinstance(v[0], str) and k not in self.not_matching_str and "id" not in k:
            query_dict[f"{k}__contains"] = v[0]
        else:
            query_dict[k] = v[0]
    project_id = kwargs.get("request").headers.get("Project")
    if query_dict.get("project_product") is None and project_id and hasattr(self.model, "project_product"):
        project_product = kwargs.get("project_product").objects.filter(project_id=project_id)
        if self.model.__name__ in self.pytest_model:
            product = kwargs.get("pytest_product").objects.filter(
                project_product_id__in=project_product.values_list("id", flat=True))
            query_dict["project_product_id__in"] = product.values_list("id", flat=True)
        else:
            query_dict["project_product_id__in"] = project_product.values_list("id", flat=True)

    def ordered():
        try:
            self.model._meta.get_field("case_sort")
            return self.model.objects.filter(**query_dict).order_by("case_sort")
        except kwargs.get("field_does_note_xist"):
            return self.model.objects.filter(**query_dict)

    try:
        params = kwargs.get("request").query_params
        if params.get("pageSize") and params.get("page"):
            del query_dict["pageSize"]
            del query_dict["page"]
            queryset = ordered()
            data_list, count = self.paging_list(params.get("pageSize"), params.get("page"),
                                                queryset, self.get_serializer_class())
            return kwargs.get("response_data").success(kwargs.get("m_0001"), data_list, count)
        books = ordered()
        serializer = self.get_serializer_class()
        try:
            books = serializer.setup_eager_loading(books)
        except kwargs.get("field_error"):
            pass
        return kwargs.get("response_data").success(kwargs.get("m_0001"),
                                                   serializer(instance=books, many=True).data,
                                                   books.count())
    except kwargs.get("s3_error"):
        kwargs.get("log").system.error(f"GET请求发送异常，请排查问题：{traceback.print_exc()}")
        return kwargs.get("response_data").fail(kwargs.get("m_0026"))
    except Exception as e:
        kwargs.get("log").system.error(f"GET请求发送异常，请排查问题：{e}, error:{traceback.print_exc()}")
        return kwargs.get("response_data").fail(kwargs.get("m_0027"))
