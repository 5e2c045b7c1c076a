"""The template engine on two cores of one process: the same work (Tamarel.replace_str
over a text of 200 placeholders, ROUNDS times per worker) done by two interpreters with
GILs of their own on two threads at once, against one interpreter doing both workers'
share in turn. The ratio is one interpreter's time over the two interpreters' time:
2.0 when the two run fully in parallel, 1.0 when they do not at all. Best of five,
the two set-ups interleaved. The same is measured for a plain Python loop, what the
machine allows at that moment: on a shared machine the two can only be read together.

    make bench            (or: .venv/bin/python bench/interpreters.py)
"""

import os
import queue
import sys
import threading
import time

try:
    import _interpreters
except ImportError:
    sys.exit("this interpreter has no _interpreters module")

ROUNDS = 400

SETUP = """
import tamareltools.tamarels as tamarels

class Host:
    def __init__(self, cache):
        self.cache = cache
    def is_extract(self, text):
        return "${{" in str(text)
    def remove_parentheses(self, text):
        return text[3:-2]
    def identify_parentheses(self, key):
        return False
    def get_cache(self, key):
        return self.cache.get(key)
    def set_cache(self, name, value):
        self.cache[name] = value

host = Host({f"k{i}": i for i in range(200)})
text = " ".join(f"v{i}=${{{{k{i}}}}}" for i in range(200))
engine = tamarels.Tamarel.replace_str
def work(rounds):
    for _ in range(rounds):
        engine(host, text, ("0002", "missing"), KeyError)
work(10)
"""

CONTROL = """
def work(rounds):
    total = 0
    for i in range(rounds * 7500):
        total += i
"""


class Worker(threading.Thread):
    """An own-GIL interpreter living on one thread. It is never destroyed, and the
    process ends with os._exit: CPython 3.13.0's _datetime corrupts memory when
    interpreters that imported it are finalised after running at once."""

    def __init__(self, setup):
        super().__init__(daemon=True)
        self.setup = setup
        self.jobs, self.done = queue.Queue(), queue.Queue()
        self.start()

    def run(self):
        interp = _interpreters.create("isolated")
        failure = _interpreters.run_string(interp, self.setup)
        self.done.put(failure and failure.formatted)
        while (job := self.jobs.get()) is not None:
            start, source = job
            start.wait()
            failure = _interpreters.run_string(interp, source)
            self.done.put(failure and failure.formatted)

    def ready(self):
        failure = self.done.get()
        if failure:
            sys.exit(failure)


def timed(workers, source):
    """Seconds until every worker ran `source`, all started at once."""
    start = threading.Barrier(len(workers) + 1)
    for w in workers:
        w.jobs.put((start, source))
    start.wait()
    began = time.perf_counter()
    for w in workers:
        w.ready()
    return time.perf_counter() - began


def ratio(setup):
    """One interpreter's best time over two interpreters' best time for `setup`'s work()."""
    two, one = [Worker(setup), Worker(setup)], [Worker(setup)]
    try:
        for w in two + one:
            w.ready()
        best_two = best_one = float("inf")
        for _ in range(5):
            best_two = min(best_two, timed(two, f"work({ROUNDS})"))
            best_one = min(best_one, timed(one, f"work({2 * ROUNDS})"))
    finally:
        for w in two + one:
            w.jobs.put(None)
            w.join()
    return best_one, best_two


def main():
    print(f"{2 * ROUNDS} rounds: two own-GIL interpreters on two threads against one interpreter")
    for name, setup in (("template engine (replace_str, 200 placeholders)", SETUP),
                        ("plain Python loop (what the machine allows)", CONTROL)):
        one, two = ratio(setup)
        print(f"{name:50} one {one:7.3f} s  two {two:7.3f} s  ratio {one / two:5.2f}x", flush=True)


if __name__ == "__main__":
    main()
    os._exit(0)
