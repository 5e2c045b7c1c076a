"""A short tour of tamareltools.tamarels: what it offers and how it is called."""

import inspect
import os
import tempfile

import tamareltools.tamarels as tamarels
from tamareltools.exceptions import TamarelToolsError


class TestData:
    """The platform's test-data host: a cache plus the small text tests."""

    def __init__(self):
        self.cache = {"user": "alice", "env": "staging", "host_staging": "10.0.0.7"}

    def is_extract(self, text):
        return "${{" in text

    def remove_parentheses(self, text):
        return text[3:-2]

    def identify_parentheses(self, key):
        return key.endswith(")") and "(" in key

    def regular(self, key):
        return {"now()": "2026-12-08"}[key]

    def get_cache(self, key):
        return self.cache.get(key)

    def set_cache(self, name, value):
        self.cache[name] = value

    def replace_str(self, data, m_0002, error):
        return tamarels.Tamarel.replace_str(self, data, m_0002, error)

    def greet(self, name):
        return f"hello, {name}"


def main():
    print("tamareltools.tamarels exports:", ", ".join(tamarels.__all__))
    print()
    host = TestData()
    entry = ("0002", "缺少测试数据: {}")
    template = "  login ${{user|last_user}} on ${{host_${{env}}}} at ${{now()}}  "
    print("template:", repr(template))
    print("expanded:", repr(tamarels.Tamarel.replace_str(host, template, entry, TamarelToolsError)))
    print("cached under 'last_user':", host.cache["last_user"])
    try:
        tamarels.Tamarel.replace_str(host, "${{password}}", entry, TamarelToolsError)
    except TamarelToolsError as e:
        print("missing key ->", e)
    print()
    print("call a host method by name:", tamarels.Tamarel.s_e(host, "greet", {"name": "bob"}))
    print("functions look like Python ones:",
          f"{tamarels.Tamarel.replace_str.__qualname__}{inspect.signature(tamarels.Tamarel.replace_str)}")
    try:
        tamarels.Tamarel.replace_str(host, data="x")
    except TypeError as e:
        print("with Python's argument errors:", e)

    print()
    working_copy()


class PrintLog:
    """Any object with debug/info/warning/error(text) is a logger for the operator."""

    def debug(self, text):
        print("  [debug]", text)

    def info(self, text):
        print("  [info]", text)

    def warning(self, text):
        print("  [warning]", text)

    def error(self, text):
        print("  [error]", text)


def working_copy():
    from dulwich import porcelain
    from dulwich.repo import Repo

    with tempfile.TemporaryDirectory() as root:
        remote = os.path.join(root, "tests.git")
        Repo.init_bare(remote, mkdir=True).close()
        print("GitRepoOperator on a fresh remote:")
        op = tamarels.GitRepoOperator(remote, root, PrintLog(), warehouse_name="cases")
        with open(os.path.join(op.local_dir, "test_login.py"), "w") as f:
            f.write("def test_login():\n    assert True\n")
        porcelain.add(op.repo, paths=[os.path.join(op.local_dir, "test_login.py")])
        op.push(message="first case")
        print("  info:", op.get_repo_info())
        print("  last commit of test_login.py:", op.get_file_last_commit_time("test_login.py"))
        print("  pull:", op.pull())
        op.repo.close()


if __name__ == "__main__":
    main()
