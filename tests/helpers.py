"""What several test files (and the benchmarks) share: a recording logger, a test-data
host, a Python subprocess and the outcome of a call."""

import subprocess
import sys
import textwrap

import tamareltools.tamarels as tamarels


class Log:
    """A logger with the four levels, recording (level, text) pairs."""

    def __init__(self):
        self.lines = []

    def debug(self, text):
        self.lines.append(("debug", text))

    def info(self, text):
        self.lines.append(("info", text))

    def warning(self, text):
        self.lines.append(("warning", text))

    def error(self, text):
        self.lines.append(("error", text))

    def texts(self, level=None):
        return [t for lv, t in self.lines if level in (None, lv)]


class TemplateHost:
    """A test-data host as the platform writes it: a cache, call expressions answered
    from `calls`, and replace_str forwarded to `engine` (the native one unless another
    is given). With `record`, `log` lists the lookups and stores in order."""

    def __init__(self, cache=None, calls=None, engine=None, record=True):
        self.cache = dict(cache or {})
        self.calls = calls or {}
        self.engine = engine or tamarels.Tamarel.replace_str
        self.log = [] if record else None

    def note(self, *entry):
        if self.log is not None:
            self.log.append(entry)

    def is_extract(self, text):
        return "${{" in str(text)

    def remove_parentheses(self, text):
        return text[3:-2]

    def identify_parentheses(self, key):
        return isinstance(key, str) and key.endswith(")") and "(" in key

    def regular(self, key):
        self.note("regular", key)
        return self.calls[key]

    def get_cache(self, key):
        self.note("get_cache", key)
        return self.cache.get(key)

    def set_cache(self, name, value):
        self.note("set_cache", name, value)
        self.cache[name] = value

    def replace_str(self, data, m_0002, error):
        return self.engine(self, data, m_0002, error)


def run_python(code, env=None, timeout=120):
    """`code` (dedented) run by this interpreter in a process of its own."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)


def outcome(fn, *args, **kwargs):
    """What a call gives: ("ok", result), or ("raised", type name, text)."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as e:  # noqa: BLE001 - the exception is the answer
        return ("raised", type(e).__name__, str(e))


def operator_maker(tmp_path, **defaults):
    """A fixture body: make(url, **kwargs) gives GitRepoOperator(url, tmp_path / "work",
    log, **defaults, **kwargs); each one made is closed afterwards."""
    made = []

    def make(url, **kwargs):
        log = kwargs.pop("log", Log())
        op = tamarels.GitRepoOperator(url, str(tmp_path / "work"), log, **{**defaults, **kwargs})
        made.append(op)
        return op

    yield make
    for op in made:
        op.close()
