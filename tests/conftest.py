import ssl

import pytest
import trustme


@pytest.fixture(scope="session")
def tls_context(tmp_path_factory):
    """A server-side TLS context with a certificate for localhost and 127.0.0.1; the
    file of the authority that signed it is its `cafile` attribute."""
    authority = trustme.CA()
    certificate = authority.issue_cert("localhost", "127.0.0.1")
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    certificate.configure_cert(context)
    cafile = tmp_path_factory.mktemp("tls") / "ca.pem"
    authority.cert_pem.write_to_path(str(cafile))
    context.cafile = str(cafile)
    return context
