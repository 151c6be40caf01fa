"""Start-up on an empty registry, the files it leaves, and a clean stop."""
import re
import signal

from harness import KEY, ROOT, parse_registry

READ_ONLY = {"SmtpServerPort", "Pop3ServerPort", "SmtpSendPort"}


def test_fresh_start_writes_complete_registry_and_logs(korvanet, tmp_path):
    srv = korvanet({})
    tree = parse_registry(srv.registry)
    values = tree[KEY]
    for name, default in {"Timeout": 10, "ProxyPort": 3128, "AdminPort": 3129, "EnableCache": 1,
                          "ConnName": "(none)", "MailSendRcvTime": "00:05", "ProblemsTo": "problems.log",
                          "DemandDialSat": "00:00-23:59", "ParentProxyPort": 3128}.items():
        assert values[name] == default, name
    table = re.findall(r"^\s+(?:NUM|TEXT)\((\w+),", (ROOT / "config" / "settings.h").read_text(), re.M)
    assert len(table) > 90
    assert set(values) == set(table) - READ_ONLY
    assert (srv.logs_dir / "error.log").exists()
    assert (srv.logs_dir / "mail.log").exists()
    srv.proc.send_signal(signal.SIGINT)
    assert srv.proc.wait(10) == 0
    assert tree[KEY + "\\Groups"] == {} or "1" not in tree.get(KEY + "\\Groups", {})
    assert parse_registry(srv.registry)[KEY + "\\Status"]["iv"] == 10


def test_defaults_follow_the_installation_directory(korvanet, tmp_path):
    home = tmp_path / "home"
    srv = korvanet({}, home=home)
    srv.registry.write_text("Windows Registry Editor Version 5.00\n")  # nothing stored
    srv.stop()
    srv.start()
    values = parse_registry(srv.registry)[KEY]
    assert values["LogsDir"] == f"{home}/logs"
    assert values["CacheDir"] == f"{home}/cache"
    assert values["MailDir"] == f"{home}/mail"
    assert values["ProxyAutoconfig"] == f"{home}/proxy.pac"
    assert (home / "logs" / "error.log").exists()
