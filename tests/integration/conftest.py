"""Fixtures of the black-box tests: korvanet starts servers (harness.Server),
origin makes loopback origin servers (peers.Origin), chromium finds the
headless browser. The helpers live in plain modules beside this file, imported
by name (this folder has no __init__.py, so pytest puts it on sys.path):
harness (the program and its registry file), clients (requests, credentials,
forms) and peers (the loopback peers)."""
import os
import shutil

import pytest

from harness import Server
from peers import Origin


@pytest.fixture
def korvanet(tmp_path):
    """Factory: korvanet(settings, lists=None, env=None) starts a server; every
    server started is stopped at the end of the test, and the test fails on
    what Server.problems finds."""
    servers = []

    def start(settings=None, lists=None, env=None, status=None, home=None, preexec=None):
        s = Server(home or tmp_path / f"kv{len(servers)}", settings or {}, lists, env, status, preexec)
        servers.append(s)
        return s.start()

    start.servers = servers  # for a test whose start was meant to fail
    yield start
    problems = []
    for s in servers:
        try:
            s.stop()
        except Exception:
            pass
        problems += s.problems()
    if problems:
        pytest.fail("\n\n".join(problems), pytrace=False)


@pytest.fixture
def origin():
    """Factory: origin(answer, port=0, keep_open=0, hold=False) starts a
    peers.Origin on loopback (the answer as that class says); every one made is
    closed at the end of the test."""
    made = []

    def make(*args, **kw):
        made.append(Origin(*args, **kw))
        return made[-1]

    yield make
    for o in made:
        o.close()


@pytest.fixture
def chromium():
    """The headless browser's program; the test is skipped without one, unless
    run as root (who can install it)."""
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    if os.geteuid() != 0:
        pytest.skip("chromium is not installed")
    pytest.fail("chromium is missing (scripts/install-deps.sh test installs it)")
