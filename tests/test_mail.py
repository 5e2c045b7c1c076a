"""The error mail, delivered to a real SMTP server (STARTTLS and AUTH) on loopback."""

import email
import re
import email.policy
import smtplib
import socket
import threading
import types

import pytest
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

import tamareltools.tamarels as tamarels

T = tamarels.Tamarel


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Inbox:
    def __init__(self):
        self.messages = []
        self.logins = []
        self.arrived = threading.Event()

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((envelope.mail_from, envelope.rcpt_tos, envelope.content))
        self.arrived.set()
        return "250 OK"

    def authenticate(self, server, session, envelope, mechanism, auth_data):
        self.logins.append((auth_data.login.decode(), auth_data.password.decode()))
        return AuthResult(success=True)


@pytest.fixture
def inbox(tls_context, monkeypatch):
    box = Inbox()
    port = free_port()
    controller = Controller(box, hostname="127.0.0.1", port=port, tls_context=tls_context,
                            require_starttls=True, authenticator=box.authenticate, auth_require_tls=True)
    controller.start()
    connected = []

    def connect(host):
        connected.append(host)
        return smtplib.SMTP("127.0.0.1", port)

    monkeypatch.setattr(tamarels, "smtplib", types.SimpleNamespace(SMTP=connect))
    box.connected = connected
    yield box
    controller.stop()


def delivered(box):
    assert box.arrived.wait(20), "no mail arrived"
    mail_from, rcpt_tos, content = box.messages[0]
    message = email.message_from_bytes(content, policy=email.policy.default)
    body = message.get_payload()[0].get_payload(decode=True).decode()
    return mail_from, rcpt_tos, message, body


def failing():
    pass


def test_report_mail(inbox):
    try:
        raise ValueError("坏了")
    except ValueError as e:
        error = e
    assert T.s(failing, error, "Traceback ...", "alice", 1, x=2) is None
    mail_from, rcpt_tos, message, body = delivered(inbox)
    assert inbox.connected == [inbox.connected[0]] and inbox.connected[0]
    assert mail_from == message["From"] == message["To"] and rcpt_tos == [mail_from]
    assert inbox.logins == [(mail_from, inbox.logins[0][1])] and len(inbox.logins[0][1]) == 16
    assert message["Subject"] == "【Tamarel测试平台】"
    stamp = re.search(r"触发时间：(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)", body).group(1)
    field = "\n" + " " * 26
    expected = ("\n" + " " * 22 + "Tamarel测试平台管理员请注意查收:" + field + "触发用户：alice"
                + field + "触发时间：" + stamp + field + "错误函数：failing"
                + field + "异常类型: <class 'ValueError'>" + field + "错误提示: 坏了"
                + field + "错误详情：Traceback ..." + field + "参数list：(1,)" + field + "参数dict：{'x': 2}"
                + "\n" + " " * 12 + "\n" + " " * 22 + "*" * 34 + "\n" + " " * 22
                + "详细情况可前往Tamarel测试平台查看，非相关负责人员可忽略此消息。谢谢！" + "\n" + " " * 12
                + "\n" + " " * 68 + "-" * 11 + "Tamarel测试平台" + "\n" + " " * 22)
    assert body == expected


def test_content_replaces_the_body(inbox):
    T.s(failing, KeyError("k"), "tb", content="text")
    assert delivered(inbox)[3] == "text"


def test_empty_content_keeps_the_report(inbox):
    T.s(failing, KeyError("k"), "tb", content="")
    body = delivered(inbox)[3]
    assert "触发用户：None" in body and "参数dict：{'content': ''}" in body


def test_unreachable_server_is_silent(monkeypatch, capsys):
    port = free_port()
    monkeypatch.setattr(tamarels, "smtplib", types.SimpleNamespace(SMTP=lambda host: smtplib.SMTP("127.0.0.1", port)))
    errors = []
    monkeypatch.setattr(threading, "excepthook", lambda args: errors.append(args))
    before = set(threading.enumerate())
    assert T.s(failing, ValueError("x"), "tb") is None
    for thread in set(threading.enumerate()) - before:
        thread.join(20)
    assert errors == [] and capsys.readouterr() == ("", "")


def test_wrong_calls():
    with pytest.raises(TypeError, match=r"s\(\) missing 1 required positional argument: 'trace'"):
        T.s(failing, ValueError())
    with pytest.raises(TypeError, match="got multiple values for argument 'username'"):
        T.s(failing, ValueError(), "tb", "a", username="b")


@pytest.mark.parametrize("environment", [False, True])
def test_settings_from_the_environment(inbox, monkeypatch, environment):
    for name in ("TAMARELS_MAIL_SENDER", "TAMARELS_MAIL_HOST", "TAMARELS_MAIL_CODE"):
        monkeypatch.delenv(name, raising=False)
    if environment:
        monkeypatch.setenv("TAMARELS_MAIL_SENDER", "ops@example.net")
        monkeypatch.setenv("TAMARELS_MAIL_HOST", "smtp.example.net")
        monkeypatch.setenv("TAMARELS_MAIL_CODE", "zyxwvutsrqponmlk")
    T.s(failing, KeyError("k"), "tb")
    mail_from, rcpt_tos, message, _ = delivered(inbox)
    if environment:
        assert (mail_from, rcpt_tos, message["From"]) == ("ops@example.net", ["ops@example.net"], "ops@example.net")
        assert inbox.connected == ["smtp.example.net"]
        assert inbox.logins == [("ops@example.net", "zyxwvutsrqponmlk")]
    else:  # the build settings
        assert inbox.logins == [("tamarel-alerts@example.com", "aaaaaaaaaaaaaaaa")]
        assert inbox.connected == ["smtp.example.com"]
