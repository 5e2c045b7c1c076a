import os
import ssl
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))

import pytest

import tamareltools.tamarels as tamarels


@pytest.fixture
def module():
    return tamarels


@pytest.fixture(scope="session")
def tls_context(tmp_path_factory):
    """A server-side TLS context with a self-signed certificate for localhost and
    127.0.0.1; the certificate file is its `cafile` attribute."""
    folder = tmp_path_factory.mktemp("tls")
    key, cert = folder / "key.pem", folder / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key),
                    "-out", str(cert), "-days", "1", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, capture_output=True)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(str(cert), str(key))
    context.cafile = str(cert)
    return context
