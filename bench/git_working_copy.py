"""GitRepoOperator beside the git CLI, both against git's own server, timed in alternation.

    PYTHONPATH=tests .venv/bin/python bench/git_working_copy.py [--files 5000,50000] [...]
    make bench                                  (5,000 files and the 200 MB file)
    make bench GIT_BENCH="--files 5000,50000"   (adds the 50,000-file repository)

The server is the git tests' one (tests/git_server.py): `git http-backend` behind nginx
and fcgiwrap, TLS and basic auth. Every side (the git CLI, and the operator on each
dulwich release: the environment's own and the trees named by --oldest) gets its own
bare repository on it, copied from one seed, and its own working copy.

Per repository size (files spread over --folders directories), in this order:

  clone     GitRepoOperator(url, root, log, username=, password=)  |  git clone
  status    op.get_repo_info()                                     |  git status --porcelain
  pull      op.pull() with nothing new on the server               |  git pull
  push      op.push() of N edited (and some new) files             |  git add -A && git commit && git push
  pull-new  op.pull() of another client's commit of N edited files |  git pull

and, for one file of --big-mb megabytes of incompressible data:

  memory    peak memory of a pull that brings the file and of a push that sends one

Each round runs every side once, the order rotating from round to round, so that all
see the same load; the first round is left out as the warm-up. Reported: the median of
each side, the ratio of the operator's median to git's, and the spread of the per-round
ratios. The operator runs in a worker process per dulwich release that stays up for
the whole run: its time is the call (or the construction) inside that running process,
as the platform experiences it, without interpreter start-up or imports. The git side
is timed from starting the command to its end, its own helpers (git-remote-https,
index-pack, ...) included, as a user of the git CLI experiences it.

Memory: each side runs in a child process of its own (the operator's: a fresh
interpreter that imports the module, constructs the operator on its existing clone and
pulls or pushes; git's: `git pull`, or the three commands under one `sh -c`). Reported
are the largest single process's peak (ru_maxrss from os.wait4: the child and every
helper it waited for, at least the launcher's 7 MB) and the peak of the whole process
tree's resident memory summed, sampled every 10 ms; and, for the operator, a fresh
interpreter that only imports the module and constructs the operator (its floor).

Each step starts after `sync`, so that no side pays for writing out what the one before
it wrote. Beside wall time, the client's CPU time (user + system) is reported: the
operator's process, or the git commands with every helper they waited for; the
server's processes count for neither. On a loaded machine the wall time of git's
pipeline of processes stretches more than one Python process's, so the CPU ratio is
the steadier of the two.

Options: --phases picks phases, --rounds their count; --remote http (plain HTTP) or
local (a bare repository on the local disk, addressed by its path) changes the
transport, and several (--remote local,http,https) run side by side, each operator
against git over the same; --fresh-process adds, per dulwich release, the operator
timed in an interpreter of its own for every call (start-up, imports and construction
included); --cpus pins everything (servers included) to that many cores; --profile DIR
writes each operator call's cProfile statistics (the last round) there.
"""

import argparse
import glob
import hashlib
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import threading
import time
import traceback
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

USER, PASSWORD = "bench", "b3nch:p@ss"
BRANCH = "master"
PHASES = ("clone", "status", "pull", "push", "pull-new", "memory")
EPOCH = 1_700_000_000  # commit times of the generated history
PAGE = os.sysconf("SC_PAGE_SIZE")


# ---- the operator's side: a worker process per dulwich release ---------------------------

def worker():
    """Answers one JSON command per line on stdin: "clone" constructs a new operator
    (closing the previous one first), any other name calls that method of it. Replies
    {"seconds", "cpu", "result", "errors"} or {"error": traceback}; "cpu" is the
    process's user + system time."""
    import cProfile
    import gc

    import dulwich

    import tamareltools.tamarels as tamarels
    from helpers import Log

    replies = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    sys.stdout = open(os.devnull, "w")  # push prints one line per file
    replies.write(json.dumps({"dulwich": ".".join(map(str, dulwich.__version__))}) + "\n")
    op, log = None, Log()
    for line in sys.stdin:
        command = json.loads(line)
        try:
            action = command.pop("do")
            profile_to = command.pop("profile", None)
            if action in ("clone", "close") and op is not None:
                op.close()
                op = None
            if action == "close":
                replies.write("{}\n")
                continue
            log.lines.clear()
            gc.collect()
            profiler = cProfile.Profile() if profile_to else None
            if profiler:
                profiler.enable()
            start, cpu = time.perf_counter(), time.process_time()
            if action == "clone":
                op = tamarels.GitRepoOperator(command["url"], command["root"], log, username=command["username"],
                                              password=command["password"])
                result = op.local_dir
            else:
                result = getattr(op, action)(**command)
            seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
            if profiler:
                profiler.disable()
                profiler.dump_stats(profile_to)
            reply = {"seconds": seconds, "cpu": cpu, "result": result, "errors": log.texts("error")}
        except Exception:
            reply = {"error": traceback.format_exc()}
        replies.write(json.dumps(reply, default=str) + "\n")


def child_operation(action, url, root, username, password):
    """One operation in a fresh interpreter: "construct" (a clone where there is none),
    "status", "pull" or "push"; for peak memory, and for --fresh-process."""
    import tamareltools.tamarels as tamarels
    from helpers import Log

    sys.stdout = open(os.devnull, "w")
    log = Log()
    with tamarels.GitRepoOperator(url, root, log, username=username, password=password) as op:
        if action == "status":
            op.get_repo_info()
        elif action == "pull" and op.pull() is not True:
            raise SystemExit(f"pull failed: {log.texts('error')}")
        elif action == "push":
            op.push(message="bench: a push of its own process")


class Operator:
    """The operator on one dulwich release (the environment's own, or the tree at
    `dulwich_path`) over one transport, measured against `reference`, the git CLI over
    the same. `fresh`: every call in an interpreter of its own, timed from its start."""

    def __init__(self, dulwich_path, logs, transport, reference, fresh=False, tagged=False):
        self.pythonpath = os.pathsep.join(filter(None, [dulwich_path, os.environ.get("PYTHONPATH")]))
        env = dict(os.environ, PYTHONPATH=self.pythonpath)
        self.stderr = open(logs / f"worker-{len(list(logs.glob('worker-*')))}.log", "w")
        self.process = subprocess.Popen([sys.executable, __file__, "--worker"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self.stderr, env=env, text=True)
        self.version = self._reply()["dulwich"]
        self.transport, self.reference, self.fresh = transport, reference, fresh
        self.label = (f"dulwich {self.version}" + (f" ({transport})" if tagged else "")
                      + (", fresh process" if fresh else ""))
        self.slug = f"dulwich-{self.version}" + (f"-{transport}" if tagged else "") + ("-fresh" if fresh else "")
        self.worktree = None
        self.profile_dir = None

    def _reply(self):
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"the {getattr(self, 'label', 'operator')} worker ended; see {self.stderr.name}")
        reply = json.loads(line)
        if "error" in reply:
            raise RuntimeError(f"{self.label}: {reply['error']}")
        if reply.get("errors"):
            raise RuntimeError(f"{self.label} logged errors: {reply['errors']}")
        return reply

    def _do(self, action, phase=None, **command):
        if self.profile_dir and phase:
            command["profile"] = str(self.profile_dir / f"{phase}-{self.slug}.prof")
        self.process.stdin.write(json.dumps(dict(command, do=action)) + "\n")
        self.process.stdin.flush()
        return self._reply()

    def _child(self, action, remote, root):
        url, username, password = remote.for_operator
        return [sys.executable, __file__, "--child", action, url, str(root), json.dumps(username),
                json.dumps(password)]

    def _fresh(self, action):
        """--fresh-process: the call in an interpreter of its own, timed from its start."""
        env = dict(os.environ, PYTHONPATH=self.pythonpath)
        return timed(self._child(action, self.remote, self.root), env=env)[0]

    def clone(self, remote, folder, phase=None):
        self.remote, self.root = remote, folder
        if self.fresh:
            measured = self._fresh("construct")
            self.worktree = str(folder / "tamarel_pytest")
            return measured
        url, username, password = remote.for_operator
        reply = self._do("clone", phase, url=url, root=str(folder), username=username, password=password)
        self.worktree = reply["result"]
        return reply["seconds"], reply["cpu"]

    def status(self, phase=None):
        if self.fresh:
            return self._fresh("status")
        reply = self._do("get_repo_info", phase)
        assert reply["result"]["is_dirty"] is False, reply
        return reply["seconds"], reply["cpu"]

    def pull(self, phase=None):
        if self.fresh:
            return self._fresh("pull")
        reply = self._do("pull", phase)
        assert reply["result"] is True, reply
        return reply["seconds"], reply["cpu"]

    def push(self, message, phase=None):
        if self.fresh:
            return self._fresh("push")
        reply = self._do("push", phase, message=message)
        return reply["seconds"], reply["cpu"]

    def close(self):
        self._do("close")

    def stop(self):
        self.process.stdin.close()
        self.process.wait()
        self.stderr.close()

    def memory(self, action, remote, root):
        env = dict(os.environ, PYTHONPATH=self.pythonpath)
        return peak_memory(self._child(action, remote, root), env=env)


# ---- the git CLI's side -----------------------------------------------------------------

def run(argv, cwd=None, input=None, env=None):
    result = subprocess.run(argv, cwd=cwd, input=input, stdin=None if input else subprocess.DEVNULL,
                            capture_output=True, env=env)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, argv))} failed ({result.returncode}):\n"
                           f"{result.stderr.decode(errors='replace')}")
    return result.stdout


def git(*args, cwd=None, input=None):
    return run(["git", *args], cwd=cwd, input=input)


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(*commands, cwd=None, env=None):
    """Runs the commands one after the other: ((wall, CPU) seconds, their outputs). The
    CPU time is that of the commands and every helper they waited for (not the
    server's)."""
    start, cpu = time.perf_counter(), children_cpu()
    outputs = [run(command, cwd=cwd, env=env) for command in commands]
    return (time.perf_counter() - start, children_cpu() - cpu), outputs


class GitCLI:
    def __init__(self, transport, tagged=False):
        self.transport = transport
        self.reference = self
        self.label = "git" + (f" ({transport})" if tagged else "")
        self.slug = "git" + (f"-{transport}" if tagged else "")
        self.worktree = None

    def clone(self, remote, folder, phase=None):
        folder.mkdir(parents=True)
        self.worktree = str(folder / "work")
        return timed(["git", "clone", "-q", remote.for_git, self.worktree])[0]

    def status(self, phase=None):
        measured, (out,) = timed(["git", "status", "--porcelain"], cwd=self.worktree)
        assert out == b"", out
        return measured

    def pull(self, phase=None):
        return timed(["git", "pull", "-q"], cwd=self.worktree)[0]

    def push(self, message, phase=None):
        return timed(["git", "add", "-A"], ["git", "commit", "-q", "-m", message],
                     ["git", "push", "-q", "origin", BRANCH], cwd=self.worktree)[0]

    def close(self):
        pass

    def stop(self):
        pass

    def memory(self, action, remote, root):
        commands = {"pull": "git pull -q",
                    "push": f"git add -A && git commit -q -m 'bench: the big file' && git push -q origin {BRANCH}"}
        return peak_memory(["sh", "-c", commands[action]], cwd=root / "work")


# ---- peak memory --------------------------------------------------------------------------

def session_rss(sid):
    """The resident memory of every process in session `sid` but its leader (the
    launcher below), summed."""
    total = 0
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit() or int(entry.name) == sid:
            continue
        try:
            with open(f"/proc/{entry.name}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(b")") + 2:].split()  # from field 3 (state) on
        if int(fields[3]) == sid:
            total += int(fields[21]) * PAGE
    return total


# A process's ru_maxrss starts from the resident size of the process it was forked from
# (exec records the old image's peak), so the measured command is forked by this small
# interpreter, not by the benchmark's own large one: a floor of about 7 MB.
LAUNCHER = """\
import os, sys
pid = os.fork()
if pid == 0:
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    os.execvp(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
print(usage.ru_maxrss * 1024, os.waitstatus_to_exitcode(status))
"""


def peak_memory(argv, cwd=None, env=None):
    """Runs argv in a session of its own; returns (largest process, whole tree) peaks in
    bytes: ru_maxrss of it and the helpers it waited for, and the sampled sum."""
    process = subprocess.Popen([sys.executable, "-I", "-S", "-c", LAUNCHER, *argv], cwd=cwd, env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True)
    peak, done = [0], threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], session_rss(process.pid))
            done.wait(0.01)

    sampler = threading.Thread(target=sample)
    sampler.start()
    out, errors = process.communicate()
    done.set()
    sampler.join()
    maxrss, code = map(int, out.split()) if out else (0, process.returncode)
    if process.returncode != 0 or code != 0:
        raise RuntimeError(f"{argv} failed ({code}):\n{errors.decode(errors='replace')}")
    return maxrss, peak[0]


# ---- repositories -----------------------------------------------------------------------

def case_text(d, f, tag=""):
    """A generated test case of a few hundred bytes; `tag` marks a later version."""
    text = (f'"""Case {d}-{f} of the generated suite."""\n'
            f"import pytest\n\n\n"
            f"@pytest.mark.parametrize('value', [{d}, {f}, {d * f}, {d + f}])\n"
            f"def test_case_{d}_{f}(value):\n"
            f"    data = {{'folder': {d}, 'file': {f}, 'value': value}}\n"
            f"    assert data['value'] + {d * 31 + f} == {d * 31 + f} + value\n"
            f"    assert sorted(data) == ['file', 'folder', 'value']\n")
    return (text + (f"# {tag}\n" if tag else "")).encode()


def case_path(d, f):
    return f"dir{d:03}/case_{f:04}.py"


def data(blob):
    return [b"data %d\n" % len(blob), blob, b"\n"]


def commit_stream(files, message, when, on_top=True):
    """A git fast-import stream of one commit on master; `files` yields (path, chunks,
    size) with the content in chunks, so that a big file is never held whole."""
    yield b"commit refs/heads/%s\n" % BRANCH.encode()
    yield b"committer Bench Upstream <upstream@example.org> %d +0000\n" % when
    yield from data(message.encode())
    if on_top:
        yield b"from refs/heads/%s^0\n" % BRANCH.encode()
    for path, chunks, size in files:
        yield b"M 100644 inline %s\ndata %d\n" % (path.encode(), size)
        yield from chunks
        yield b"\n"
    yield b"\n"


def fast_import(bare, stream):
    """Commits the stream straight into a bare repository."""
    process = subprocess.Popen(["git", "fast-import", "--quiet"], cwd=bare, stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    for chunk in stream:
        process.stdin.write(chunk)
    process.stdin.close()
    errors = process.stderr.read()
    if process.wait() != 0:
        raise RuntimeError(f"fast-import into {bare} failed:\n{errors.decode(errors='replace')}")


def text_files(entries):
    for path, blob in entries:
        yield path, [blob], len(blob)


class Remote:
    """One side's bare repository, served (or on the local disk for --remote local)."""

    def __init__(self, server, name, transport):
        self.path = str(server.root / "repos" / name)
        if transport == "local":
            self.for_git = self.path
            self.for_operator = (self.path, None, None)
        elif transport == "http":  # the operator sends its account only over https
            self.for_git = server.auth_url(name)
            self.for_operator = (server.auth_url(name), None, None)
        else:
            self.for_git = server.auth_url(name)
            self.for_operator = (server.url(name), USER, PASSWORD)

    def head(self):
        return git("rev-parse", f"refs/heads/{BRANCH}", cwd=self.path).strip()

    def tree(self):
        return git("rev-parse", f"refs/heads/{BRANCH}^{{tree}}", cwd=self.path).strip()


def seed(server, name, files, message):
    """A served bare repository holding `files` in one commit, packed as a server's."""
    _, path = server.create(name, BRANCH)
    fast_import(path, commit_stream(text_files(files), message, EPOCH, on_top=False))
    git("repack", "-adq", cwd=path)
    return path


def copies(servers, seed_path, sides, stem):
    """A copy of the seed for every side, on the server of its transport."""
    remotes = {}
    for side in sides:
        server = servers.get(side.transport, servers["https"] if "https" in servers else next(iter(servers.values())))
        name = f"{stem}-{side.slug}.git"
        shutil.copytree(seed_path, server.root / "repos" / name, symlinks=True)
        if side.transport == "local":
            # dulwich 1.2 reads a local repository through the packs' bitmaps once one
            # pack has any, and fails on a later pack without (a push, say): the
            # operator's pull from such a path fails (FileNotFoundError, ....bitmap).
            for bitmap in (server.root / "repos" / name / "objects" / "pack").glob("*.bitmap"):
                bitmap.unlink()
        remotes[side] = Remote(server, name, side.transport)
    return remotes


def remove_tree(path):
    """shutil.rmtree with the files deleted from 16 threads. Where the file system
    discards each freed block as the file goes (ext4 mounted with discard, as on this
    project's machines: 4 ms a file, 3 minutes for a 50,000-file clone), the waits
    overlap: 40 times faster there."""
    if not os.path.lexists(path):
        return
    batches = []
    for folder, _, names in os.walk(path):
        paths = [os.path.join(folder, name) for name in names]
        batches += [paths[i:i + 64] for i in range(0, len(paths), 64)]

    def unlink(batch):
        for name in batch:
            os.unlink(name)

    with ThreadPoolExecutor(16) as pool:
        list(pool.map(unlink, batches))
    shutil.rmtree(path)


# ---- measuring -------------------------------------------------------------------------

def load():
    return "load %.2f %.2f %.2f" % os.getloadavg()


class Phase:
    """The rounds of one phase: (wall, CPU) seconds per side and round."""

    def __init__(self, name, sides):
        self.name = name
        self.sides = sides
        self.times = {side: [] for side in sides}

    def round(self, number, step):
        """step(side) -> (wall, CPU) seconds, for every side, the order rotating with the
        round. The file system's dirty data is written out before each step (ext4 makes
        an fsync wait for it), so that no side pays for what the one before wrote."""
        shift = number % len(self.sides)
        for side in self.sides[shift:] + self.sides[:shift]:
            os.sync()
            self.times[side].append(step(side))
        print(f"    {self.name} {number}: " + ", ".join(
            f"{side.label} {self.times[side][-1][0] * 1000:.0f} ms (CPU {self.times[side][-1][1] * 1000:.0f})"
            for side in self.sides), flush=True)

    def summary(self):
        """{side: Result against its git CLI} over the rounds after the first."""
        return {side: Result(self.times[side][1:], self.times[side.reference][1:]) for side in self.sides}


class Result:
    """One side's rounds against git's: medians, the ratio of the medians and the range
    of the per-round ratios, of wall and of CPU time."""

    def __init__(self, mine, git_rounds):
        walls, cpus = [t[0] for t in mine], [t[1] for t in mine]
        git_walls, git_cpus = [t[0] for t in git_rounds], [t[1] for t in git_rounds]
        self.wall, self.cpu = statistics.median(walls), statistics.median(cpus)
        self.ratio = self.wall / statistics.median(git_walls)
        ratios = [a / b for a, b in zip(walls, git_walls)]
        self.low, self.high = min(ratios), max(ratios)
        self.cpu_ratio = self.cpu / statistics.median(git_cpus)


def edit(worktree, files, round_no, edited, added, folders):
    """The round's change: `edited` files spread over the tree get a line more, `added`
    new ones appear."""
    per_folder = files // folders
    for i in range(edited):
        d, f = i % folders, (i * 7 + i // folders) % per_folder
        with open(os.path.join(worktree, case_path(d, f)), "a") as out:
            out.write(f"# round {round_no}\n")
    for i in range(added):
        with open(os.path.join(worktree, f"dir{i % folders:03}", f"new_{round_no}_{i}.py"), "w") as out:
            out.write(f"# added in round {round_no}\n")


def upstream_files(files, round_no, edited, folders):
    """Another client's commit: `edited` other files rewritten."""
    per_folder = files // folders
    for i in range(edited):
        d, f = (i + 3) % folders, (i * 11 + 5) % per_folder
        yield case_path(d, f), case_text(d, f, f"upstream change {round_no}")


def rounds_for(args, files):
    return args.rounds or (7 if files <= 10_000 else 5)


def run_size(args, servers, sides, files, root, results):
    folders = args.folders
    edited, added = (100, 20) if files <= 10_000 else (100, 0)
    rounds = rounds_for(args, files)
    print(f"\n{files:,} files in {folders} folders, {edited} edited + {added} new per push, "
          f"{rounds} rounds ({load()})", flush=True)
    entries = [(case_path(d, f), case_text(d, f)) for d in range(folders) for f in range(files // folders)]
    seed_path = seed(next(iter(servers.values())), f"seed-{files}.git", entries, f"{files} generated cases")
    remotes = copies(servers, seed_path, sides, f"r{files}")
    work = root / f"work-{files}"
    phase_results = {}

    def record(phase):
        phase_results[phase.name] = phase.summary()
        for side, result in phase_results[phase.name].items():
            base = phase_results[phase.name][side.reference]
            if side is not side.reference:
                print(f"  {phase.name}: {side.label} {result.wall * 1000:.0f} ms, {side.reference.label} "
                      f"{base.wall * 1000:.0f} ms: "
                      f"{result.ratio:.2f}x (rounds {result.low:.2f}-{result.high:.2f}x); CPU "
                      f"{result.cpu * 1000:.0f} ms, git {base.cpu * 1000:.0f} ms: {result.cpu_ratio:.2f}x", flush=True)
        print(f"  ({load()})", flush=True)

    # clone: every round clones afresh; the last round's clone stays as the working copy.
    # The others are removed after the phase: deleting tens of thousands of files
    # between steps would weigh on the next step (the file system discards the freed
    # blocks at its next commit, which an fsync waits for).
    if "clone" in args.phases:
        clone = Phase("clone", sides)
        for number in range(rounds):
            clone.round(number, lambda side: side.clone(remotes[side], work / side.slug / f"clone-{number}",
                                                       phase=f"clone-{files}"))
        for side in sides:
            for number in range(rounds - 1):
                remove_tree(work / side.slug / f"clone-{number}")
        record(clone)
    else:
        for side in sides:
            side.clone(remotes[side], work / side.slug / "clone-0")

    if "status" in args.phases:
        status = Phase("status", sides)
        for number in range(rounds):
            status.round(number, lambda side: side.status(phase=f"status-{files}"))
        record(status)

    if "pull" in args.phases:
        pull = Phase("pull", sides)
        for number in range(rounds):
            pull.round(number, lambda side: side.pull(phase=f"pull-{files}"))
        record(pull)

    if "push" in args.phases:
        push = Phase("push", sides)
        for number in range(rounds):
            for side in sides:
                edit(side.worktree, files, number, edited, added, folders)
            push.round(number, lambda side: side.push(f"round {number}", phase=f"push-{files}"))
        trees = {side: remotes[side].tree() for side in sides}
        assert len(set(trees.values())) == 1, f"the sides pushed different trees: {trees}"
        record(push)

    if "pull-new" in args.phases:
        pull_new = Phase("pull-new", sides)
        for number in range(rounds):
            for side in sides:
                changes = list(upstream_files(files, number, edited, folders))
                fast_import(remotes[side].path, commit_stream(text_files(changes), f"upstream {number}",
                                                              EPOCH + 1000 + number))
            pull_new.round(number, lambda side: side.pull(phase=f"pull-new-{files}"))
            for side in sides:
                local = git("rev-parse", "HEAD", cwd=side.worktree).strip()
                assert local == remotes[side].head(), f"{side.label} did not arrive at the server's commit"
                assert git("status", "--porcelain", cwd=side.worktree) == b"", f"{side.label}: files left behind"
        record(pull_new)

    for side in sides:
        side.close()
    remove_tree(work)
    results[files] = phase_results


def big_chunks(seed_text, size, chunk=1 << 22):
    """`size` incompressible bytes, the same for the same seed text, in chunks."""
    counter = 0
    left = size
    while left > 0:
        block = hashlib.shake_256(f"{seed_text}/{counter}".encode()).digest(min(chunk, left))
        counter += 1
        left -= len(block)
        yield block


def run_memory(args, servers, sides, root, results):
    size = args.big_mb * 1024 * 1024
    print(f"\n{args.big_mb} MB file, peak memory, {args.memory_rounds} rounds ({load()})", flush=True)
    # Every measurement is a fresh process here: the fresh-process sides would repeat it.
    sides = [side for side in sides if not getattr(side, "fresh", False)]
    seed_path = seed(next(iter(servers.values())), "seed-big.git", [("README.md", b"A repository with big files.\n")],
                     "start")
    remotes = copies(servers, seed_path, sides, "big")
    work = root / "work-big"
    for side in sides:
        side.clone(remotes[side], work / side.slug)
        side.close()
    peaks = {action: {side: [] for side in sides} for action in ("pull", "push")}
    floors = {}
    for side in sides:
        if side is not side.reference:
            floors[side] = side.memory("construct", remotes[side], work / side.slug)
    for number in range(args.memory_rounds):
        # Another client adds a file, which every side pulls; then every side adds one of
        # its own and pushes it (with a line more in README.md: the operator commits no
        # new file alone). New paths both: git's push would otherwise search a delta
        # against the file's previous version, which costs it several times the file.
        pulled, pushed = f"data/pulled_{number}.bin", f"data/pushed_{number}.bin"
        for side in sides:
            fast_import(remotes[side].path,
                        commit_stream([(pulled, big_chunks(f"pull {number}", size), size)],
                                      f"upstream big file {number}", EPOCH + 2000 + number))
        for action, path in (("pull", pulled), ("push", pushed)):
            shift = number % len(sides)
            for side in sides[shift:] + sides[:shift]:
                if action == "push":
                    with open(Path(side.worktree) / pushed, "wb") as out:
                        for block in big_chunks(f"push {number}", size):
                            out.write(block)
                    with open(Path(side.worktree) / "README.md", "a") as out:
                        out.write(f"Pushed {pushed}.\n")
                peaks[action][side].append(side.memory(action, remotes[side], work / side.slug))
            print(f"    {action} {number}: " + ", ".join(
                f"{side.label} {peaks[action][side][-1][0] / 2**20:.0f} / {peaks[action][side][-1][1] / 2**20:.0f} MB"
                for side in sides) + "  (largest process / tree)", flush=True)
            for side in sides:
                local = git("rev-parse", "HEAD", cwd=side.worktree).strip()
                assert local == remotes[side].head(), f"{side.label}: the {action} did not reach the server's commit"
                sent = git("rev-parse", f"HEAD:{path}", cwd=side.worktree).strip()
                assert sent == git("hash-object", path, cwd=side.worktree).strip(), \
                    f"{side.label}: the {action} left {path} apart from the commit"
    summary = {}
    for action, by_side in peaks.items():
        summary[action] = {side: (statistics.median(p[0] for p in values), statistics.median(p[1] for p in values))
                           for side, values in by_side.items()}
    for action in peaks:
        for side in sides:
            if side is side.reference:
                continue
            g_proc, g_tree = summary[action][side.reference]
            o_proc, o_tree = summary[action][side]
            print(f"  {action}: {side.label} {o_proc / 2**20:.0f} MB / {o_tree / 2**20:.0f} MB, {side.reference.label} "
                  f"{g_proc / 2**20:.0f} / {g_tree / 2**20:.0f} MB: {o_proc / g_proc:.2f}x / {o_tree / g_tree:.2f}x "
                  "(largest process / tree)", flush=True)
    for side, (proc, tree) in floors.items():
        print(f"  {side.label}: interpreter, module and operator alone {proc / 2**20:.0f} MB", flush=True)
    print(f"  ({load()})", flush=True)
    results["memory"] = (summary, floors)


def report(results, sides, args):
    """The run as a markdown table: a column per operator side, each against the git CLI
    over its transport (git's own figures in the third column, one per transport)."""
    gits = [side for side in sides if side is side.reference]
    operators = [side for side in sides if side is not side.reference]
    print(f"\nSummary ({args.remote}; the operator's median wall time ÷ git's, the per-round range, the "
          f"ratio of CPU times; {load()})\n")
    print("| files | phase | " + " / ".join(side.label for side in gits) + " | "
          + " | ".join(side.label for side in operators) + " |")
    print("|---|---|---|" + "---|" * len(operators))
    for files, phases in results.items():
        if files == "memory":
            continue
        for name, by_side in phases.items():
            cells = [f"{r.ratio:.1f}× ({r.low:.1f}–{r.high:.1f}), CPU {r.cpu_ratio:.1f}×; {r.wall:.2f} s"
                     for r in (by_side[side] for side in operators)]
            own = " / ".join(f"{by_side[side].wall:.2f} s (CPU {by_side[side].cpu:.2f} s)" for side in gits)
            print(f"| {files:,} | {name} | {own} | " + " | ".join(cells) + " |")
    if "memory" in results:
        summary, floors = results["memory"]
        for action, by_side in summary.items():
            cells = []
            for side in operators:
                if side not in by_side:
                    cells.append("")
                    continue
                g_proc, g_tree = by_side[side.reference]
                cells.append(f"{by_side[side][0] / g_proc:.2f}× / {by_side[side][1] / g_tree:.2f}×, "
                             f"{by_side[side][0] / 2**20:.0f} / {by_side[side][1] / 2**20:.0f} MB")
            own = " / ".join(f"{by_side[side][0] / 2**20:.0f} / {by_side[side][1] / 2**20:.0f} MB" for side in gits)
            print(f"| {args.big_mb} MB file | {action}, peak memory (largest process / tree) | {own} | "
                  + " | ".join(cells) + " |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", default="5000", help="repository sizes, comma-separated (default 5000)")
    parser.add_argument("--folders", type=int, default=100)
    parser.add_argument("--phases", default=",".join(PHASES), help="of " + ", ".join(PHASES))
    parser.add_argument("--rounds", type=int, default=0, help="per phase (default 7; 5 above 10,000 files)")
    parser.add_argument("--memory-rounds", type=int, default=1)
    parser.add_argument("--big-mb", type=int, default=200)
    parser.add_argument("--oldest", action="append",
                        help="a dulwich tree (pip --target) to run beside the environment's own ('' for "
                             "none); default: every dulwich-* folder beside this interpreter's environment")
    parser.add_argument("--remote", default="https",
                        help="https (default), http (plain) or local (a bare repository on the local disk, by "
                             "its path); several, comma-separated, are measured side by side in one run")
    parser.add_argument("--cpus", type=int, default=0, help="pin every process to this many cores")
    parser.add_argument("--profile", type=Path, help="write each operator call's cProfile statistics here")
    parser.add_argument("--fresh-process", action="store_true",
                        help="also time each operator call in an interpreter of its own (start-up, imports and "
                             "construction included), as a side of its own")
    args = parser.parse_args()
    args.phases = [p for p in args.phases.split(",") if p]
    transports = [t for t in args.remote.split(",") if t]
    if not transports or set(transports) - {"https", "http", "local"}:
        parser.error(f"--remote {args.remote}: of https, http, local")
    unknown = set(args.phases) - set(PHASES)
    if unknown:
        parser.error(f"no phase {', '.join(sorted(unknown))}")
    if args.oldest is None:
        args.oldest = sorted(glob.glob(os.path.join(sys.prefix, "dulwich-*")))
    args.oldest = [path for path in args.oldest if path]  # --oldest '': the environment's dulwich alone
    if args.cpus:
        os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:args.cpus])

    import tempfile

    import trustme
    from git_server import GitServer

    missing = GitServer.missing()
    if missing:
        print(f"git working copy benchmark skipped: {', '.join(missing)} missing (make git-server-tools)")
        return
    root = Path(tempfile.mkdtemp(prefix="git-bench-"))
    servers, sides = {}, []
    try:
        authority = trustme.CA()
        # The local transport needs no server but its folder of repositories.
        for scheme in [t for t in ("https", "http") if t in transports] or ["https"]:
            servers[scheme] = GitServer(root / f"server-{scheme}", authority, USER, PASSWORD, tls=scheme == "https")
        cafile = next(iter(servers.values())).cafile
        config = root / "gitconfig"
        config.write_text("[user]\n\tname = Bench\n\temail = bench@example.org\n"
                          f"[http]\n\tsslCAInfo = {cafile}\n[pull]\n\trebase = false\n"
                          "[advice]\n\tdetachedHead = false\n")
        os.environ.update(GIT_CONFIG_GLOBAL=str(config), GIT_CONFIG_NOSYSTEM="1", GIT_SSL_CAINFO=cafile,
                          GIT_TERMINAL_PROMPT="0")
        os.environ.pop("SSL_CERT_FILE", None)
        for server in servers.values():
            server.start()
        tagged = len(transports) > 1
        for transport in transports:
            reference = GitCLI(transport, tagged)
            sides.append(reference)
            for path in [None, *args.oldest]:
                for fresh in (False, True) if args.fresh_process else (False,):
                    sides.append(Operator(path, root, transport, reference, fresh, tagged))
                    if args.profile and not fresh:
                        args.profile.mkdir(parents=True, exist_ok=True)
                        sides[-1].profile_dir = args.profile
        where = ", ".join("the local disk" if t == "local" else servers[t].base for t in transports)
        print(f"git working copy against {where}: git {git('--version').decode().split()[-1]}, "
              + ", ".join(side.label for side in sides if side is not side.reference) + f"; {os.cpu_count()} cores"
              + (f", pinned to {args.cpus}" if args.cpus else "")
              + (" (profiled: times inflated)" if args.profile else ""), flush=True)
        results = {}
        for files in (int(n) for n in args.files.split(",") if n):
            if set(args.phases) - {"memory"}:
                run_size(args, servers, sides, files, root, results)
        if "memory" in args.phases:
            run_memory(args, servers, sides, root, results)
        report(results, sides, args)
    finally:
        for side in sides:
            side.stop()
        for server in servers.values():
            server.stop()
        remove_tree(root)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--worker"]:
        worker()
    elif sys.argv[1:2] == ["--child"]:
        action, url, root, username, password = sys.argv[2:7]
        child_operation(action, url, root, json.loads(username), json.loads(password))
    else:
        main()
