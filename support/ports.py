"""Loopback ports for servers the tests start and for connections meant to be refused."""

from __future__ import annotations

import socket


def free_loopback_port() -> int:
    """A port on 127.0.0.1 that nothing listened on a moment ago.

    Nothing holds it afterwards: a server about to bind it must be ready to try another, and a
    client connecting to it is refused at once.
    """
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
