import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


@pytest.fixture
def net():
    if not harness.can_run():
        pytest.skip("needs root and iproute2 to make network namespaces")
    n = harness.Network()
    try:
        yield n
    finally:
        reports = []
        try:
            n.close_daemons()
            reports = n.sanitizer_reports()
        finally:
            n.close()
    if reports:
        pytest.fail("sanitizer reports from lyrd:\n" + "\n".join(
            "--- host %s, %s\n%s" % r for r in reports), pytrace=False)


@pytest.fixture
def host(net):
    """One host with only loopback."""
    return net.add_host("a")
