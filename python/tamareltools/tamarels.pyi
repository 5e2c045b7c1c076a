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
from typing import Any

from dulwich import porcelain as porcelain
from dulwich.repo import Repo as Repo
from tamareltools.exceptions import TamarelToolsError as TamarelToolsError
from tamareltools.exceptions.error_msg import ERROR_MSG_0019 as ERROR_MSG_0019
from tamareltools.exceptions.error_msg import ERROR_MSG_0021 as ERROR_MSG_0021

__all__: list[str]
__test__: dict[str, Any]

class AsyncioThread(Thread):
    _loop: asyncio.AbstractEventLoop
    def __init__(self, loop: asyncio.AbstractEventLoop) -> None: ...
    def run(self) -> None: ...

class Tamarel:
    @staticmethod
    def v(v: Any, s: Any = None) -> None: ...
    @staticmethod
    def s_e(self: Any, e: str, v: str | dict[str, Any] | None = None) -> Any: ...
    @staticmethod
    def t() -> asyncio.AbstractEventLoop: ...
    @staticmethod
    def replace_str(self: Any, data: Any, m_0002: Any, tamarel_tools_error: type[BaseException]) -> Any: ...

class GitRepoOperator: ...
