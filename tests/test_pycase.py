"""Pytest runs with allure results, end to end, and reading results back."""

import base64
import json
import os

import pytest

import tamareltools.tamarels as tamarels
from helpers import Log, run_python
from leakcheck import assert_no_leaks

MISSING = "用例执行失败，这一项没有生成内容，所以没有结果"
PNG = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x00\x01\x00\x00\x00\x01\x08\x02\x00\x00\x00\x90wS\xde"

CASES = '''
import os
import allure
import pytest

PNG = {png!r}

def test_passes():
    allure.attach("line one\\r\\nline two", name="log", attachment_type=allure.attachment_type.TEXT)

def test_fails():
    assert 1 == 2

@pytest.fixture
def broken():
    raise RuntimeError("fixture")

def test_errors(broken):
    pass

@pytest.mark.skip(reason="not today")
def test_skipped():
    pass

@pytest.mark.parametrize("n", [1, 2])
def test_param(n):
    assert n

def test_screenshot():
    allure.attach(PNG, name="screen", attachment_type=allure.attachment_type.PNG)

def test_environment():
    assert os.environ["TAMAREL_ENV"] == "staging"
'''


@pytest.fixture
def case_file(tmp_path, monkeypatch):
    work = tmp_path / "work"
    work.mkdir()
    (work / "sample_cases.py").write_text(CASES.format(png=PNG), encoding="utf-8")
    monkeypatch.chdir(work)
    monkeypatch.delenv("TAMAREL_ENV", raising=False)
    return work


def run_cases(base, log, **flags):
    return tamarels.pytest_test_case(allure=str(base), log=log, test_env="staging",
                                     test_env_name="TAMAREL_ENV", file_path="sample_cases.py",
                                     **flags)


def test_real_run(case_file, tmp_path):
    base = tmp_path / "results"
    log = Log()
    records = run_cases(base, log, quiet=True)
    by_name = {r["name"]: r for r in records}
    assert {name: r["status"] for name, r in by_name.items()} == {
        "test_passes": "passed", "test_fails": "failed", "test_errors": "broken",
        "test_skipped": "skipped", "test_param[1]": "passed", "test_param[2]": "passed",
        "test_screenshot": "passed", "test_environment": "passed"}
    assert by_name["test_passes"]["attachments"][0]["source"] == "line one\nline two"
    png = by_name["test_screenshot"]["attachments"][0]["source"]
    assert base64.b64decode(png) == PNG
    json.dumps(records)
    assert os.environ["TAMAREL_ENV"] == "staging"
    assert os.listdir(base) == []  # the results directory is gone, the base stays

    results_dir = log.texts()[0].removeprefix("生成的用例存储目录：")
    assert os.path.dirname(results_dir) == str(base)
    name = os.path.basename(results_dir)
    assert name.startswith("allure-results-") and len(name) == len("allure-results-") + 36
    assert log.texts()[1] == "启动 pytest 参数：{}".format(
        [str(case_file / "sample_cases.py"), "--alluredir", results_dir, "-q"])
    assert log.texts()[2] == "文件<sample_cases.py>执行输出:1"


def test_flags_order_and_fresh_directories(case_file, tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(tamarels, "read_allure_json_results", lambda d: seen.append(d) or [])
    monkeypatch.setattr(tamarels, "delete_allure_results", lambda d: seen.append(("del", d)))
    log = Log()
    run_cases(tmp_path, log, quiet=1, verbose=True, show_output="yes")
    run_cases(tmp_path, log)
    args = [line for line in log.texts() if line.startswith("启动")]
    assert args[0].endswith(f"{seen[0]!r}, '-q', '-v', '-s']")
    assert args[1].endswith(f"'--alluredir', {seen[2]!r}]")  # no flags
    assert seen[0] != seen[2] and seen[1] == ("del", seen[0])


def test_missing_environment_name_leaves_the_directory(case_file, tmp_path):
    with pytest.raises(TypeError):
        tamarels.pytest_test_case(allure=str(tmp_path), log=Log(), file_path="sample_cases.py")
    assert [p.name[:15] for p in tmp_path.iterdir() if p.name != "work"] == ["allure-results-"]


def test_keywords_only():
    with pytest.raises(TypeError, match=r"pytest_test_case\(\) takes 0 positional arguments but 1 was given"):
        tamarels.pytest_test_case({})


# ---- reading and removing results ---------------------------------------------------

def write_results(directory, records, files):
    directory.mkdir(exist_ok=True)
    for name, record in records.items():
        (directory / name).write_text(json.dumps(record), encoding="utf-8")
    for name, data in files.items():
        (directory / name).write_bytes(data)


def test_reading_results(tmp_path):
    secret = tmp_path / "secret.txt"
    secret.write_text("password")
    results = tmp_path / "r"
    write_results(results, {
        "a-result.json": {"name": "a", "attachments": [
            {"source": "a.txt"}, {"source": "gone.txt"}, {"source": "../secret.txt"},
            {"source": str(secret)}, {"source": "shot.png"}]},
        "b-result.json": {"name": "b", "steps": [{"attachments": [{"source": "a.txt"}]}]},
        "c-container.json": {"name": "container"},
    }, {"a.txt": "中文\r\nend".encode(), "shot.png": PNG})
    records = sorted(tamarels.read_allure_json_results(results), key=lambda r: r["name"])
    assert [r["name"] for r in records] == ["a", "b"]
    sources = [a["source"] for a in records[0]["attachments"]]
    assert sources == ["中文\nend", MISSING, MISSING, MISSING, base64.b64encode(PNG).decode()]
    assert records[1]["steps"][0]["attachments"][0]["source"] == "a.txt"
    assert tamarels.read_allure_json_results(tmp_path / "nowhere") == []


@pytest.mark.parametrize("record,files,error", [
    ({"attachments": [{}]}, {}, TypeError),
    ({"attachments": 5}, {}, TypeError),
])
def test_reading_errors_propagate(tmp_path, record, files, error):
    write_results(tmp_path, {"x-result.json": record}, files)
    with pytest.raises(error):
        tamarels.read_allure_json_results(str(tmp_path))


def test_invalid_result_file_propagates(tmp_path):
    (tmp_path / "x-result.json").write_bytes(b"\xff{")
    with pytest.raises(UnicodeDecodeError):
        tamarels.read_allure_json_results(tmp_path)


def test_delete_twice(tmp_path):
    target = tmp_path / "allure-results-x"
    write_results(target, {"a-result.json": {}}, {})
    assert tamarels.delete_allure_results(target) is None
    assert not target.exists()
    tamarels.delete_allure_results(target)


def test_no_leaks(tmp_path):
    write_results(tmp_path, {"a-result.json": {"attachments": [{"source": "a.txt"}, {"source": "b"}]}},
                  {"a.txt": b"text"})
    assert_no_leaks(tamarels.read_allure_json_results, str(tmp_path), repeat=300, allowed_bytes=200_000)
    assert_no_leaks(tamarels.delete_allure_results, str(tmp_path / "none"), repeat=300)


def test_imports_without_pytest():
    code = """
        import sys
        sys.modules["pytest"] = None
        import tamareltools.tamarels as t
        try:
            t.pytest_test_case(allure=".", log=None)
        except ImportError as e:
            print("ImportError")
    """
    result = run_python(code, timeout=60)
    assert result.stdout.strip() == "ImportError", result.stderr
