"""GitRepoOperator.push against the git CLI on the same change, timed in alternation.

    PYTHONPATH=tests .venv/bin/python bench/git_push.py [rounds]

A 5,000-file repository (50 folders of 100 files) is cloned twice from two bare
remotes on the local disk: once by the operator, once by `git clone`. Each round
changes the same 120 files in both working copies (100 edited, 20 new), then times
`op.push()` and `git add -A && git commit && git push`, one after the other, so that
both see the same machine load. Printed: each round's two times, and the ratio of the
medians with the spread of the per-round ratios.
"""

import io
import os
import statistics
import subprocess
import sys
import tempfile
import time
from contextlib import redirect_stdout

import dulwich
from dulwich.repo import Repo

import tamareltools.tamarels as tamarels
from helpers import Log

FOLDERS, FILES_PER_FOLDER = 50, 100
EDITED, ADDED = 100, 20


def git(*args, cwd=None):
    subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True)


def seed_remote(root):
    """A bare remote holding the 5,000 files in one commit."""
    seed = os.path.join(root, "seed")
    os.makedirs(seed)
    git("init", "-q", "--initial-branch=master", seed)
    for d in range(FOLDERS):
        folder = os.path.join(seed, f"dir{d:02}")
        os.makedirs(folder)
        for f in range(FILES_PER_FOLDER):
            with open(os.path.join(folder, f"case_{f:03}.py"), "w") as out:
                out.write(f"# case {d}-{f}\ndef test_{d}_{f}():\n    assert {d} + {f} == {d + f}\n")
    git("add", "-A", cwd=seed)
    git("commit", "-q", "-m", "seed", cwd=seed)
    remotes = []
    for name in ("op.git", "cli.git"):
        bare = os.path.join(root, name)
        git("clone", "-q", "--bare", seed, bare)
        remotes.append(bare)
    return remotes


def change(folder, round_no):
    """The round's 120 changed files: 100 edits spread over the tree, 20 new files."""
    for i in range(EDITED):
        d, f = i % FOLDERS, (i * 7) % FILES_PER_FOLDER
        with open(os.path.join(folder, f"dir{d:02}", f"case_{f:03}.py"), "a") as out:
            out.write(f"# round {round_no}\n")
    for i in range(ADDED):
        with open(os.path.join(folder, f"dir{i:02}", f"new_{round_no}_{i}.py"), "w") as out:
            out.write(f"# added in round {round_no}\n")


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    with tempfile.TemporaryDirectory() as root:
        os.environ["GIT_CONFIG_GLOBAL"] = os.path.join(root, "gitconfig")
        os.environ["GIT_CONFIG_NOSYSTEM"] = "1"
        with open(os.environ["GIT_CONFIG_GLOBAL"], "w") as config:
            config.write("[user]\n\tname = Bench\n\temail = bench@example.org\n")
        op_remote, cli_remote = seed_remote(root)
        op = tamarels.GitRepoOperator(op_remote, os.path.join(root, "op"), Log())
        cli = os.path.join(root, "cli")
        git("clone", "-q", cli_remote, cli)
        op_times, cli_times = [], []
        print(f"dulwich {'.'.join(map(str, dulwich.__version__))}, {FOLDERS * FILES_PER_FOLDER} files, "
              f"{EDITED + ADDED} changed per push")
        for n in range(rounds):
            change(op.local_dir, n)
            change(cli, n)
            start = time.perf_counter()
            with redirect_stdout(io.StringIO()):  # push prints one line per file
                op.push(message=f"round {n}")
            op_times.append(time.perf_counter() - start)
            start = time.perf_counter()
            subprocess.run(f"git add -A && git commit -q -m 'round {n}' && git push -q origin master",
                           shell=True, cwd=cli, check=True, capture_output=True)
            cli_times.append(time.perf_counter() - start)
            print(f"round {n}: push {op_times[-1] * 1000:7.1f} ms   git {cli_times[-1] * 1000:7.1f} ms")
        with Repo(op_remote) as r, Repo(cli_remote) as c:
            assert r[r.head()].tree == c[c.head()].tree, "the two remotes differ"
        op.close()
        # The first round warms caches for both; it is left out of the figures.
        ratios = [a / b for a, b in zip(op_times[1:], cli_times[1:])]
        print(f"push / git: {statistics.median(op_times[1:]) / statistics.median(cli_times[1:]):.2f}x "
              f"(median; per round {min(ratios):.2f}-{max(ratios):.2f}x over {len(ratios)} rounds)")


if __name__ == "__main__":
    main()
