"""The working copy's merge, gitlink and push paths, run many times on real
repositories (a bare remote on the local disk): no reference or memory growth."""

import io
import os
import shutil
import subprocess
import sys

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
