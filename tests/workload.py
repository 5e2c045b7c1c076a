"""One pass over every family of the module, giving results that compare across
interpreters: test_interpreters.py runs it in the main interpreter and in
subinterpreters of the same process and compares what they give. Self-contained (a
subinterpreter's sys.path has no tests/): `run(work, remote)` works in the directory
`work`, cloning the bare repository at `remote`."""

import asyncio
import io
import json
import os
import sys
from dataclasses import dataclass
from typing import Any

CASES = '''
import allure

def test_passes():
    allure.attach("text", name="log", attachment_type=allure.attachment_type.TEXT)

def test_fails():
    assert 1 == 2
'''


class Host:
    """A test-data host: a cache, call expressions, and replace_str forwarded."""

    def __init__(self, engine):
        self.cache = {"user_id": "u-7"}
        self.engine = engine

    def is_extract(self, text):
        return "${{" in str(text)

    def remove_parentheses(self, text):
        return text[3:-2]

    def identify_parentheses(self, key):
        return key.endswith(")") and "(" in key

    def regular(self, key):
        return f"called {key}"

    def get_cache(self, key):
        return self.cache.get(key)

    def set_cache(self, name, value):
        self.cache[name] = value

    def replace_str(self, data, m_0002, error):
        return self.engine(self, data, m_0002, error)

    def add(self, a, b):
        return a + b

    def star(self, *items):
        return items

    def named(self, x, y="y"):
        return {"x": x, "y": y}

    async def fetch(self, page=0):
        await asyncio.sleep(0)
        return ["page", page]


@dataclass
class Field:
    key: str
    value: Any = None
    select: Any = None
    subordinate: str = ""


class FormHost:
    def __init__(self):
        self.form_data = [Field("name"), Field("kind", select=lambda: ["a", "b"])]
        self.saved = []

    def save_callback(self, data):
        self.saved.append(dict(data))
        return "saved"


class Checks:
    def assert_equal(self, actual, expect):
        return ["equal", actual, expect]

    def cell(self, actual, expect):
        return ["cell", actual, expect]


class Text:
    assert_equal = staticmethod(lambda *a: None)


class Excel:
    cell = staticmethod(lambda *a: None)


def outcome(fn, *args, **kwargs):
    try:
        return ["ok", fn(*args, **kwargs)]
    except Exception as e:  # noqa: BLE001 - the exception is the answer
        return ["raised", type(e).__name__, str(e)]


class Log:
    def __init__(self):
        self.lines = []

    def debug(self, text):
        self.lines.append(text)

    info = warning = error = debug


def run(work, remote):
    import tamareltools.tamarels as t
    from tamareltools.exceptions import TamarelToolsError

    T = t.Tamarel
    out = {}
    host = Host(T.replace_str)
    out["placeholders"] = [
        outcome(T.replace_str, host, "id=${{user_id|uid}} ${{now()}} ${{${{user_id}}}}", ("0002", "m"),
                TamarelToolsError),
        outcome(T.replace_str, host, "${{missing}}", ("0002", "m"), TamarelToolsError),
        host.cache.get("uid"),
    ]
    out["calls"] = [outcome(T.regular, host, expression, TamarelToolsError, ("22", "m"), ("23", "m"))
                    for expression in ("add(1, 2)", "star(a, b, c)", "named(x=1, y = 2)", "add(1, 2, 3)",
                                       "named(x)", "named(1=)")]

    nodes = [{"id": n, "config": {"id": i}} for i, n in enumerate("abcde")]
    edges = [{"source": {"node_id": s}, "target": {"node_id": d}} for s, d in ("ab", "ac", "bd", "cd", "de")]
    flow = {"nodes": nodes, "edges": edges}
    out["flows"] = [t.get_execution_order_with_config_ids(flow), t.build_decision_tree(flow),
                    t.find_start_node(nodes, edges), t.find_end_nodes(nodes, edges),
                    {k: v for k, v in t.build_flow_graph(edges).items()}, t.get_node_by_id(nodes, "c"),
                    outcome(t.get_execution_order_with_config_ids, {"nodes": [{}], "edges": []})]

    out["assertions"] = [outcome(t.ass, Checks(), "assert_equal", "a", "a", text=Text, excel=Excel),
                         outcome(t.ass, Checks(), "cell", '{"a": 1}', "[1]", text=Text, excel=Excel),
                         outcome(t.ass, Checks(), 7, 1)]

    form = FormHost()
    filled = T.add_from_data(form)
    edited = T.edit_form_data(form, {"name": "n", "kind": {"id": 3}}, form.form_data, None)
    out["forms"] = [[(f.key, f.value, f.select) for f in filled], [(f.key, f.value, f.select) for f in edited],
                    [(f.key, f.value) for f in form.form_data], outcome(T.post_save_data, form, {"k": 1}),
                    form.saved]

    out["async"] = [outcome(T.v, 1), outcome(T.v, float("nan")), T.s_e(host, "named", {"x": 1}),
                    T.s_e(host, "named", "z"), asyncio.run(T.a_e(host, "fetch", {"page": 2}))]

    log = Log()
    op = t.GitRepoOperator(remote, work, log)
    try:
        info = op.get_repo_info()
        out["git"] = [info["active_branch"], info["commit_hash"], info["is_dirty"], op.pull(),
                      op.get_file_last_commit_time("a.txt") is not None,
                      os.path.exists(os.path.join(work, "tamarel_pytest", "a.txt"))]
    finally:
        op.repo.close()

    # A module name of its own: pytest imports case files by name, once per process.
    cases = os.path.join(work, f"test_{os.path.basename(work)}.py")
    with open(cases, "w", encoding="utf-8") as f:
        f.write(CASES)
    saved = sys.stdout
    sys.stdout = io.StringIO()  # pytest's own report
    try:
        report = t.pytest_test_case(allure=work, log=Log(), test_env="x", test_env_name="TAMAREL_WORKLOAD_ENV",
                                    file_path=cases, quiet=True)
    finally:
        sys.stdout = saved
    out["pytest"] = sorted((r["name"], r["status"], [a["source"] for a in r.get("attachments", [])])
                           for r in report)
    return json.loads(json.dumps(out, default=repr))


def main(work, remote, result_path):
    """Runs the pass and writes its results (or the error) as JSON to `result_path`."""
    try:
        result = {"ok": run(work, remote)}
    except BaseException as e:  # noqa: BLE001 - reported to the test
        import traceback
        result = {"error": "".join(traceback.format_exception(e))}
    with open(result_path, "w", encoding="utf-8") as f:
        json.dump(result, f)


def make_remote(root):
    """A bare repository under `root` with one commit on master; returns its path."""
    from dulwich import porcelain
    from dulwich.repo import Repo

    remote = os.path.join(root, "remote.git")
    Repo.init_bare(remote, mkdir=True).close()
    seed = os.path.join(root, "seed")
    quiet = {"errstream": io.BytesIO(), "outstream": io.BytesIO()}
    with porcelain.clone(remote, seed, checkout=True, **quiet) as repo:
        with open(os.path.join(seed, "a.txt"), "w", encoding="utf-8") as f:
            f.write("one\n")
        porcelain.add(repo, paths=[os.path.join(seed, "a.txt")])
        porcelain.commit(repo, message="first", author=b"T <t@example.org>", committer=b"T <t@example.org>")
        porcelain.push(repo, remote, "refs/heads/master:refs/heads/master", **quiet)
    return remote
