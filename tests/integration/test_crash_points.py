"""The registry and the cache survive kill -9: the server kills itself at named
points of a registry save and of a cache object's life (a test-build switch),
or is killed at random moments while it saves or stores. After each restart
the registry parses and holds either the old or the new settings with no
temporary file left beside it, no half-written object is ever served, and the
cache's totals equal its files."""
import signal
import struct
import threading
import time
from pathlib import Path

import pytest

from clients import admin_get, proxy_get
from harness import KEY, parse_registry, random_kill_plan

PROXY, ADMIN = 7158, 7159
BODY = b"".join(b"line %05d of the object\n" % i for i in range(2000))  # several relay blocks
ANSWER = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n" % len(BODY) + BODY
BASE = {"ProxyPort": PROXY, "AdminPort": ADMIN, "EnableCache": 1, "Timeout": 2}


def temp_files(srv):
    return [p.name for p in srv.home.glob("registry.reg.*") if p.name != "registry.reg.lock"]


def killed_at_start(korvanet, point, settings=None):
    """A server whose start dies at the point; the kill switch is then dropped."""
    env = {"KORVANET_TEST_KILL_POINT": point}
    with pytest.raises(RuntimeError, match="exited with -9"):
        korvanet(dict(BASE, **(settings or {})), env=env)
    return korvanet.servers[-1]


@pytest.mark.parametrize("point, new_settings", [("registry-temp-written", False), ("registry-renamed", True)])
def test_killed_registry_save_leaves_old_or_new_file(korvanet, point, new_settings):
    srv = killed_at_start(korvanet, point, {"Timeout": 7})
    values = parse_registry(srv.registry)[KEY]
    assert values["Timeout"] == 7
    # The start writes every setting back: only the new file has the defaults.
    assert ("ConnName" in values) == new_settings
    assert len(temp_files(srv)) == (0 if new_settings else 1)
    del srv.env["KORVANET_TEST_KILL_POINT"]
    srv.start()
    assert temp_files(srv) == []
    assert parse_registry(srv.registry)[KEY]["Timeout"] == 7


def disk_totals(cache_dir):
    files = [p for p in Path(cache_dir).glob("*.dns/*.cch")]
    return sum(p.stat().st_size for p in files), len(files)


def status_totals(cache_dir):
    t = struct.unpack("<8i", (Path(cache_dir) / "status.bin").read_bytes()[:32])
    return t[0], t[4]


@pytest.mark.parametrize("point", ["cache-object-open", "cache-before-complete", "cache-complete"])
def test_killed_cache_write_never_serves_half_an_object(korvanet, origin, point):
    o = origin(ANSWER)
    url = f"http://127.0.0.1:{o.port}/object"
    srv = korvanet(dict(BASE), env={"KORVANET_TEST_KILL_POINT": point})
    try:
        proxy_get(PROXY, url, timeout=10)
    except OSError:
        pass
    assert srv.proc.wait(10) == -signal.SIGKILL
    del srv.env["KORVANET_TEST_KILL_POINT"]
    srv.start()
    before = o.count()
    for _ in range(2):
        assert proxy_get(PROXY, url, timeout=10) == ANSWER
    # A complete object may be served from the cache; any other is fetched anew.
    assert o.count() - before == (0 if point == "cache-complete" else 1)
    srv.stop()
    cache_dir = srv.settings["CacheDir"]
    assert status_totals(cache_dir) == disk_totals(cache_dir)


def test_random_kills_while_saving_and_storing(korvanet, origin):
    """Kills at random moments (ten unless KORVANET_RANDOM_KILLS says) of a
    stream of saves and fetches."""
    rounds, rng, seed = random_kill_plan(10)
    o = origin(lambda path, n: ANSWER)
    srv = korvanet(dict(BASE))
    ports = (4001, 4002)
    for round_ in range(rounds):
        stop = threading.Event()

        def work():
            i = 0
            while not stop.is_set():
                i += 1
                try:
                    admin_get(ADMIN, f"/admin/config/apply?__PROXY__=&ProxyPort={ports[i % 2]}&Save=+++Save++",
                              timeout=2)
                    proxy_get(PROXY, f"http://127.0.0.1:{o.port}/r{round_}-{i % 5}", timeout=2)
                except OSError:
                    pass

        workers = [threading.Thread(target=work) for _ in range(2)]
        for w in workers:
            w.start()
        time.sleep(rng.uniform(0.05, 0.6))
        srv.proc.send_signal(signal.SIGKILL)
        srv.proc.wait(10)
        stop.set()
        for w in workers:
            w.join()
        values = parse_registry(srv.registry)[KEY]  # parses: old or new, never half
        assert values["ProxyPort"] in (PROXY,) + ports, (seed, round_)
        srv.registry.write_text(srv.registry.read_text().replace(f'"ProxyPort"=dword:{values["ProxyPort"]:08x}',
                                                                f'"ProxyPort"=dword:{PROXY:08x}'))
        srv.start()
        assert temp_files(srv) == [], (seed, round_)
        for i in range(5):
            assert proxy_get(PROXY, f"http://127.0.0.1:{o.port}/r{round_}-{i}", timeout=10) == ANSWER, (seed, round_)
    srv.stop()
    cache_dir = srv.settings["CacheDir"]
    assert status_totals(cache_dir) == disk_totals(cache_dir), seed
