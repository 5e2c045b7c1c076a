"""GitRepoOperator against git's own server (`git http-backend` behind nginx, TLS and
basic auth; see git_server.py), with the git CLI as the judge of every result:
`git fsck --full`, `git status --porcelain`, `git ls-tree`, `git log`."""

import base64
import io
import itertools
import os
import signal
import subprocess
import sys
import textwrap
import threading
import traceback
import types
from pathlib import Path

import pytest
import trustme
import dulwich
import dulwich.index
from dulwich import porcelain
from dulwich.repo import Repo

import tamareltools.tamarels as tamarels
from git_server import GitServer, git, plain_env
from helpers import Log, operator_maker

G = tamarels.GitRepoOperator
# Characters that end user information unless percent-encoded.
USER, PASSWORD = "tester", "p@ss:w/rd%?#"
ENCODED_PASSWORD = "p%40ss%3Aw%2Frd%25%3F%23"
_names = itertools.count()


@pytest.fixture(scope="session")
def server(tmp_path_factory):
    missing = GitServer.missing()
    if missing:
        pytest.skip("no git server here: " + ", ".join(missing) + " missing (make test installs them)")
    served = GitServer(tmp_path_factory.mktemp("git-server"), trustme.CA(), USER, PASSWORD).start()
    yield served
    served.stop()


@pytest.fixture(autouse=True)
def git_env(server, tmp_path, monkeypatch):
    """Both clients (dulwich and the git CLI) get a fixed identity, trust the server's
    certificate and never prompt."""
    config = tmp_path / "gitconfig"
    config.write_text("[user]\n\tname = Tester\n\temail = t@example.org\n"
                      f"[http]\n\tsslCAInfo = {Path(server.cafile).as_posix()}\n"
                      "[init]\n\tdefaultBranch = master\n[protocol \"file\"]\n\tallow = always\n")
    monkeypatch.setenv("GIT_CONFIG_GLOBAL", str(config))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    monkeypatch.setenv("GIT_SSL_CAINFO", server.cafile)
    monkeypatch.setenv("GIT_TERMINAL_PROMPT", "0")


def write(folder, files):
    for name, content in files.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(content)


def read(folder, name):
    with open(os.path.join(folder, name), encoding="utf-8", newline="") as f:
        return f.read()


class Served:
    """A repository on the server, changed through a working copy of its own (pushed
    by the git CLI straight to the bare repository) and judged by the git CLI."""

    def __init__(self, server, tmp_path, branch="master", files=None, create=True):
        self.server = server
        self.name = f"r{next(_names)}.git"
        self.branch = branch
        self.url = server.url(self.name)
        self.path = str(server.root / "repos" / self.name)
        self.seed = str(tmp_path / f"seed-{self.name}")
        if create:
            self.create(files)

    def create(self, files=None):
        self.server.create(self.name, self.branch)
        git("init", "-q", f"--initial-branch={self.branch}", self.seed)
        git("remote", "add", "origin", self.path, cwd=self.seed)
        self.commit(files or {"a.txt": "one\n", "sub/b.txt": "bee\n"}, "first")
        return self

    def commit(self, files=(), message="change", delete=(), branch=None):
        """A commit on top of what the server's branch (the default one unless named)
        has now, pushed there; a new branch starts from the last commit made here."""
        branch = branch or self.branch
        git("fetch", "-q", "origin", cwd=self.seed)
        tracking = f"refs/remotes/origin/{branch}"
        if git("rev-parse", "-q", "--verify", tracking, cwd=self.seed, check=False).strip():
            git("reset", "-q", "--hard", tracking, cwd=self.seed)
        write(self.seed, dict(files))
        for name in delete:
            os.remove(os.path.join(self.seed, name))
        git("add", "-A", cwd=self.seed)
        git("commit", "-q", "--allow-empty", "-m", message, cwd=self.seed)
        git("push", "-q", "origin", f"HEAD:refs/heads/{branch}", cwd=self.seed)
        return self.head(branch)

    def head(self, branch=None):
        return git("rev-parse", f"refs/heads/{branch or self.branch}", cwd=self.path).strip()

    def tree(self, ref=None):
        """{path: (mode, object)} of the server's branch."""
        out = git("ls-tree", "-r", "-z", ref or f"refs/heads/{self.branch}", cwd=self.path)
        entries = {}
        for record in filter(None, out.split("\0")):
            meta, path = record.split("\t", 1)
            mode, _kind, sha = meta.split()
            entries[path] = (mode, sha)
        return entries

    def show(self, name, ref=None):
        return git("show", f"{ref or 'refs/heads/' + self.branch}:{name}", cwd=self.path)

    def count(self):
        return int(git("rev-list", "--count", f"refs/heads/{self.branch}", cwd=self.path))


@pytest.fixture
def served(server, tmp_path):
    return Served(server, tmp_path)


@pytest.fixture
def make(tmp_path):
    yield from operator_maker(tmp_path, username=USER, password=PASSWORD)


def status(folder, *options):
    return git("status", "--porcelain", *options, cwd=folder).splitlines()


def fsck(folder):
    result = subprocess.run(["git", "fsck", "--full", "--no-progress"], cwd=folder, env=plain_env(),
                            stdin=subprocess.DEVNULL, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "missing" not in result.stdout + result.stderr


def local_head(op):
    return git("rev-parse", "HEAD", cwd=op.local_dir).strip()


def dead_url(name="r.git"):
    """An HTTPS URL on a loopback port where nothing listens (a server that is down)."""
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"https://127.0.0.1:{port}/{name}"


# ---- 12: the server itself ----------------------------------------------------------------


def test_server_needs_the_account(served, tmp_path):
    anonymous = subprocess.run(["git", "ls-remote", served.url], cwd=tmp_path, env=plain_env(),
                               stdin=subprocess.DEVNULL, capture_output=True, text=True)
    assert anonymous.returncode != 0
    heads = git("ls-remote", served.server.auth_url(served.name), cwd=tmp_path)
    assert f"{served.head()}\trefs/heads/master" in heads


# ---- 1: a failed clone leaves nothing that passes for a working copy -----------------------


@pytest.mark.parametrize("cause", ["wrong password", "no repository yet", "server down"])
def test_failed_clone_leaves_nothing(server, tmp_path, make, cause):
    served = Served(server, tmp_path, create=cause != "no repository yet")
    url = dead_url() if cause == "server down" else served.url
    password = PASSWORD + "x" if cause == "wrong password" else PASSWORD
    local_dir = tmp_path / "work" / "tamarel_pytest"
    with pytest.raises(Exception) as raised:
        G(url, str(tmp_path / "work"), Log(), username=USER, password=password)
    assert PASSWORD not in str(raised.value)
    assert local_dir.is_dir() and os.listdir(local_dir) == []  # the directory stays, empty

    if cause == "server down":
        return
    if cause == "no repository yet":
        served.create()
    before = served.tree()
    op = make(served.url)
    assert op.log.texts()[:2] == ["⚠目录存在，删除后重新克隆...", "开始克隆仓库: " + served.url]  # not kept
    assert status(op.local_dir) == [] and read(op.local_dir, "sub/b.txt") == "bee\n"
    fsck(op.local_dir)
    assert op.push(force=False) is None
    assert op.log.texts()[-1] == "没有需要提交的更改"
    assert served.tree() == before


@pytest.mark.parametrize("remote_branch", ["master", "main"])
def test_pull_into_an_empty_clone_checks_out(server, make, tmp_path, remote_branch):
    """What a failed clone of an earlier release left, or the clone of an empty
    repository (a .git with the origin URL, HEAD naming master, nothing else), is kept
    as the clone; pull() then fills index and working tree from the remote's default
    branch, which HEAD names afterwards if it is not master."""
    served = Served(server, tmp_path, branch=remote_branch)
    local_dir = tmp_path / "work" / "tamarel_pytest"
    git("init", "-q", str(local_dir))
    git("remote", "add", "origin", served.server.auth_url(served.name), cwd=local_dir)
    before = served.tree()
    op = make(served.url)
    assert op.log.texts() == ["目录已经是当前仓库，无需重新克隆"]
    assert op.pull() is True
    assert status(op.local_dir) == []
    assert local_head(op) == served.head()
    assert git("status", "-sb", cwd=op.local_dir).splitlines() == [f"## {remote_branch}...origin/{remote_branch}"]
    assert read(op.local_dir, "a.txt") == "one\n"
    fsck(op.local_dir)
    assert op.push(force=False) is None
    assert served.tree() == before


# ---- 2: submodules survive --------------------------------------------------------------------


@pytest.fixture
def with_submodule(server, tmp_path):
    library = Served(server, tmp_path, files={"lib.txt": "lib\n"})
    served = Served(server, tmp_path)
    write(served.seed, {".gitmodules": f'[submodule "lib"]\n\tpath = lib\n\turl = {library.url}\n'})
    git("add", ".gitmodules", cwd=served.seed)
    git("update-index", "--add", "--cacheinfo", f"160000,{library.head()},lib", cwd=served.seed)
    git("commit", "-q", "-m", "with a submodule", cwd=served.seed)
    git("push", "-q", "origin", "HEAD:refs/heads/master", cwd=served.seed)
    served.gitlink = ("160000", library.head())
    assert served.tree()["lib"] == served.gitlink
    return served


def check_out_submodule(op, served):
    os.rmdir(os.path.join(op.local_dir, "lib"))
    lib_url = git("config", "-f", ".gitmodules", "submodule.lib.url", cwd=op.local_dir).strip()
    git("clone", "-q", served.server.auth_url(lib_url.rsplit("/", 1)[1]), "lib", cwd=op.local_dir)


@pytest.mark.parametrize("submodule", ["not checked out", "checked out"])
def test_submodule_survives_push(with_submodule, make, capsys, submodule):
    op = make(with_submodule.url)
    if submodule == "checked out":
        check_out_submodule(op, with_submodule)
    assert status(op.local_dir) == []
    assert op.get_repo_info()["is_dirty"] is False
    assert op.push() is None and op.log.texts()[-1] == "没有需要提交的更改"

    write(op.local_dir, {"a.txt": "edited\n"})
    capsys.readouterr()
    op.push()
    assert capsys.readouterr().out.splitlines() == [f"{op.local_dir} a.txt"]
    tree = with_submodule.tree()
    assert tree["lib"] == with_submodule.gitlink
    assert with_submodule.show("a.txt") == "edited\n"
    assert status(op.local_dir) == []
    fsck(op.local_dir)


@pytest.mark.parametrize("state", ["clean", "modified", "staged", "deleted", "untracked only",
                                   "submodule folder gone", "submodule checked out"])
def test_is_dirty_agrees_with_git_status(with_submodule, make, state):
    op = make(with_submodule.url)
    if state == "modified":
        write(op.local_dir, {"a.txt": "edited\n"})
    elif state == "staged":
        write(op.local_dir, {"n.txt": "new\n"})
        git("add", "n.txt", cwd=op.local_dir)
    elif state == "deleted":
        os.remove(os.path.join(op.local_dir, "a.txt"))
    elif state == "untracked only":
        write(op.local_dir, {"u.txt": "u\n"})
    elif state == "submodule folder gone":
        os.rmdir(os.path.join(op.local_dir, "lib"))
    elif state == "submodule checked out":
        check_out_submodule(op, with_submodule)
    git_says = status(op.local_dir, "--untracked-files=no")
    assert op.get_repo_info()["is_dirty"] is bool(git_says), git_says


# ---- 3: a refused pull changes nothing; then the remote wins -------------------------------------


@pytest.mark.parametrize("local", ["edited", "staged", "made executable", "a link in its place"])
def test_refused_pull_changes_nothing(served, make, local):
    op = make(served.url)
    served.commit({"a.txt": "remote\n"})
    path = os.path.join(op.local_dir, "a.txt")
    if local == "made executable":
        os.chmod(path, 0o755)
    elif local == "a link in its place":
        os.remove(path)
        os.symlink("sub/b.txt", path)
    else:
        write(op.local_dir, {"a.txt": "local\n"})
    if local == "staged":
        git("add", "a.txt", cwd=op.local_dir)
    before = (local_head(op), status(op.local_dir), git("ls-files", "-s", cwd=op.local_dir), snapshot(op.local_dir))
    assert op.pull(accept_remote=False) is False
    assert op.log.texts("error")[0].startswith("更新仓库失败: ")
    assert (local_head(op), status(op.local_dir), git("ls-files", "-s", cwd=op.local_dir),
            snapshot(op.local_dir)) == before

    assert op.pull(accept_remote=True) is True
    assert "已强制合并远程更改" in op.log.texts()
    assert read(op.local_dir, "a.txt") == "remote\n"
    assert local_head(op) == served.head()
    assert status(op.local_dir) == []
    fsck(op.local_dir)
    remote = served.head()
    assert op.push() is None  # nothing to take back
    assert served.head() == remote and served.show("a.txt") == "remote\n"


def test_refused_diverged_pull_changes_nothing(served, make):
    op = make(served.url)
    served.commit({"a.txt": "remote\n"})
    write(op.local_dir, {"c.txt": "local\n"})
    git("add", "c.txt", cwd=op.local_dir)
    git("commit", "-q", "-m", "local side", cwd=op.local_dir)
    before = (local_head(op), status(op.local_dir))
    assert op.pull(accept_remote=False) is False
    assert op.log.lines[-2:] == [
        ("debug", "分支已分叉，需要手动解决冲突"),
        ("error", "更新仓库失败: 分支已分叉，需要手动解决冲突。如需强制接受远程更改，请设置 accept_remote=True")]
    assert (local_head(op), status(op.local_dir)) == before


def test_fast_forward_pull_keeps_other_local_edits(served, make):
    op = make(served.url)
    served.commit({"c.txt": "new\n"}, delete=["sub/b.txt"])
    write(op.local_dir, {"a.txt": "local\n"})
    assert op.pull(accept_remote=False) is True
    assert op.log.texts()[-1] == "成功合并更新"
    assert local_head(op) == served.head()
    assert status(op.local_dir) == [" M a.txt"]
    assert read(op.local_dir, "c.txt") == "new\n" and not os.path.exists(os.path.join(op.local_dir, "sub"))
    fsck(op.local_dir)


@pytest.mark.parametrize("accept_remote", [True, False])
def test_pull_applies_every_path(served, make, accept_remote):
    """Whatever the remote changed is in index and files afterwards, files named
    ".git..." included."""
    op = make(served.url)
    served.commit({".gitignore": "*.log\n", ".gitattributes": "*.txt text\n", "dir/new.txt": "n\n",
                   "a.txt": "two\n"}, delete=["sub/b.txt"])
    assert op.pull(accept_remote=accept_remote) is True
    assert local_head(op) == served.head()
    assert status(op.local_dir, "--untracked-files=all") == []
    assert read(op.local_dir, ".gitignore") == "*.log\n" and read(op.local_dir, "a.txt") == "two\n"
    assert not os.path.exists(os.path.join(op.local_dir, "sub"))
    fsck(op.local_dir)


def test_fast_forward_keeps_an_untracked_file(served, make):
    op = make(served.url)
    served.commit({"n.txt": "theirs\n"})
    write(op.local_dir, {"n.txt": "mine\n"})
    before = local_head(op)
    assert op.pull(accept_remote=False) is False
    assert "would be overwritten by merge" in op.log.texts("error")[0]
    assert local_head(op) == before and read(op.local_dir, "n.txt") == "mine\n"
    assert op.pull() is True and read(op.local_dir, "n.txt") == "theirs\n"  # the remote wins


# ---- 4: a push that did not reach the remote is never reported as done later ---------------------
# A failed push takes its commit back: the changes stay (staged) in the working copy,
# a pull in between keeps them, and the next push commits them again.


@pytest.mark.parametrize("cause", ["hook rejects", "server down", "not a fast-forward"])
def test_failed_push_leaves_the_changes_for_the_next(served, make, cause):
    op = make(served.url)
    if cause == "hook rejects":
        served.server.hook(served.name, "pre-receive", "echo refused by policy >&2\nexit 1\n")
    elif cause == "server down":
        op.repo_url = dead_url(served.name)
    else:
        served.commit({"c.txt": "theirs\n"})
    before = (served.head(), local_head(op))
    write(op.local_dir, {"a.txt": "mine\n"})
    with pytest.raises(Exception):
        op.push(force=False)
    assert (served.head(), local_head(op)) == before
    assert status(op.local_dir) == ["M  a.txt"]
    fsck(op.local_dir)
    if cause == "not a fast-forward":
        with pytest.raises(Exception):  # still refused: never reported as done
            op.push(force=False)
        assert status(op.local_dir) == ["M  a.txt"]
    elif cause == "hook rejects":
        os.remove(os.path.join(served.path, "hooks", "pre-receive"))
    else:
        op.repo_url = served.url
    assert op.pull() is True  # the remote wins where it changed something; a.txt stays
    assert read(op.local_dir, "a.txt") == "mine\n"
    op.log.lines.clear()
    assert op.push(force=False) is None
    assert op.log.texts() == ["提交成功: Tamarel测试平台提交", "推送成功到 origin/master"]
    assert served.show("a.txt") == "mine\n" and served.head() == local_head(op)
    if cause == "not a fast-forward":
        assert served.show("c.txt") == "theirs\n"
    assert status(op.local_dir) == []
    assert op.push() is None and op.log.texts()[-1] == "没有需要提交的更改"
    fsck(op.local_dir)


def test_push_of_a_branch_the_remote_lacks(server, tmp_path, make):
    served = Served(server, tmp_path, branch="main")
    op = make(served.url)
    assert op.get_repo_info()["active_branch"] == "main"
    before = served.head()
    write(op.local_dir, {"a.txt": "mine\n"})
    for _ in range(2):  # the default branch "master" is not there, each time
        with pytest.raises(KeyError):
            op.push()
        assert local_head(op) == before and status(op.local_dir) == ["M  a.txt"]
    assert op.push(branch="main") is None
    assert served.show("a.txt") == "mine\n"
    assert op.log.texts()[-1] == "推送成功到 origin/main"


# ---- 5: no credentials on disk beyond .git/config ------------------------------------------------


def secrets_on_disk(folder):
    found = []
    for base, _dirs, files in os.walk(os.path.join(folder, ".git")):
        for name in files:
            path = os.path.join(base, name)
            if os.path.relpath(path, folder) == os.path.join(".git", "config"):
                continue
            data = Path(path).read_bytes()
            if any(s in data for s in (PASSWORD.encode(), ENCODED_PASSWORD.encode(), f"{USER}:".encode())):
                found.append(os.path.relpath(path, folder))
    return found


def test_no_credentials_outside_the_config(served, make):
    op = make(served.url)
    reflog = Path(op.local_dir, ".git", "logs", "refs", "remotes", "origin", "master").read_text()
    assert f"clone: from {served.url}" in reflog
    assert ENCODED_PASSWORD in Path(op.local_dir, ".git", "config").read_text()
    served.commit({"c.txt": "c\n"})
    op.pull()
    write(op.local_dir, {"a.txt": "pushed\n"})
    op.push()
    assert secrets_on_disk(op.local_dir) == []


def test_server_messages_show_no_password(served, make, monkeypatch):
    """A refusing hook's output (sent back in pieces) and the refusal show the password
    in none of the forms other code writes it in."""
    forms = [ENCODED_PASSWORD.lower(), base64.b64encode(f"{USER}:{PASSWORD}".encode()).decode()]
    served.server.hook(served.name, "pre-receive", f"echo 'remote sees {' '.join(forms)}' >&2\nexit 1\n")
    monkeypatch.setattr(porcelain, "default_bytes_err_stream", sink := io.BytesIO(), raising=False)
    op = make(served.url)
    write(op.local_dir, {"a.txt": "mine\n"})
    with pytest.raises(Exception) as raised:
        op.push(force=False)
    shown = sink.getvalue().decode() + "".join(traceback.format_exception(raised.value)) + "".join(op.log.texts())
    assert "remote sees *** ***" in shown and not [f for f in forms + [PASSWORD, ENCODED_PASSWORD] if f in shown]


# ---- 7: no empty commits ------------------------------------------------------------------------


@pytest.mark.parametrize("change", ["deleted file", "edit undone"])
def test_no_empty_commits(served, make, change):
    op = make(served.url)
    if change == "deleted file":
        os.remove(os.path.join(op.local_dir, "sub", "b.txt"))
    else:
        write(op.local_dir, {"a.txt": "changed\n"})
        op.get_repo_info()
        write(op.local_dir, {"a.txt": "one\n"})
    count = served.count()
    assert op.push() is None
    assert op.log.texts()[-1] == "没有需要提交的更改"
    assert served.count() == count
    assert int(git("rev-list", "--count", "HEAD", cwd=op.local_dir)) == count


# ---- 9: a push stages its paths in one call -------------------------------------------------------


def test_push_stages_in_one_call(served, make, monkeypatch, capsys):
    op = make(served.url)
    write(op.local_dir, {"a.txt": "edited\n", "new.txt": "fresh\n", "dir/deep.txt": "deep\n"})
    os.remove(os.path.join(op.local_dir, "sub", "b.txt"))
    calls = []
    real_add = porcelain.add

    def add(repo, paths=None, **kwargs):
        calls.append(list(paths))
        return real_add(repo, paths=paths, **kwargs)

    monkeypatch.setattr(porcelain, "add", add)
    capsys.readouterr()
    op.push()
    printed = capsys.readouterr().out.splitlines()
    assert sorted(printed) == sorted(f"{op.local_dir} {p}" for p in ("a.txt", "new.txt", "dir/", "sub/b.txt"))
    assert len(calls) == 1
    assert sorted(calls[0]) == sorted(os.path.join(op.local_dir, p) for p in ("a.txt", "new.txt", "dir/"))
    tree = served.tree()
    assert "dir/deep.txt" in tree and served.show("new.txt") == "fresh\n"
    assert "sub/b.txt" in tree  # the deletion stays unstaged
    assert status(op.local_dir) == [" D sub/b.txt"]
    fsck(op.local_dir)


# ---- 10: a working copy can be closed -------------------------------------------------------------


def open_files_below(folder):
    fd_dir = "/proc/self/fd"
    names = []
    for fd in os.listdir(fd_dir):
        try:
            names.append(os.path.realpath(os.path.join(fd_dir, fd)))
        except OSError:
            pass
    return [n for n in names if n.startswith(str(folder))]


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")
def test_close_and_context_manager(served, tmp_path):
    with G(served.url, str(tmp_path / "work"), Log(), USER, PASSWORD) as op:
        assert isinstance(op, G)
        op.get_file_last_commit_time("a.txt")  # reads objects: opens the pack
        assert open_files_below(op.local_dir)
    assert open_files_below(op.local_dir) == []
    op.close()  # again: nothing happens
    op.close()


def test_a_script_prints_nothing_on_exit(served, make, tmp_path):
    make(served.url)  # the script finds the clone (fetching, dulwich prints its progress)
    script = textwrap.dedent(f"""
        import logging
        from tamareltools.tamarels import GitRepoOperator
        op = GitRepoOperator({served.url!r}, {str(tmp_path / "work")!r}, logging.getLogger("git"),
                             {USER!r}, {PASSWORD!r})
        op.get_file_last_commit_time("a.txt")
        assert op.pull() is True
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.returncode == 0 and result.stderr == ""


# ---- 11: remote-tracking refs follow ----------------------------------------------------------


def test_remote_tracking_refs_follow(served, make):
    op = make(served.url)

    def in_step():
        first = git("status", "-sb", cwd=op.local_dir).splitlines()[0]
        assert first == "## master...origin/master", first
        assert git("rev-parse", "refs/remotes/origin/master", cwd=op.local_dir).strip() == served.head()

    in_step()
    write(op.local_dir, {"a.txt": "pushed\n"})
    op.push()
    in_step()
    served.commit({"c.txt": "elsewhere\n"})
    assert op.pull() is True
    in_step()
    served.commit({"d.txt": "again\n"})
    assert op.pull(accept_remote=False) is True
    in_step()
    assert status(op.local_dir) == []
    fsck(op.local_dir)


# ---- 13: one operation at a time on a working copy -----------------------------------------------

# Writers of the shared working copy, a thread each, started together: "pull" pulls
# (the remote wins); any other role writes a new file and edits a.txt, and pushes, again
# and again. The process fails when a thread does.
RACE = """
import logging, os, sys, threading
from tamareltools.tamarels import GitRepoOperator

def work(op, role):
    for i in range(4):
        if role == "pull":
            op.pull()
            continue
        for name in (f"{role}-{i}.txt", "a.txt"):
            with open(os.path.join(op.local_dir, name), "w") as f:
                f.write(f"{role} {i}")
        try:
            op.push()
        except Exception:  # refused or cut off: a later push or the settling one delivers
            pass

url, root, user, password, *roles = sys.argv[1:]
ops = [GitRepoOperator(url, root, logging.getLogger("race"), user, password) for role in roles]
print("ready", flush=True)
sys.stdin.readline()
threading.excepthook = lambda failure: os._exit(1)
threads = [threading.Thread(target=work, args=pair) for pair in zip(ops, roles)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
"""


@pytest.mark.parametrize("race", [[["pull", "push-a"]], [["pull"], ["push-a"], ["push-b"]]],
                         ids=["a pull and a push in two threads", "a pull and two pushes in three processes"])
def test_racing_writers_keep_their_files(served, make, tmp_path, race):
    """Writers racing on one working copy, then one settling pull and push: every
    writer's files are on the server."""
    op = make(served.url)
    writers = [subprocess.Popen([sys.executable, "-c", RACE, served.url, str(tmp_path / "work"), USER, PASSWORD,
                                 *roles], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) for roles in race]
    for writer in writers:
        assert writer.stdout.readline() == "ready\n"
    for writer in writers:
        writer.stdin.write("go\n")
        writer.stdin.flush()
    for writer in writers:
        writer.communicate(timeout=300)
        assert writer.returncode == 0
    op.pull()
    op.push()
    tree = served.tree()
    names = [f"{role}-{i}.txt" for roles in race for role in roles if role != "pull" for i in range(4)]
    assert [name for name in names if name not in tree] == []
    assert status(op.local_dir, "--untracked-files=all") == []
    fsck(op.local_dir)


# Holds the lock (inside its clone) with a child forked meanwhile, which lives on.
HOLD_AND_DIE = """
import os, sys, time
from tamareltools.tamarels import GitRepoOperator

class Holding:
    def debug(self, text):
        child = os.fork()
        if child:
            print("holding", child, flush=True)
        time.sleep(600)

GitRepoOperator(*sys.argv[1:3], Holding(), *sys.argv[3:5])
"""


@pytest.mark.parametrize("holder", ["another thread", "a killed process", "the same thread"])
def test_while_the_lock_is_held(served, make, tmp_path, request, holder):
    """Another thread's operation makes a writer wait, then give up naming the directory;
    a killed process leaves no lock behind, not even in a child it forked; the holding
    thread itself goes on."""
    op = make(served.url)
    op.lock_timeout = 0.3 if holder == "another thread" else 10
    write(op.local_dir, {"n.txt": "new\n", "a.txt": "edited\n"})
    if holder == "another thread":
        inside, release = threading.Event(), threading.Event()
        other = make(served.url)
        other.log = types.SimpleNamespace(debug=lambda text: inside.set() or release.wait(60), error=print)
        holding = threading.Thread(target=other.pull)
        holding.start()
        inside.wait(60)
        for call in (op.push, op.pull, op.clone):
            with pytest.raises(TimeoutError) as raised:
                call()
            assert str(raised.value) == f"本地仓库正被其他操作占用，等待0.3秒后仍未释放: {op.local_dir}"
        release.set()
        holding.join()
    elif holder == "a killed process":
        dying = subprocess.Popen([sys.executable, "-c", HOLD_AND_DIE, served.url, str(tmp_path / "work"), USER,
                                  PASSWORD], stdout=subprocess.PIPE, text=True)
        child = int(dying.stdout.readline().split()[1])  # inside its clone(), the lock held
        request.addfinalizer(lambda: os.kill(child, signal.SIGKILL))
        dying.kill()
        dying.wait()
        dying.stdout.close()  # the child has it open too
    else:
        op.log = types.SimpleNamespace(debug=lambda text: op.push() if "拉取更新" in text else None,
                                       info=lambda text: None)
        assert op.pull() is True
    assert ("n.txt" in served.tree()) is (holder == "the same thread")  # pushed from inside the pull
    op.push()
    assert served.show("n.txt") == "new\n" and status(op.local_dir) == []


# ---- the working copy's status, computed natively, against dulwich's and git's --------------------


def racily_clean(folder):
    """a.txt changed behind stat data that still matches the index (same size, mtime put
    back, ctime not trusted), the index written in the same instant: git hashes it."""
    git("config", "core.trustctime", "false", cwd=folder)
    path = os.path.join(folder, "a.txt")
    before = os.stat(path)
    write(folder, {"a.txt": "two\n"})
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    os.utime(os.path.join(folder, ".git", "index"), ns=(before.st_atime_ns, before.st_mtime_ns))


def new_symlinks(folder):
    os.symlink("a.txt", os.path.join(folder, "link"))
    os.remove(os.path.join(folder, "sub", "b.txt"))
    os.symlink("../a.txt", os.path.join(folder, "sub", "b.txt"))


TREES = {
    "modified": lambda f: write(f, {"a.txt": "edited\n", "sub/b.txt": "edited too\n"}),
    "mode changed": lambda f: os.chmod(os.path.join(f, "a.txt"), 0o755),
    "deleted": lambda f: os.remove(os.path.join(f, "sub", "b.txt")),
    "new file only": lambda f: write(f, {"case_login.py": "def test(): pass\n"}),
    "new folders": lambda f: write(f, {"new/deep/x.txt": "x\n", "new/y.txt": "y\n", "sub/c.txt": "c\n"}),
    "ignored": lambda f: write(f, {".gitignore": "*.log\nbuild/\n!keep.log\n/sub/only/*\n", "a.log": "",
                                   "keep.log": "k\n", "build/o.txt": "o", "sub/c.log": "c", "logs/x.log": "",
                                   "sub/only/z.txt": "z", ".git/info/exclude": "secret*\n", "secret.txt": "s"}),
    "racily clean": racily_clean,
    "symlink": new_symlinks,
    "nested repository": lambda f: git("init", "-q", os.path.join(f, "lib")) or write(f, {"lib/l.txt": "l"}),
    "non-UTF-8 name": lambda f: Path(f, os.fsdecode(b"\xff\xfe.txt")).write_text("x\n"),
    "CRLF under text=auto": lambda f: write(f, {".gitattributes": "* text=auto\n", "a.txt": "one\r\n"}) or
    git("add", "a.txt", cwd=f),
}
# Where dulwich's own status disagrees with git: the executable bit, the racily clean
# entry (1.2: not hashed), the attributes (1.1: not read), a file that became a symlink.
GIT_DECIDES = {"mode changed", "racily clean", "CRLF under text=auto", "symlink"}


def git_paths(folder, *options):
    out = subprocess.run(["git", "status", "--porcelain", "-z", *options], cwd=folder, env=plain_env(),
                         stdin=subprocess.DEVNULL, capture_output=True, check=True).stdout
    return [record[3:] for record in out.split(b"\0") if record]


@pytest.mark.parametrize("tree", list(TREES))
def test_native_status_as_dulwich_and_git_see_it(served, make, monkeypatch, capsys, tree):
    native, rebound = make(served.url), make(served.url, warehouse_name="rebound")
    for op in (native, rebound):
        TREES[tree](op.local_dir)
    tracked_change = git_paths(native.local_dir, "--untracked-files=no")
    seen = {}
    for op in (native, rebound):
        if op is rebound:  # the platform's own status and add: dulwich's, called through wrappers
            calls = []
            for name in ("status", "add"):
                real = getattr(porcelain, name)
                monkeypatch.setattr(porcelain, name, lambda *a, real=real, **k: calls.append(a) or real(*a, **k))
        listed = git_paths(op.local_dir)
        dirty = op.get_repo_info()["is_dirty"]
        capsys.readouterr()
        op.push()
        printed = capsys.readouterr().out.splitlines()
        seen[op] = dirty, printed
        if op is native:  # the server has what the working copy committed, modes included
            assert served.tree() == served.tree.__func__(types.SimpleNamespace(path=op.local_dir), "HEAD")
    assert calls, "a rebound porcelain.status (and add) is the one called"
    dirty, printed = seen[native]
    # git is the judge: dirty as git status shows tracked changes, every path git lists
    # printed (a name that is not UTF-8 gets the warning instead), and nothing but the
    # deletions (never staged) and that name left once pushed.
    assert dirty is bool(tracked_change)
    decodable = [p.decode() for p in listed if not p.startswith(b"\xff")]
    assert sorted(printed) == sorted(f"{native.local_dir} {p}" for p in decodable)
    for line in git("status", "--porcelain", cwd=native.local_dir).splitlines():
        assert line.startswith(" D ") or line in ("?? lib/", '?? "\\377\\376.txt"'), line
    fsck(native.local_dir)
    if tree not in GIT_DECIDES:  # and dulwich's lists, in their order
        assert seen[rebound][0] is dirty
        assert [line.split(" ", 1)[1] for line in seen[rebound][1]] == [line.split(" ", 1)[1] for line in printed]
        trees = {git("rev-parse", "HEAD^{tree}", cwd=op.local_dir) for op in (native, rebound)}
        assert len(trees) == 1, "staged as porcelain.add stages"


def test_push_of_a_branch_the_working_copy_lacks_names_it(server, tmp_path, make):
    served = Served(server, tmp_path, branch="develop")
    op = make(served.url)
    write(op.local_dir, {"a.txt": "edited\n"})
    before = local_head(op)
    with pytest.raises(KeyError, match="master"):
        op.push()
    assert local_head(op) == before and served.head() == before
    assert status(op.local_dir) == ["M  a.txt"]
    op.push(branch="develop")
    assert served.show("a.txt") == "edited\n"


# ---- 14: a pull merges the branch that is checked out, never another -----------------------------


def discarded_refs(folder):
    return git("for-each-ref", "--format=%(refname)", "refs/tamarel/", cwd=folder).split()


@pytest.mark.parametrize("accept_remote", [True, False])
@pytest.mark.parametrize("case", ["its remote branch moved", "its upstream of another name moved",
                                  "local commits ahead", "the remote lacks it"])
def test_pull_follows_the_checked_out_branch(served, make, case, accept_remote):
    served.commit({"d.txt": "dev only\n"}, "on dev", branch="dev")
    op = make(served.url)
    branch = "mine" if "another name" in case else "dev"
    git("checkout", "-q", "-b", branch, "--track", "origin/dev", cwd=op.local_dir)  # as git records it
    served.commit({"a.txt": "master moved\n"})
    if "moved" in case:
        served.commit({"d.txt": "dev moved\n"}, branch="dev")
    elif case == "local commits ahead":
        write(op.local_dir, {"e.txt": "local\n"})
        git("add", "e.txt", cwd=op.local_dir)
        git("commit", "-q", "-m", "local on dev", cwd=op.local_dir)
    else:
        branch = "feature"
        git("checkout", "-q", "-b", branch, cwd=op.local_dir)
    before = local_head(op)
    assert op.pull(accept_remote=accept_remote) is True
    assert local_head(op) == (served.head("dev") if "moved" in case else before)
    assert git("symbolic-ref", "HEAD", cwd=op.local_dir).strip() == f"refs/heads/{branch}"
    assert status(op.local_dir) == [] and discarded_refs(op.local_dir) == []
    assert read(op.local_dir, "a.txt") == "one\n"  # master's change stays on master
    assert read(op.local_dir, "d.txt") == ("dev moved\n" if "moved" in case else "dev only\n")
    warnings = op.log.texts("warning")
    assert warnings == (["远程仓库没有 refs/heads/feature，本地分支 feature 保持不变"] if branch == "feature" else [])
    fsck(op.local_dir)
    if branch == "dev":  # the next push keeps the server's history of dev
        server_dev = served.head("dev")
        write(op.local_dir, {"d.txt": "pushed\n"})
        op.push(branch="dev")
        git("merge-base", "--is-ancestor", server_dev, "refs/heads/dev", cwd=served.path)
        assert served.show("d.txt", "refs/heads/dev") == "pushed\n" and served.show("a.txt") == "master moved\n"


# ---- 15: what a forced pull discards stays recoverable -----------------------------------------


def rewrite_remote(served, files, message="rewritten"):
    """The server's branch replaced by a commit on top of its first one (a force-push)."""
    first = git("rev-list", "--max-parents=0", f"refs/heads/{served.branch}", cwd=served.path).strip()
    git("fetch", "-q", "origin", cwd=served.seed)
    git("reset", "-q", "--hard", first, cwd=served.seed)
    write(served.seed, files)
    git("add", "-A", cwd=served.seed)
    git("commit", "-q", "-m", message, cwd=served.seed)
    git("push", "-q", "-f", "origin", f"HEAD:refs/heads/{served.branch}", cwd=served.seed)


# case: (what the working copy does, what the server does, {path: content the ref keeps})
DISCARDS = {
    "edit of a file the remote changes": (
        lambda op: write(op.local_dir, {"a.txt": "mine\n"}),
        lambda served: served.commit({"a.txt": "theirs\n"}), {"a.txt": "mine\n"}),
    "staged change, file deleted again": (
        lambda op: (write(op.local_dir, {"a.txt": "staged\n"}), git("add", "a.txt", cwd=op.local_dir),
                    os.remove(os.path.join(op.local_dir, "a.txt"))),
        lambda served: served.commit({"a.txt": "theirs\n"}), {"a.txt": "staged\n"}),
    "untracked file where the remote adds one": (
        lambda op: write(op.local_dir, {"n.txt": "mine\n"}),
        lambda served: served.commit({"n.txt": "theirs\n"}), {"n.txt": "mine\n"}),
    "edit of a file the remote deletes": (
        lambda op: write(op.local_dir, {"sub/b.txt": "mine\n"}),
        lambda served: served.commit(delete=["sub/b.txt"]), {"sub/b.txt": "mine\n"}),
    "local commit, the remote force-pushed": (
        lambda op: (write(op.local_dir, {"c.txt": "committed\n"}), git("add", "c.txt", cwd=op.local_dir),
                    git("commit", "-q", "-m", "local work", cwd=op.local_dir), write(op.local_dir, {"a.txt": "mine\n"})),
        lambda served: rewrite_remote(served, {"a.txt": "rewritten\n"}), {"a.txt": "mine\n", "c.txt": "committed\n"}),
    # nothing to keep: the branch ahead stays, an ignored file and a clean copy are replaced
    "local commit, the remote unchanged": (
        lambda op: (write(op.local_dir, {"c.txt": "committed\n"}), git("add", "c.txt", cwd=op.local_dir),
                    git("commit", "-q", "-m", "local work", cwd=op.local_dir)),
        lambda served: None, None),
    "ignored file where the remote adds one": (
        lambda op: write(op.local_dir, {"x.log": "mine\n"}),
        lambda served: served.commit({"x.log": "theirs\n"}), None),
    "nothing local": (lambda op: None, lambda served: served.commit({"a.txt": "theirs\n"}), None),
}


@pytest.mark.parametrize("case", DISCARDS)
def test_forced_pull_keeps_what_it_discards(server, tmp_path, make, case):
    local_change, remote_change, kept = DISCARDS[case]
    served = Served(server, tmp_path, files={"a.txt": "one\n", "sub/b.txt": "bee\n", ".gitignore": "*.log\n"})
    op = make(served.url)
    local_change(op)
    remote_change(served)
    old_head = local_head(op)
    assert op.pull() is True
    refs = discarded_refs(op.local_dir)
    if kept is None:
        assert refs == [] and op.log.texts("warning") == []
        assert local_head(op) == (old_head if case.startswith("local commit") else served.head())
        assert status(op.local_dir) == []
        return
    (ref,) = refs
    assert op.log.texts("warning") == [f"强制拉取将丢弃的本地内容（未提交的更改或远程没有的提交）已保存到 {ref}，"
                                       f"可用 git show {ref} 查看"]
    # the remote won; HEAD and index name nothing of the kept commit
    assert local_head(op) == served.head()
    assert git("symbolic-ref", "HEAD", cwd=op.local_dir).strip() == "refs/heads/master"
    assert status(op.local_dir, "--untracked-files=no") == []
    assert git("rev-parse", f"{ref}^1", cwd=op.local_dir).strip() == old_head
    for path, content in kept.items():
        assert git("show", f"{ref}:{path}", cwd=op.local_dir) == content
    changed = git("diff", "--name-only", f"{ref}^1", ref, cwd=op.local_dir).split()
    assert changed == sorted(p for p in kept if p != "c.txt")  # only the uncommitted work
    path = sorted(kept)[0]
    git("checkout", ref, "--", path, cwd=op.local_dir)  # and the work comes back
    assert read(op.local_dir, path) == kept[path]
    fsck(op.local_dir)


# ---- 16: tags follow the fetched history, as git pull's do ----------------------------------------


def tag_on_server(served, *tag_args, ref="HEAD"):
    git("tag", *tag_args, ref, cwd=served.seed)
    git("push", "-q", "-f", "origin", f"refs/tags/{tag_args[-1]}", cwd=served.seed)


TAGGINGS = {
    "lightweight tag on a new commit": lambda s: (s.commit({"c.txt": "c\n"}), tag_on_server(s, "v2")),
    "annotated tag on a new commit": lambda s: (s.commit({"c.txt": "c\n"}), tag_on_server(s, "-a", "-m", "two", "v2")),
    "tag on another branch": lambda s: (s.commit({"d.txt": "d\n"}, branch="dev"), tag_on_server(s, "v2"),
                                        s.commit({"c.txt": "c\n"})),
    "tag off every branch": lambda s: (git("commit", "-q", "--allow-empty", "-m", "loose", cwd=s.seed),
                                       tag_on_server(s, "v2"), s.commit({"c.txt": "c\n"})),
    "tag moved on the server": lambda s: (s.commit({"c.txt": "c\n"}), tag_on_server(s, "-f", "v1")),
}


@pytest.mark.parametrize("case", TAGGINGS)
def test_tags_follow_as_git_pull_does(served, make, tmp_path, case):
    tag_on_server(served, "v1")
    op = make(served.url)
    cli = str(tmp_path / "cli")
    git("clone", "-q", served.server.auth_url(served.name), cli)
    TAGGINGS[case](served)
    assert op.pull() is True
    git("pull", "-q", "--no-rebase", cwd=cli)
    assert git("show-ref", "--tags", cwd=op.local_dir) == git("show-ref", "--tags", cwd=cli)
    moved = case == "tag moved on the server"
    assert op.log.texts("warning") == (["远程标签 v1 指向其他提交，本地标签保持不变"] if moved else [])
    fsck(op.local_dir)


# ---- 17: line endings as .gitattributes say -----------------------------------------------------


@pytest.mark.parametrize("step", ["clone", "pull", "push"])
def test_line_endings_follow_gitattributes(server, tmp_path, make, step):
    served = Served(server, tmp_path, files={".gitattributes": "* text=auto\n*.bat eol=crlf\n",
                                             "a.txt": "one\n", "x.bat": "x\ny\n"})
    cli = str(tmp_path / "cli")
    git("clone", "-q", served.server.auth_url(served.name), cli)
    op = make(served.url)
    if step == "pull":
        served.commit({"y.bat": "y\nz\n", "b.txt": "b\n"})
        assert op.pull() is True
        git("pull", "-q", "--no-rebase", cwd=cli)
    if step == "push":
        crlf = "one\r\ntwo\r\n"
        write(op.local_dir, {"a.txt": crlf})
        op.push()
        write(cli, {"a.txt": crlf})
        assert served.tree()["a.txt"][1] == git("hash-object", "--path=a.txt", "a.txt", cwd=cli).strip()
        assert served.show("a.txt") == "one\ntwo\n"
    else:
        for name in git("ls-files", cwd=cli).split():
            assert Path(op.local_dir, name).read_bytes() == Path(cli, name).read_bytes(), name
        assert b"\r\n" in Path(op.local_dir, "x.bat").read_bytes()
    assert status(op.local_dir) == []


# ---- 18: a large file goes from its pack to the disk a piece at a time -----------------------------

LARGE = 17 << 20  # above the size from which a blob is no longer held whole


def large_text(tag):
    """LARGE bytes of text that compresses well (quick to send), different for each tag."""
    line = f"{tag} " + "x" * 90 + "\n"
    return line * (LARGE // len(line)) + f"end of {tag}\n"


def traced_peak(call):
    import tracemalloc

    tracemalloc.start()
    try:
        result = call()
        return result, tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("case", ["clone", "pull of a new file", "pull of a file changed a little",
                                  "refused over a local edit", "push of a new file"])
def test_large_files(server, tmp_path, make, case):
    new = case.endswith("new file")
    served = Served(server, tmp_path, files={"a.txt": "one\n"} if new else {"a.txt": "one\n", "big.txt": large_text("old")})
    op = make(served.url)
    before = local_head(op)
    if case == "push of a new file":
        write(op.local_dir, {"big.txt": large_text("new"), "a.txt": "two\n"})
        op.push()
        assert served.tree()["big.txt"][1] == git("hash-object", "big.txt", cwd=op.local_dir).strip()
        fsck(op.local_dir)
        return
    if case != "clone":
        served.commit({"big.txt": large_text("new")} if case == "pull of a new file" else
                      {"big.txt": large_text("old").replace("end of old", "end of new")})
    if case == "refused over a local edit":
        write(op.local_dir, {"big.txt": "mine\n"})
        assert op.pull(accept_remote=False) is False
        assert "would be overwritten" in op.log.texts("error")[0]
        assert local_head(op) == before and read(op.local_dir, "big.txt") == "mine\n"
        return
    if case != "clone":
        result, peak = traced_peak(op.pull)
        assert result is True
        if case == "pull of a new file":
            assert peak < LARGE // 4  # never held whole
    assert local_head(op) == served.head()
    blob = git("rev-parse", "HEAD:big.txt", cwd=op.local_dir).strip()
    assert git("hash-object", "big.txt", cwd=op.local_dir).strip() == blob
    assert status(op.local_dir) == []
    fsck(op.local_dir)


# ---- 19: clone and pull write the working tree as git does -------------------------------------


def raw_git(*args, cwd, input=None):
    """The git CLI's output as bytes (paths that are not UTF-8 stay as they are)."""
    return subprocess.run(["git", *args], cwd=cwd, env=plain_env(), input=input, capture_output=True,
                          check=True).stdout


def snapshot(folder):
    """{path: ("file", contents, executable) | ("link", target) | ("empty folder",)}, .git aside."""
    top, out = os.fsencode(folder), {}
    for here, folders, files in os.walk(top):
        if here == top and b".git" in folders:
            folders.remove(b".git")
        for name in folders + files:
            path = os.path.join(here, name)
            key, st = os.path.relpath(path, top), os.lstat(path)
            if os.path.islink(path):
                out[key] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                if not os.listdir(path):
                    out[key] = ("empty folder",)
            else:
                with open(path, "rb") as f:
                    out[key] = ("file", f.read(), bool(st.st_mode & 0o100))
    return out


def seed_change(served, change, message):
    """`change(seed)` made in the seed's working copy, committed with git and pushed."""
    git("fetch", "-q", "origin", cwd=served.seed)
    git("reset", "-q", "--hard", f"origin/{served.branch}", cwd=served.seed)
    change(served.seed)
    git("add", "-A", cwd=served.seed)
    git("commit", "-q", "-m", message, cwd=served.seed)
    git("push", "-q", "origin", f"HEAD:refs/heads/{served.branch}", cwd=served.seed)
    git("repack", "-adq", cwd=served.path)  # what the server sends then holds deltas


def links(folder, **targets):
    for name, target in targets.items():
        os.symlink(target, os.path.join(folder, name))


def executable(folder, name, content):
    write(folder, {name: content})
    os.chmod(os.path.join(folder, name), 0o755)


def replace(folder, name, files):
    """`name` (a file, link or folder) removed, then `files` written."""
    path = os.path.join(folder, name)
    if os.path.isdir(path) and not os.path.islink(path):
        subprocess.run(["rm", "-rf", path], check=True)
    else:
        os.remove(path)
    write(folder, files)


# case: the commits the server gets one after another; the first is cloned, the others pulled
CHECKOUTS = {
    "modes and links": [
        lambda s: (executable(s, "run.sh", "#!/bin/sh\n"), write(s, {"docs/a.md": "a\n"}),
                   links(s, to_file="docs/a.md", to_folder="docs", dangling="nowhere")),
        lambda s: (os.chmod(os.path.join(s, "run.sh"), 0o644), executable(s, "docs/a.md", "now runs\n"),
                   os.remove(os.path.join(s, "to_file")), links(s, to_file="run.sh")),
    ],
    "a submodule": [
        lambda s: (git("init", "-q", os.path.join(s, "lib", "sub")),
                   git("commit", "-q", "--allow-empty", "-m", "sub", cwd=os.path.join(s, "lib", "sub"))),
    ],
    "line endings": [
        lambda s: write(s, {".gitattributes": "* text=auto\n*.bat eol=crlf\n*.sh eol=lf\n*.bin binary\nraw/** -text\n",
                            "a.txt": "one\ntwo\n", "x.bat": "x\ny\n", "y.sh": "y\n", "data.bin": "\0\n\1\n",
                            "raw/r.txt": "r\nr\n", "mixed.txt": "a\r\nb\n"}),
        lambda s: write(s, {"sub/.gitattributes": "*.txt eol=crlf\n", "sub/c.txt": "c\nd\n", "z.bat": "z\n"}),
    ],
    "names": [
        lambda s: (Path(s, os.fsdecode(b"\xff\xfe.txt")).write_text("not UTF-8\n"),
                   write(s, {"中文 名.txt": "n\n", "/".join(f"d{i}" for i in range(30)) + "/deep.txt": "deep\n"})),
    ],
    "a file becomes a folder and back": [
        lambda s: write(s, {"x": "a file\n", "keep/k.txt": "k\n"}),
        lambda s: replace(s, "x", {"x/y": "below\n", "x/z/w": "further\n"}),
        lambda s: replace(s, "x", {"x": "a file again\n"}),
    ],
    "a large file": [  # written a piece at a time from its pack
        lambda s: Path(s, "big.bin").write_bytes(os.urandom(17 << 20)),
        lambda s: Path(s, "big.bin").write_bytes(os.urandom(17 << 20) + b"x"),
    ],
    "similar files": [  # sent as deltas on deltas, then as deltas against what the clone has
        lambda s: write(s, {f"v/{i}.txt": "".join(f"line {k}\n" for k in range(300 + i)) for i in range(40)}),
        lambda s: write(s, {f"v/{i}.txt": "".join(f"line {k} again\n" for k in range(280 + i)) for i in range(0, 40, 3)}),
        # each a line longer: deltas on deltas in the pack, the first against the clone's
        lambda s: [Path(s, f"v/{i}.txt").write_text(Path(s, f"v/{i}.txt").read_text() + "one more\n")
                   for i in range(40)],
    ],
    "links as files": [  # core.symlinks=false, as on Windows: a file holding the target
        lambda s: write(s, {"a.txt": "a\n"}),
        lambda s: links(s, to_a="a.txt", away="../elsewhere"),
    ],
    "core.autocrlf": [
        lambda s: write(s, {"a.txt": "a\n"}),
        lambda s: write(s, {"b.txt": "b\nc\n", "crlf.txt": "d\r\ne\r\n", "bin.dat": "\0\n"}),
    ],
    "a folder becomes a link": [
        lambda s: write(s, {"d/a.txt": "a\n", "d/b/c.txt": "c\n", "target/t.txt": "t\n"}),
        lambda s: (replace(s, "d", {}), links(s, d="target")),
    ],
}
# The working copies' configuration, set once cloned.
CHECKOUT_CONFIG = {"links as files": {"core.symlinks": "false"}, "core.autocrlf": {"core.autocrlf": "true"}}
# Where dulwich's own checkout is not git's: a pull converts line endings by the
# attribute files the working tree had before it, and makes links whatever
# core.symlinks says; up to 1.2.16 a pull that turns a folder into a file fails
# ("Cannot replace non-empty directory with file").
DULWICH_DIFFERS = {"line endings", "links as files"} | ({"a file becomes a folder and back", "a folder becomes a link"}
                                      if dulwich.__version__ < (1, 2, 21) else set())


@pytest.mark.parametrize("case", CHECKOUTS)
def test_checkout_writes_what_git_writes(server, tmp_path, make, monkeypatch, case):
    served = Served(server, tmp_path, files={"README.md": "r\n"})
    steps = CHECKOUTS[case]
    seed_change(served, steps[0], "first")
    cli = str(tmp_path / "cli")
    git("clone", "-q", served.server.auth_url(served.name), cli)
    native = make(served.url)
    with monkeypatch.context() as patch:  # the platform's own clone: dulwich checks out
        patch.setattr(porcelain, "clone", lambda *a, real=porcelain.clone, **k: real(*a, **k))
        by_dulwich = make(served.url, warehouse_name="by_dulwich")
    by_dulwich.repo.close()  # and for its pulls, a repository of another class
    by_dulwich.repo = type("PlatformRepo", (Repo,), {})(by_dulwich.local_dir)
    for key, value in CHECKOUT_CONFIG.get(case, {}).items():
        for folder in (native.local_dir, by_dulwich.local_dir, cli):
            git("config", key, value, cwd=folder)
    for number, step in enumerate(steps):
        dulwich_done = True
        if number:
            if number == len(steps) - 1:  # a change staged (a while ago) beside what the last pull brings
                for folder in (native.local_dir, by_dulwich.local_dir, cli):
                    write(folder, {"staged.txt": "staged\n"})
                    os.utime(os.path.join(folder, "staged.txt"), (1_700_000_000, 1_700_000_000))
                    git("add", "staged.txt", cwd=folder)
            seed_change(served, step, f"step {number}")
            assert native.pull() is True
            dulwich_done = by_dulwich.pull()
            git("pull", "-q", "--no-rebase", cwd=cli)
        expected = snapshot(cli)
        assert snapshot(native.local_dir) == expected
        if case not in DULWICH_DIFFERS:
            assert dulwich_done is True and snapshot(by_dulwich.local_dir) == expected
        # git reads the index as it is: same entries, stat data matching every file (no
        # entry to hash, nothing to rewrite), cached trees that are the index's own
        folder = native.local_dir
        assert raw_git("ls-files", "-s", "-z", cwd=folder) == raw_git("ls-files", "-s", "-z", cwd=cli)
        index = Path(folder, ".git", "index")
        before = index.read_bytes(), os.stat(index).st_mtime_ns
        assert raw_git("status", "--porcelain", "-z", cwd=folder) == raw_git("status", "--porcelain", "-z", cwd=cli)
        assert (index.read_bytes(), os.stat(index).st_mtime_ns) == before
        assert raw_git("diff-files", "--name-only", "-z", cwd=folder) == b""
        bare_index = tmp_path / "index-without-cached-trees"
        bare_index.write_bytes(index.read_bytes())
        dulwich.index.Index(str(bare_index)).write()  # dulwich writes no TREE extension
        written = subprocess.run(["git", "write-tree"], cwd=folder, capture_output=True, check=True,
                                 env=plain_env({**os.environ, "GIT_INDEX_FILE": str(bare_index)})).stdout
        assert raw_git("write-tree", cwd=folder) == written
        fsck(folder)


# case: (what the working copy has, what the server's next commit does)
IN_THE_WAY = {
    "an untracked file where a folder comes": (
        lambda op, outside: write(op.local_dir, {"d": "mine\n"}),
        lambda served: served.commit({"d/x.txt": "theirs\n"})),
    "untracked files in a folder that becomes a file": (
        lambda op, outside: write(op.local_dir, {"sub/mine.txt": "mine\n"}),
        lambda served: seed_change(served, lambda s: replace(s, "sub", {"sub": "a file now\n"}), "sub is a file")),
    "a link made in place of a folder": (
        lambda op, outside: (replace(op.local_dir, "sub", {}), write(str(outside), {"b.txt": "bee\n"}),
                             os.symlink(outside, os.path.join(op.local_dir, "sub"))),
        lambda served: served.commit({"sub/b.txt": "theirs\n"})),
}


@pytest.mark.parametrize("accept_remote", [True, False])
@pytest.mark.parametrize("case", IN_THE_WAY)
def test_what_is_in_the_way_refuses_the_checkout(served, make, tmp_path, case, accept_remote):
    """Forced or not, a pull neither deletes what no commit holds nor writes through a
    link: it refuses before writing anything."""
    outside = tmp_path / "outside"
    outside.mkdir()
    op = make(served.url)
    local, remote = IN_THE_WAY[case]
    local(op, outside)
    remote(served)
    before, head, outside_before = snapshot(op.local_dir), local_head(op), snapshot(outside)
    assert op.pull(accept_remote=accept_remote) is False
    assert op.log.texts("error")[0].startswith("更新仓库失败: ")
    assert snapshot(op.local_dir) == before and local_head(op) == head and snapshot(outside) == outside_before
    assert discarded_refs(op.local_dir) == [] and op.log.texts("warning") == []  # nothing was discarded
