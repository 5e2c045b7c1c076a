"""Benchmarks: each case times the native function and the plain-Python reference
doing the same work, in this one process, and prints the ratio.

    make bench            (or: .venv/bin/python bench/run.py [name-filter])
"""

import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(__file__))

import reference  # noqa: E402
import tamareltools.tamarels as tamarels  # noqa: E402

CASES = []


def case(name, target):
    def register(make):
        CASES.append((name, target, make))
        return make
    return register


class TemplateHost:
    """A test-data host with the methods the platform's host has."""

    def __init__(self, engine, cache):
        self.engine = engine
        self.cache = cache

    def is_extract(self, text):
        return "${{" in text

    def remove_parentheses(self, text):
        return text[3:-2]

    def identify_parentheses(self, key):
        return key.endswith(")")

    def regular(self, key):
        return key

    def get_cache(self, key):
        return self.cache.get(key)

    def set_cache(self, name, value):
        self.cache[name] = value

    def replace_str(self, data, m_0002, error):
        return self.engine(self, data, m_0002, error)


@case("replace_str, 200 placeholders", 1.5)
def bench_replace_str():
    cache = {f"k{i}": i for i in range(200)}
    text = " ".join(f"v{i}=${{{{k{i}}}}}" for i in range(200))
    native = TemplateHost(tamarels.Tamarel.replace_str, cache)
    plain = TemplateHost(reference.replace_str, cache)
    entry = ("0002", "missing")
    assert tamarels.Tamarel.replace_str(native, text, entry, KeyError) == \
        reference.replace_str(plain, text, entry, KeyError)
    stmt = "f(host, text, entry, KeyError)"
    return (stmt, dict(f=tamarels.Tamarel.replace_str, host=native, text=text, entry=entry),
            dict(f=reference.replace_str, host=plain, text=text, entry=entry))


@case("call with defaults: Tamarel.v(1)", 2.0)
def bench_call_overhead():
    return "f(1)", dict(f=tamarels.Tamarel.v), dict(f=reference.v)


def best_times(stmt, native, plain, repeat=15):
    """Best time per execution of `stmt` with each namespace, less the cost of the
    timing loop. The two are timed in alternation, so that drift on a shared
    machine affects both alike."""
    timers = [timeit.Timer(stmt, globals=ns) for ns in (native, plain)]
    number = max(max(t.autorange()[0] for t in timers), 10)
    empty = timeit.Timer("pass")
    best = [float("inf")] * 3
    for _ in range(repeat):
        for i, timer in enumerate(timers + [empty]):
            best[i] = min(best[i], timer.timeit(number) / number)
    return best[0] - best[2], best[1] - best[2]


def main(argv):
    pattern = argv[1] if len(argv) > 1 else ""
    print(f"Python {sys.version.split()[0]}; time per call, best of 15, timing loop subtracted")
    print(f"{'case':45} {'python':>11} {'native':>11} {'ratio':>7} {'target':>7}")
    failed = False
    for name, target, make in CASES:
        if pattern not in name:
            continue
        stmt, native, plain = make()
        t_native, t_plain = best_times(stmt, native, plain)
        ratio = t_plain / t_native
        mark = "" if ratio >= target else "  below target"
        failed |= ratio < target
        print(f"{name:45} {t_plain * 1e6:9.3f}us {t_native * 1e6:9.3f}us {ratio:6.2f}x "
              f"{target:6.2f}x{mark}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
