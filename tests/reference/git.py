"""The git working copy as the platform writes it in plain Python, and what the native
one shows of the texts it logs and raises: the plain text without the user
information of any URL and without the operator's own credentials."""

import base64
import os
import re
import traceback
from datetime import datetime
from urllib.parse import quote, quote_plus

from dulwich import porcelain
from dulwich.repo import Repo


class GitRepoOperator:
    def __init__(self, repo_url, root_path, log, username=None, password=None, warehouse_name="tamarel_pytest"):
        self.repo_url = repo_url
        self.local_dir = os.path.join(root_path, warehouse_name)
        self.username = username
        self.password = password
        self.log = log
        self.clone()
        self.repo = Repo(self.local_dir)

    def pull(self, commit_hash=None, accept_remote=True):
        if os.path.exists(self.local_dir):
            repo_info = self.get_repo_info()
            if commit_hash is None or repo_info["commit_hash"] != commit_hash:
                self.log.debug("目录已存在并且本地不是最新的，开始拉取更新...")
                return self.__update_repository(accept_remote=accept_remote)
            return None
        self.log.debug("目录不存在，开始克隆仓库...")
        os.makedirs(self.local_dir, exist_ok=True)
        return self.__clone_repository()

    def clone(self, force_clone=False):
        if os.path.exists(self.local_dir):
            if not force_clone and self.__is_current_repo():
                self.log.debug("目录已经是当前仓库，无需重新克隆")
                return True
            self.log.debug("⚠目录存在，删除后重新克隆...")
            import shutil
            shutil.rmtree(self.local_dir)
        os.makedirs(self.local_dir, exist_ok=True)
        return self.__clone_repository()

    def push(self, message="Tamarel测试平台提交", remote_name="origin", branch="master", force=True):
        if not os.path.exists(self.local_dir):
            raise FileNotFoundError("本地仓库目录不存在: " + str(self.local_dir))
        status = porcelain.status(self.repo)
        if not status.staged and not status.unstaged:
            self.log.debug("没有需要提交的更改")
            return None
        if status.unstaged or status.untracked:
            for path_bytes in status.unstaged + status.untracked:
                try:
                    path_str = path_bytes.decode("utf-8")
                    print(self.local_dir, path_str)
                    full_path = os.path.join(self.local_dir, path_str)
                    if os.path.exists(full_path):
                        porcelain.add(self.repo, paths=[full_path])
                except UnicodeDecodeError as e:
                    self.log.warning("无法解码文件路径: " + str(e))
        porcelain.commit(self.repo, message=message)
        self.log.info("提交成功: " + str(message))
        auth_url = self.__get_auth_url() or self.repo_url
        refspec = "refs/heads/" + str(branch) + ":refs/heads/" + str(branch)
        porcelain.push(self.repo, remote_location=auth_url, refspecs=refspec, force=force)
        self.log.info("推送成功到 " + str(remote_name) + "/" + str(branch))

    def get_file_last_commit_time(self, file_path):
        if not os.path.exists(self.local_dir):
            self.log.error("本地仓库目录不存在: " + str(self.local_dir))
            return None
        if os.path.isabs(file_path):
            file_path = os.path.relpath(file_path, self.local_dir)
        full_path = os.path.join(self.local_dir, file_path)
        if not os.path.exists(full_path):
            self.log.error("文件不存在: " + str(file_path))
            return None
        file_path = file_path.replace("\\", "/")
        for entry in self.repo.get_walker(paths=[file_path.encode("utf-8")], max_entries=1):
            return datetime.fromtimestamp(entry.commit.commit_time)
        return None

    def __is_current_repo(self):
        def normalize_url(url):
            url = url.replace(".git", "")
            if "://" in url:
                url = url.split("://", 1)[1]
            if "@" in url:
                url = url.split("@", 1)[1]
            return url.lower()

        try:
            if not os.path.exists(self.local_dir):
                return False
            git_dir = os.path.join(self.local_dir, ".git")
            if not os.path.exists(git_dir):
                return False
            config_path = os.path.join(git_dir, "config")
            if not os.path.exists(config_path):
                return False
            try:
                with open(config_path, "r", encoding="utf-8") as f:
                    content = f.read()
                if '[remote "origin"]' not in content:
                    return False
                in_origin_section = False
                url = None
                for line in content.split("\n"):
                    line = line.strip()
                    if line == '[remote "origin"]':
                        in_origin_section = True
                        continue
                    if line.startswith("[") and in_origin_section:
                        break
                    if in_origin_section and line.startswith("url ="):
                        url = line.split("=", 1)[1].strip()
                        break
                if not url:
                    return False
                return normalize_url(url) == normalize_url(self.repo_url)
            except Exception as e:
                self.log.error(f"读取config文件失败: {str(e)}, {traceback.print_exc()}")
                return False
        except Exception as e:
            self.log.error(f"检查仓库时出错: {str(e)}, {traceback.print_exc()}")
            return False

    def __get_auth_url(self):
        if self.username and self.password and self.repo_url.startswith("https://"):
            return self.repo_url.replace("https://", "https://" + str(self.username) + ":" + str(self.password) + "@")
        return self.repo_url

    def __clone_repository(self):
        auth_url = self.__get_auth_url()
        self.log.debug("开始克隆仓库: " + str(self.repo_url))
        self.log.debug("目标目录: " + str(self.local_dir))
        porcelain.clone(auth_url, self.local_dir, checkout=True)
        self.log.debug("仓库克隆成功!")
        return True

    def __update_repository(self, accept_remote=True):
        auth_url = self.__get_auth_url()
        head_ref = self.repo.refs.read_ref(b"HEAD")
        if head_ref:
            self.log.debug("当前分支: " + str(head_ref.decode().split("/")[-1]))
        else:
            self.log.debug("无法确定当前分支")
        self.log.debug("开始拉取远程更新...")
        try:
            fetch_result = porcelain.fetch(self.repo, remote_location=auth_url)
            if fetch_result.refs:
                self.log.debug("成功拉取更新")
                self.log.debug("获取到的对象: " + str(len(fetch_result.refs)))
                if accept_remote:
                    self.log.debug("将强制接受远程更改，放弃本地冲突文件")
                    porcelain.pull(self.repo, remote_location=auth_url, force=True)
                    self.log.debug("已强制合并远程更改")
                else:
                    try:
                        porcelain.pull(self.repo, remote_location=auth_url)
                        self.log.debug("成功合并更新")
                    except Exception as e:
                        if "DivergedBranches" in str(e):
                            self.log.debug("分支已分叉，需要手动解决冲突")
                            raise Exception("分支已分叉，需要手动解决冲突。如需强制接受远程更改，请设置 accept_remote=True")
                        raise e
            else:
                self.log.debug("仓库已经是最新版本，无需更新")
            return True
        except Exception as e:
            self.log.error("更新仓库失败: " + str(e))
            return False

    def get_repo_info(self):
        if not os.path.exists(self.local_dir):
            return None
        head_ref = self.repo.refs.read_ref(b"HEAD")
        commit_hash = "unknown"
        if head_ref:
            if head_ref.startswith(b"ref: refs/heads/"):
                branch_name = head_ref.decode("utf-8").split("/")[-1]
                branch_ref = self.repo.refs.read_ref(("refs/heads/" + str(branch_name)).encode())
                if branch_ref:
                    commit_hash = branch_ref.hex()[:8]
            else:
                commit_hash = head_ref.hex()[:8]
        is_dirty = self.__check_if_dirty(self.repo)
        active_branch = "unknown"
        if head_ref and head_ref.startswith(b"ref: refs/heads/"):
            active_branch = head_ref.decode("utf-8").split("/")[-1]
        return {"active_branch": active_branch, "commit_hash": commit_hash, "is_dirty": is_dirty,
                "remote_url": self.repo_url}

    def __check_if_dirty(self, repo):
        status = porcelain.status(repo)
        return len(status.staged) > 0 or len(status.unstaged) > 0


# ---- what is shown of a text ---------------------------------------------------------


def userinfo_spans(text):
    """(start, end) of the user information of each URL in a str or bytes: every "://"
    starts an authority that runs to the first "/", "?" or "#", or to the end of the
    text; its user information is what stands up to the last "@" in it, inclusive."""
    sep, ends, at = ("://", "/?#", "@") if isinstance(text, str) else (b"://", b"/?#", b"@")
    spans = []
    i = text.find(sep)
    while i >= 0:
        start = i + 3
        end = min([p for p in (text.find(ends[k:k + 1], start) for k in range(3)) if p >= 0], default=len(text))
        last_at = text.rfind(at, start, end)
        if last_at >= 0:
            spans.append((start, last_at + 1))
        i = text.find(sep, i + 1)
    return spans


def own_credentials(op):
    """The operator's credentials as texts show them, (dropped, masked): its user
    information as the URL holds it, percent-encoded or raw; its password alone, raw,
    percent-encoded with upper- or lower-case hex digits, each also with a space as "+"
    (quote_plus), and the base64 of "user:password" an Authorization header holds (of
    its UTF-8 and, where it has them, its Latin-1 bytes), with and without padding.
    Nothing when either is false or cannot be read or made text."""
    try:
        if not op.username or not op.password:
            return [], []
        user, password = str(op.username), str(op.password)
    except Exception:  # noqa: BLE001 - then no text can hold them
        return [], []

    def utf8(text):
        return text.encode("utf-8", "surrogatepass")

    def encoded(text, lower=False, plus=False):
        out = (quote_plus if plus else quote)(utf8(text), safe="")
        return re.sub("%[0-9A-F]{2}", lambda m: m[0].lower(), out) if lower else out

    pairs = [utf8(user + ":" + password)]
    try:
        pairs.append((user + ":" + password).encode("latin-1"))
    except UnicodeEncodeError:
        pass
    basic = [base64.b64encode(pair).decode() for pair in pairs]
    dropped = [encoded(user) + ":" + encoded(password) + "@", user + ":" + password + "@"]
    masked = [password] + [encoded(password, lower, plus) for lower in (False, True) for plus in (False, True)]
    masked += basic + [b.rstrip("=") for b in basic]
    return [d for d in dropped if d], [m for m in masked if m]


def shown(text, op=None):
    """`text` (str or bytes) as the native operator `op` shows it: the user information
    of its URLs and the operator's own user information dropped, the password masked,
    all found in the text as given; a run of masked characters becomes "***"."""
    if not isinstance(text, (str, bytes)):
        return text
    marks = [0] * len(text)  # 0 kept, 1 masked, 2 dropped

    def mark(start, end, how):
        for k in range(start, end):
            marks[k] = max(marks[k], how)

    for start, end in userinfo_spans(text):
        mark(start, end, 2)
    dropped, masked = own_credentials(op) if op is not None else ([], [])
    for needles, how in ((dropped, 2), (masked, 1)):
        for needle in needles:
            if isinstance(text, bytes):
                needle = needle.encode("utf-8", "surrogatepass")
            k = text.find(needle)
            while k >= 0:
                mark(k, k + len(needle), how)
                k = text.find(needle, k + len(needle))
    out = text[:0]
    masking = False
    for k, how in enumerate(marks):
        if how == 0:
            out += text[k:k + 1]
            masking = False
        elif how == 1 and not masking:
            out += "***" if isinstance(text, str) else b"***"
            masking = True
    return out


def error_text(e):
    """How a failure line names an error: its text, or its type where that is empty."""
    return str(e) or type(e).__name__
