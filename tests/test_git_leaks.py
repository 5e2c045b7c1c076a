"""The working copy's merge, gitlink and push paths, run many times on real
repositories (a bare remote on the local disk): no reference or memory growth."""

import hashlib
import io
import os
import shutil
import subprocess
import sys
import types
import zlib

import pytest
from dulwich import porcelain

import tamareltools.tamarels as tamarels
from helpers import Log
from leakcheck import assert_no_leaks

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="needs the git CLI")


def git(*args, cwd=None):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer runtime in git
    subprocess.run(["git", *args], cwd=cwd, env=env, stdin=subprocess.DEVNULL, check=True, capture_output=True)


@pytest.fixture
def remote(tmp_path, monkeypatch):
    config = tmp_path / "gitconfig"
    config.write_text("[user]\n\tname = Tester\n\temail = t@example.org\n[init]\n\tdefaultBranch = master\n"
                      "[protocol \"file\"]\n\tallow = always\n")
    monkeypatch.setenv("GIT_CONFIG_GLOBAL", str(config))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    monkeypatch.setattr(porcelain, "default_bytes_err_stream", io.BytesIO(), raising=False)
    bare, seed = str(tmp_path / "remote.git"), str(tmp_path / "seed")
    git("init", "-q", "--bare", bare)
    git("clone", "-q", bare, seed)
    (tmp_path / "seed" / "a.txt").write_text("one\n")
    git("add", "a.txt", cwd=seed)
    git("update-index", "--add", "--cacheinfo", f"160000,{'1' * 40},lib", cwd=seed)
    git("commit", "-q", "-m", "first", cwd=seed)
    (tmp_path / "seed" / "n.txt").write_text("theirs\n")
    git("add", "n.txt", cwd=seed)
    git("commit", "-q", "-m", "second", cwd=seed)
    git("push", "-q", "origin", "HEAD~1:refs/heads/master", cwd=seed)
    return bare, seed


@pytest.mark.skipif(sys.platform == "win32", reason="git's file transport and paths")
def test_no_leaks_on_real_repositories(remote, tmp_path, monkeypatch):
    bare, seed = remote
    op = tamarels.GitRepoOperator(bare, str(tmp_path / "work"), Log())
    # gitlink folder: get_repo_info asks the index and the submodule
    assert op.get_repo_info()["is_dirty"] is False
    assert_no_leaks(op.get_repo_info, repeat=100, allowed_bytes=200_000)

    # a fast-forward refused by an untracked file: fetch, merge checks, the refusal
    git("push", "-q", "origin", "HEAD:refs/heads/master", cwd=seed)
    (tmp_path / "work" / "tamarel_pytest" / "n.txt").write_text("mine\n")
    op.log = Log()
    assert op.pull(accept_remote=False) is False
    assert_no_leaks(op.pull, accept_remote=False, repeat=40, allowed_bytes=200_000)

    # a push to a remote that is gone: commit, the failed push, its commit taken back
    head = op.repo.head()
    op.repo_url = str(tmp_path / "gone.git")
    monkeypatch.setattr(tamarels, "print", lambda *a: None, raising=False)
    (tmp_path / "work" / "tamarel_pytest" / "a.txt").write_text("edited\n")
    with pytest.raises(Exception):
        op.push()
    assert op.repo.head() == head
    assert_no_leaks(op.push, repeat=30, allowed_bytes=300_000)
    assert op.repo.head() == head
    op.close()
    with op:
        pass
    assert_no_leaks(op.close, repeat=500)


@pytest.mark.skipif(sys.platform == "win32", reason="git's file transport and paths")
def test_no_leaks_in_what_a_pull_keeps_and_receives(remote, tmp_path, monkeypatch):
    bare, seed = remote
    op = tamarels.GitRepoOperator(bare, str(tmp_path / "work"), Log())
    op.log = types.SimpleNamespace(debug=len, info=len, warning=len, error=len)  # keeps no lines
    old = op.repo.head()
    git("push", "-q", "origin", "HEAD:refs/heads/master", cwd=seed)

    def forced_pull_over_local_work():
        # the branch back at the clone's commit, index and files at the remote's: the
        # pull keeps the staged n.txt in a commit of its own, then merges
        op.repo.refs[b"refs/heads/master"] = old
        assert op.pull() is True

    assert op.pull() is True
    forced_pull_over_local_work()
    assert any(name.startswith(b"refs/tamarel/discarded/") for name in op.repo.refs.keys())
    assert_no_leaks(forced_pull_over_local_work, repeat=40, allowed_bytes=100_000)

    # a pack received the way dulwich's fetch hands it over: one already there, one corrupt
    blob = b"received\n"
    body = b"PACK\0\0\0\2\0\0\0\1" + bytes([0x30 | len(blob)]) + zlib.compress(blob)
    packs = [body + hashlib.sha1(body).digest(), body + b"\0" * 20]

    def fetch(repo, remote_location=None, **kwargs):
        for data in packs:
            try:
                repo.object_store.add_thin_pack(io.BytesIO(data).read, None)
            except Exception:  # noqa: BLE001 - the corrupt one: a checksum mismatch
                pass
        return types.SimpleNamespace(refs={})

    monkeypatch.setattr(tamarels, "porcelain", types.SimpleNamespace(**{**vars(porcelain), "fetch": fetch}))
    assert op.pull() is True
    assert_no_leaks(op.pull, repeat=300, allowed_bytes=100_000)
    op.close()
