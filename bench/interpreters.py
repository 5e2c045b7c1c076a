"""The template engine on two cores of one process: the same work (Tamarel.replace_str
over a text of 200 placeholders, ROUNDS times per worker) done by two interpreters with
GILs of their own on two threads at once, against one interpreter doing both workers'
share in turn. The ratio is one interpreter's time over the two interpreters' time:
2.0 when the two run fully in parallel, 1.0 when they do not at all. Best of five,
the two set-ups interleaved.

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


class Worker(threading.Thread):
    """An own-GIL interpreter living on one thread. It is never destroyed, and the
    process ends with os._exit: CPython 3.13.0's _datetime corrupts memory when
    interpreters that imported it are finalised after running at once."""

    def __init__(self):
        super().__init__(daemon=True)
        self.jobs, self.done = queue.Queue(), queue.Queue()
        self.start()

    def run(self):
        interp = _interpreters.create("isolated")
        failure = _interpreters.run_string(interp, SETUP)
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


def main():
    two, one = [Worker(), Worker()], [Worker()]
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
    print(f"Template engine (replace_str, 200 placeholders), {2 * ROUNDS} calls: "
          "two own-GIL interpreters on two threads against one interpreter")
    print(f"one interpreter   {best_one:8.3f} s")
    print(f"two interpreters  {best_two:8.3f} s")
    print(f"ratio             {best_one / best_two:8.2f}x", flush=True)


if __name__ == "__main__":
    main()
    os._exit(0)
