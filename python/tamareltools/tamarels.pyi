"""Typed interface of tamareltools.tamarels, for editors and type checkers."""

import asyncio
import copy as copy
import json as json
import os as os
import re as re
import shutil as shutil
import smtplib as smtplib
import sys as sys
import threading as threading
import traceback as traceback
import uuid as uuid
from datetime import datetime as datetime
from email.mime.multipart import MIMEMultipart as MIMEMultipart
from email.mime.text import MIMEText as MIMEText
from pathlib import Path as Path
from threading import Thread as Thread
from collections.abc import Iterable, Mapping
from types import TracebackType
from typing import Any, Protocol, Self, TypedDict

from dulwich import porcelain as porcelain
from dulwich.repo import Repo as Repo
from tamareltools.exceptions import TamarelToolsError as TamarelToolsError
from tamareltools.exceptions.error_msg import ERROR_MSG_0019 as ERROR_MSG_0019
from tamareltools.exceptions.error_msg import ERROR_MSG_0021 as ERROR_MSG_0021

__all__ = [
    "Tamarel",
    "test",
    "get",
    "post",
    "put",
    "delete",
    "inside_post",
    "inside_put",
    "inside_delete",
    "GitRepoOperator",
    "pytest_test_case",
    "read_allure_json_results",
    "delete_allure_results",
    "ass",
    "build_decision_tree",
    "get_execution_order_with_config_ids",
]
__test__: dict[str, Any]

class AsyncioThread(Thread):
    _loop: asyncio.AbstractEventLoop
    def __init__(self, loop: asyncio.AbstractEventLoop) -> None: ...
    def run(self) -> None: ...

class Tamarel:
    @staticmethod
    def s(func: Any, error: BaseException, trace: Any, username: Any = None, *args: Any, **kwargs: Any) -> None: ...
    @staticmethod
    def v(v: Any, s: Any = None) -> None: ...
    @staticmethod
    async def a_e(self: Any, e: str, v: str | dict[str, Any] | None = None) -> Any: ...
    @staticmethod
    def s_e(self: Any, e: str, v: str | dict[str, Any] | None = None) -> Any: ...
    @staticmethod
    def t() -> asyncio.AbstractEventLoop: ...
    @staticmethod
    def add_from_data(self: Any) -> list[Any]: ...
    @staticmethod
    def edit_form_data(self: Any, row: Any, form_data: Any, methods: Any) -> list[Any]: ...
    @staticmethod
    def put_save_data(self: Any, row: Any, data: dict[str, Any]) -> Any: ...
    @staticmethod
    def post_save_data(self: Any, data: Any) -> Any: ...
    @staticmethod
    def regular(self: Any, func: str, error_type: type[BaseException], m022: Any, m023: Any) -> Any: ...
    @staticmethod
    def replace_str(self: Any, data: Any, m_0002: Any, tamarel_tools_error: type[BaseException]) -> Any: ...

class _Logger(Protocol):
    def debug(self, message: str, /) -> object: ...
    def info(self, message: str, /) -> object: ...
    def warning(self, message: str, /) -> object: ...
    def error(self, message: str, /) -> object: ...

# One local working copy of one remote repository, kept in step through dulwich.
class GitRepoOperator:
    repo_url: str
    local_dir: str
    username: str | None
    password: str | None
    log: _Logger
    repo: Repo
    lock_timeout: float
    def __init__(
        self,
        repo_url: str,
        root_path: str | os.PathLike[str],
        log: _Logger,
        username: str | None = None,
        password: str | None = None,
        warehouse_name: str = "tamarel_pytest",
    ) -> None: ...
    def pull(self, commit_hash: str | None = None, accept_remote: bool = True) -> bool | None: ...
    def clone(self, force_clone: bool = False) -> bool: ...
    def push(
        self, message: str = "Tamarel测试平台提交", remote_name: str = "origin", branch: str = "master", force: bool = True
    ) -> None: ...
    def get_file_last_commit_time(self, file_path: str | os.PathLike[str]) -> datetime | None: ...
    def get_repo_info(self) -> _RepoInfo | None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

class _RepoInfo(TypedDict):
    active_branch: str
    commit_hash: str
    is_dirty: bool
    remote_url: str

# REST view handlers: the view instance (or class) positionally, everything else as
# keywords (request, response_data, log, message entries, model and error classes).
def test(self: Any, **kwargs: Any) -> None: ...
def get(self: Any, **kwargs: Any) -> Any: ...
def post(self: Any, **kwargs: Any) -> Any: ...
def put(self: Any, **kwargs: Any) -> Any: ...
def delete(self: Any, **kwargs: Any) -> Any: ...
def inside_post(cls: Any, **kwargs: Any) -> dict[str, Any]: ...
def inside_put(cls: Any, **kwargs: Any) -> dict[str, Any]: ...
def inside_delete(cls: Any, **kwargs: Any) -> None: ...

# Pytest runs with allure results.
def pytest_test_case(**kwargs: Any) -> list[dict[str, Any]]: ...
def read_allure_json_results(results_dir: str | os.PathLike[str]) -> list[dict[str, Any]]: ...
def delete_allure_results(results_dir: str | os.PathLike[str]) -> None: ...

# Assertion dispatcher.
def ass(self: Any, method: str, actual: Any, expect: Any = None, **kwargs: Any) -> Any: ...

# Flow documents: {"nodes": [...], "edges": [...]}.
_Node = Mapping[str, Any]
_Edge = Mapping[str, Any]

def find_start_node(nodes: Iterable[_Node], edges: Iterable[_Edge]) -> _Node | None:
    """找到开始节点（没有入边的节点）"""
def build_flow_graph(edges: Iterable[_Edge]) -> dict[Any, list[Any]]:
    """构建流程图的有向图结构"""
def get_node_by_id(nodes: Iterable[_Node], node_id: Any) -> _Node | None:
    """根据节点ID获取节点信息"""
def find_end_nodes(nodes: Iterable[_Node], edges: Iterable[_Edge]) -> list[Any]:
    """找到结束节点（没有出边的节点）"""
def build_decision_tree(flow_data: Mapping[str, Any]) -> dict[str, Any] | None:
    """构建决策树，显示条件分支结构"""
def get_execution_order_with_config_ids(flow_data: Mapping[str, Any]) -> list[Any]: ...
