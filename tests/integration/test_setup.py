"""The installer seen from outside: an installation into a scratch image root,
its status lines, files, unit, menu entries and registry records; a second
installation over the first; the refusals; a server that must be stopped
first. Every test checks that nothing outside its root changed."""
import os
import shutil
import signal
import subprocess
import time

import pytest

import clients
from harness import ROOT, parse_registry, registry_file_text
from installer import (BIN_DIR, INSTDIR, LOGROTATE, MENU_DIR, MENU_FILES, MODES, NOTE, PRODUCT_KEY,
                       PROGRAM_FILES, REGISTRY, UNINSTALL_KEY, UNINSTALLED, UNIT, WANTS_LINK, LockHolder,
                       SystemWatch, run_kvuninst, run_setup, tree, unit_keys, wait_for)

FRESH_STATUS = ("Preparing Setup...\nChecking for previous installation...\nCreating destination directory...\n"
                "Copying files...\nCreating new Korvanet service...\nSetup\nCreating program group...\nSetup\n")
STOP_FAILED_DESKTOP = "Failed to stop Korvanet application.\nSetup program can't continue.\nInstallation failed!\n"
STOP_FAILED_SERVICE = ("Failed to stop service. Error code : 0x041d\nSetup can't continue while service is running.\n"
                       "Installation failed!\n")


@pytest.fixture
def root(tmp_path):
    watch = SystemWatch()
    r = tmp_path / "root"
    r.mkdir()
    yield r
    assert watch.changed() == []


def installed(root, name, instdir=INSTDIR):
    return root / instdir.strip("/") / name


def expected_unit(instdir=INSTDIR):
    lines = (ROOT / "setup" / "korvanet.service.in").read_text().replace("@INSTDIR@", instdir).split("\n")
    return "\n".join(line for line in lines if line != "SupplementaryGroups=dip")  # no dip group in the image


def registry(root):
    return parse_registry(root / REGISTRY)


def test_fresh_install(root, tmp_path):
    r = run_setup(root)
    assert (r.returncode, r.stdout, r.stderr) == (0, FRESH_STATUS + NOTE, "")

    for name in PROGRAM_FILES:
        target = installed(root, name)
        assert target.read_bytes() == (BIN_DIR / name).read_bytes(), name
        assert target.stat().st_mode & 0o7777 == MODES.get(name, 0o644), name
    uninstaller = root / "usr/local/sbin/kvuninst"
    assert uninstaller.read_bytes() == (BIN_DIR / "kvuninst").read_bytes()
    assert uninstaller.stat().st_mode & 0o7777 == 0o755
    assert (BIN_DIR / "Admin.url").read_text() == "[InternetShortcut]\nURL=http://localhost:3129/admin\n"

    unit = (root / UNIT).read_text()
    assert unit == expected_unit()
    keys = unit_keys(unit)
    assert keys["ExecStart"] == "/opt/korvanet/korvanet --service"
    assert (keys["Type"], keys["User"], keys["Group"], keys["WantedBy"]) == (
        "notify", "korvanet", "korvanet", "multi-user.target")
    assert os.readlink(root / WANTS_LINK) == "/etc/systemd/system/korvanet.service"

    menu = {name: unit_keys((root / MENU_DIR / name).read_text()) for name in MENU_FILES}
    assert sorted(os.listdir(root / MENU_DIR)) == sorted(MENU_FILES)
    assert menu["korvanet.desktop"] == {"Version": "1.0", "Type": "Application", "Name": "Korvanet 1.5",
                                        "Exec": "/opt/korvanet/korvanet", "Terminal": "true",
                                        "Categories": "Network;"}
    assert menu["korvanet-readme.desktop"] == {"Version": "1.0", "Type": "Link", "Name": "Read Me",
                                               "URL": "file:///opt/korvanet/ReadMe.txt"}
    assert menu["korvanet-uninstall.desktop"] == {"Version": "1.0", "Type": "Application",
                                                  "Name": "Uninstall Korvanet", "Exec": "kvuninst",
                                                  "Terminal": "true", "Categories": "Network;"}
    assert menu["korvanet-admin.desktop"] == {"Version": "1.0", "Type": "Link", "Name": "Korvanet Administration",
                                              "URL": "http://localhost:3129/admin"}
    if shutil.which("desktop-file-validate"):
        for name in MENU_FILES:
            check = subprocess.run(["desktop-file-validate", str(root / MENU_DIR / name)], capture_output=True,
                                   text=True)
            assert (check.returncode, check.stdout) == (0, ""), name

    values = registry(root)
    assert values[PRODUCT_KEY] == {"InstDir": "/opt/korvanet/", "LogsDir": "/var/log/korvanet/",
                                   "CacheDir": "/var/cache/korvanet/", "MailDir": "/var/spool/korvanet/"}
    assert values[UNINSTALL_KEY] == {"DisplayName": "Korvanet 1.5", "UninstallString": "kvuninst"}
    for place, mode in (("var/log/korvanet", 0o750), ("var/cache/korvanet", 0o750), ("var/spool/korvanet", 0o700)):
        assert (root / place).stat().st_mode & 0o7777 == mode, place

    rules = (root / LOGROTATE).read_text()
    for log in ("http-proxy.log", "error.log", "mail.log", "security.log", "dial.log"):
        assert f'"/var/log/korvanet/{log}"' in rules
    for word in ("weekly", "rotate 8", "compress", "delaycompress", "missingok", "notifempty", "sharedscripts",
                 "systemctl reload korvanet.service"):
        assert word in rules
    if shutil.which("logrotate"):
        check = subprocess.run(["logrotate", "-d", "-s", str(tmp_path / "logrotate.state"), str(root / LOGROTATE)],
                               capture_output=True, text=True)
        assert check.returncode == 0, check.stderr
    # No user, no owner changes, no systemctl below an image root.
    assert not (root / "etc/passwd").exists() and not (root / "etc/group").exists()


def test_dip_line_and_quoted_program_path(root):
    (root / "etc").mkdir()
    (root / "etc/group").write_text("root:x:0:\ndipper:x:5:\ndip:x:30:\n")
    instdir = "/opt/Korvanet 1.5/"
    r = run_setup(root, "--dir", " /opt/Korvanet 1.5// ", "--no-menu")
    assert r.returncode == 0, r.stderr
    unit = unit_keys((root / UNIT).read_text())
    assert unit["SupplementaryGroups"] == "dip"
    assert unit["ExecStart"] == '"/opt/Korvanet 1.5/korvanet" --service'
    assert registry(root)[PRODUCT_KEY]["InstDir"] == instdir
    assert installed(root, "korvanet", instdir).exists()


def test_second_install_keeps_pac_and_configuration(root):
    assert run_setup(root).returncode == 0
    pac = installed(root, "proxy.pac")
    pac.write_text("function FindProxyForURL(u, h) { return \"DIRECT\"; }\n")
    installed(root, "config.htm").write_text("old help")
    text = (root / REGISTRY).read_text() + f'\n[{PRODUCT_KEY}\\Users]\n"1"="000<|>root<|>x<|>900:<|>"\n'
    (root / REGISTRY).write_text(text.replace('"/var/log/korvanet/"', '"/srv/logs/"'))

    r = run_setup(root, "--keep-config")
    assert (r.returncode, r.stderr) == (0, "")
    # The unit exists now: it is configured, not created.
    assert "Configuring Korvanet service...\nSetup\n" in r.stdout and "Creating new" not in r.stdout
    assert pac.read_text() == "function FindProxyForURL(u, h) { return \"DIRECT\"; }\n"
    assert installed(root, "config.htm").read_bytes() == (BIN_DIR / "config.htm").read_bytes()
    values = registry(root)
    assert values[PRODUCT_KEY]["LogsDir"] == "/srv/logs/"
    assert values[PRODUCT_KEY + "\\Users"] == {"1": "000<|>root<|>x<|>900:<|>"}
    assert '"/srv/logs/error.log"' in (root / LOGROTATE).read_text()
    assert not (root / "srv").exists()  # a directory the admin chose is not made


def test_new_config_forgets_only_the_product_key(root):
    (root / "etc/korvanet").mkdir(parents=True)
    text = registry_file_text({"ProxyPort": 8080, "LogsDir": "/srv/logs/"}, {"Users": ["000<|>root<|>x<|><|>"]},
                              {"iv": 10})
    text += '\n[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Other]\n"Kept"="yes"\n'
    (root / REGISTRY).write_text(text)
    r = run_setup(root, "--new-config", "--no-menu")
    assert (r.returncode, r.stderr) == (0, "")
    values = registry(root)
    assert values[PRODUCT_KEY] == {"InstDir": "/opt/korvanet/", "LogsDir": "/var/log/korvanet/",
                                   "CacheDir": "/var/cache/korvanet/", "MailDir": "/var/spool/korvanet/"}
    assert not [k for k in values if k.startswith(PRODUCT_KEY + "\\")]
    assert values["HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Other"] == {"Kept": "yes"}


@pytest.mark.parametrize("iv, moved", [(None, True), (9, True), (10, False)])
def test_old_cache_moved_aside_by_layout_version(root, iv, moved):
    (root / "etc/korvanet").mkdir(parents=True)
    (root / REGISTRY).write_text(registry_file_text({}, status={"iv": iv} if iv is not None else {"Hit": 1}))
    cache = installed(root, "Cache")
    cache.mkdir(parents=True)
    (cache / "Status.log").write_text("old")
    r = run_setup(root, "--no-menu")
    assert r.returncode == 0, r.stderr
    assert ("Checking for previous installation...\nBackup old cache directory...\nCreating destination"
            in r.stdout) == moved
    assert (installed(root, "cache.old") / "Status.log").exists() == moved
    assert (cache / "Status.log").exists() != moved


def test_application_then_service_in_a_new_directory(root):
    assert run_setup(root).returncode == 0
    r = run_setup(root, "--application")
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith("Preparing Setup...\nDeleting Korvanet Service ...\nChecking for previous")
    assert "Copying files...\nCreating program group...\nSetup\n" in r.stdout
    assert not (root / UNIT).exists() and not os.path.lexists(root / WANTS_LINK)

    r = run_setup(root, "--service", "--dir", "/srv/kv")
    assert (r.returncode, r.stderr) == (0, "")
    assert "Creating new Korvanet service...\nSetup\n" in r.stdout
    assert (root / UNIT).read_text() == expected_unit("/srv/kv/")
    assert os.readlink(root / WANTS_LINK) == "/etc/systemd/system/korvanet.service"
    menu = {n: unit_keys((root / MENU_DIR / n).read_text()) for n in MENU_FILES}
    assert menu["korvanet.desktop"]["Exec"] == "/srv/kv/korvanet"
    assert menu["korvanet-readme.desktop"]["URL"] == "file:///srv/kv/ReadMe.txt"
    assert registry(root)[PRODUCT_KEY]["InstDir"] == "/srv/kv/"


def test_no_menu_leaves_the_menu_alone(root):
    (root / MENU_DIR).mkdir(parents=True)
    (root / MENU_DIR / "korvanet-old.desktop").write_text("[Desktop Entry]\n")
    r = run_setup(root, "--application", "--no-menu")
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == ("Preparing Setup...\nChecking for previous installation...\nCreating destination directory..."
                        "\nCopying files...\nSetup\n" + NOTE)
    assert os.listdir(root / MENU_DIR) == ["korvanet-old.desktop"]
    assert not (root / UNIT).exists()
    # Entries of an older installation are replaced by the four when they are made.
    assert run_setup(root, "--application").returncode == 0
    assert sorted(os.listdir(root / MENU_DIR)) == sorted(MENU_FILES)


@pytest.mark.parametrize("args, status, stderr", [
    (["--dir", "   "], 2, "Please, enter destination directory.\n"),
    (["--dir", "opt/korvanet"], 2, "Please, enter destination directory.\n"),
    (["--dir", "/" + "k" * 259], 2, "Please, enter destination directory.\n"),
    (["--dir", "/opt/kv\nExecStartPre=/bin/sh"], 2, "Please, enter destination directory.\n"),
    (["--dir", "/ab"], 1, "Setup failed to create destination directory {root}/ab. Click OK to exit Setup.\n"),
    (["--dir", "/"], 1, "Setup failed to create destination directory {root}. Click OK to exit Setup.\n"),
    (["--dir", "/file/kv"], 1, "Setup failed to create destination directory {root}/file/kv. Click OK to exit "
     "Setup.\n"),
    (["--bogus"], 2, "{usage}"),
    (["--dir"], 2, "{usage}"),
    (["--no-menu", "--no-menu"], 2, "{usage}"),
    (["--service", "--application"], 2, "{usage}"),
    (["--keep-config", "--new-config"], 2, "{usage}"),
])
def test_refused_command_lines_touch_nothing(root, args, status, stderr):
    (root / "file").write_text("a regular file")
    usage = ("usage: setup [--root DIR] [--dir DIR] [--service | --application] [--keep-config | --new-config] "
             "[--no-menu] [--source DIR]\n")
    r = run_setup(root, *args)
    if status == 1:
        assert r.stdout.endswith("Creating destination directory...\n")
        stderr += "Installation failed!\n"
    else:
        assert r.stdout == ""
    assert (r.returncode, r.stderr) == (status, stderr.format(root=root, usage=usage))
    assert tree(root) == ["file"]


def test_root_must_be_a_directory(tmp_path):
    usage = "usage: setup [--root DIR] [--dir DIR] [--service | --application] [--keep-config | --new-config] " \
            "[--no-menu] [--source DIR]\n"
    (tmp_path / "file").write_text("x")
    for root in (tmp_path / "missing", tmp_path / "file"):
        r = run_setup(root)
        assert (r.returncode, r.stdout, r.stderr) == (2, "", usage)
    assert sorted(os.listdir(tmp_path)) == ["file"]


def test_missing_source_file_stops_after_what_was_copied(root, tmp_path):
    source = tmp_path / "source"
    source.mkdir()
    for name in ("korvanet", "kvuninst", "config.htm", "proxy.pac", "Admin.url"):
        shutil.copy(BIN_DIR / name, source / name)
    r = run_setup(root, "--source", str(source))
    assert r.returncode == 1
    assert r.stdout.endswith("Creating destination directory...\nCopying files...\n")
    assert r.stderr == (f"Failed to copy file {root}/opt/korvanet/ReadMe.txt (code 2). Click OK to exit Setup.\n"
                        "Installation failed!\n")
    assert sorted(os.listdir(installed(root, ""))) == ["config.htm", "korvanet", "proxy.pac"]
    assert (root / "usr/local/sbin/kvuninst").exists()
    assert not (root / UNIT).exists() and not (root / REGISTRY).exists()


@pytest.mark.parametrize("content", [
    "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Tarnwick\\Korvanet]\n"
    "\"InstDir\"=\"/opt/kor".encode(),                                          # cut short
    "Windows Registry Editor Version 5.00\n\n[x]\n".encode("utf-16"),           # another encoding
    b"\x00\xffjunk\n[not a registry",
])
def test_unparsable_registry_is_left_byte_for_byte(root, content):
    (root / "etc/korvanet").mkdir(parents=True)
    (root / REGISTRY).write_bytes(content)
    r = run_setup(root)
    assert (r.returncode, r.stdout, r.stderr) == (1, "Preparing Setup...\n", "Installation failed!\n")
    r = run_kvuninst(root, "--all")
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == f"Failed to open registry\n\nReason: {root / REGISTRY} is not a registry file\n"
    assert (root / REGISTRY).read_bytes() == content
    assert tree(root) == ["etc", "etc/korvanet", "etc/korvanet/registry.reg"]


def test_a_registry_reached_through_a_link_is_never_used(root, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "registry.reg").write_text(registry_file_text({"InstDir": "/opt/korvanet/"}))
    (root / "etc").mkdir()
    (root / "etc/korvanet").symlink_to(outside)
    before = (outside / "registry.reg").read_bytes()
    r = run_setup(root)
    assert (r.returncode, r.stdout, r.stderr) == (1, "Preparing Setup...\n", "Installation failed!\n")
    assert run_kvuninst(root, "--all").returncode == 1
    assert (outside / "registry.reg").read_bytes() == before and os.listdir(outside) == ["registry.reg"]
    assert tree(root) == ["etc", f"etc/korvanet -> {outside}"]


def test_a_unit_that_cannot_be_removed_stops_both_programs(root):
    assert run_setup(root, "--no-menu").returncode == 0
    (root / UNIT).unlink()
    (root / UNIT / "stuck").mkdir(parents=True)  # a directory in the unit's place
    r = run_setup(root, "--application", "--no-menu")
    assert (r.returncode, r.stdout) == (1, "Preparing Setup...\nDeleting Korvanet Service ...\n")
    assert r.stderr == ("Failed to delete service. Error code : 0x0015\n\nSetup can't continue without removing "
                        "service.\nInstallation failed!\n")
    before = tree(root)
    r = run_kvuninst(root, "--all")
    assert (r.returncode, r.stdout) == (1, "Working, please wait ...\n")
    assert r.stderr == "Failed to delete service\n\nReason: Is a directory\n"
    assert tree(root) == before


# --- a running server ----------------------------------------------------------------------

def start_installed(program, registry, log):
    env = {k: v for k, v in os.environ.items() if k != "KORVANET_HOME"}
    env["KORVANET_REGISTRY"] = str(registry)
    with open(log, "wb") as out:
        proc = subprocess.Popen([str(program)], env=env, stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
    assert wait_for(lambda: " Korvanet\n" in log.read_text() or proc.poll() is not None), log.read_text()
    assert proc.poll() is None, log.read_text()
    return proc


def test_installed_server_runs_and_is_stopped_by_a_new_setup(root, tmp_path):
    """The installed program serves its own help page; kvuninst refuses while
    it runs; a new setup stops it; kvuninst then removes the installation."""
    data = tmp_path / "data"
    data.mkdir()
    reg = tmp_path / "registry.reg"
    reg.write_text(registry_file_text({"LogsDir": str(data / "logs"), "CacheDir": str(data / "cache"),
                                       "MailDir": str(data / "mail")}))
    env = {"KORVANET_REGISTRY": str(reg)}
    assert run_setup(root, "--application", env=env).returncode == 0
    server = start_installed(installed(root, "korvanet"), reg, tmp_path / "server.out")
    try:
        page = clients.admin_get(3129, "/admin/config/content/help", source="127.0.0.1")
        assert (BIN_DIR / "config.htm").read_bytes() in page

        r = run_kvuninst(root, "--all", env=env)
        assert (r.returncode, r.stdout, r.stderr) == (1, "", "Korvanet is running. You must stop it first.\n")
        assert installed(root, "korvanet").exists() and reg.exists()

        started = time.monotonic()
        r = run_setup(root, "--application", env=env)
        assert (r.returncode, r.stderr) == (0, ""), r.stdout
        assert r.stdout.startswith("Preparing Setup...\nStopping Korvanet Application ...\n"
                                   "Stopping Korvanet ...(please, wait)\nChecking for previous installation...\n")
        assert server.wait(5) == 0 and time.monotonic() - started < 8
        assert "Korvanet is stopped.\n" in (tmp_path / "server.out").read_text()
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
    # The server's last save and setup's records are both in the file.
    values = parse_registry(reg)[PRODUCT_KEY]
    assert values["InstDir"] == INSTDIR and values["ProxyPort"] == 3128

    r = run_kvuninst(root, "--remove-logs", env=env)
    assert (r.returncode, r.stdout, r.stderr) == (0, "Working, please wait ...\n" + UNINSTALLED, "")
    assert not installed(root, "").exists() and not (root / UNIT).exists()
    # The data places are taken under the image root: these, outside it, stay.
    assert (data / "logs" / "error.log").exists()


def test_lock_holder_that_ignores_sigterm(root):
    """The one full wait: 50 looks 200 ms apart, then the failure text, and
    nothing installed."""
    (root / "etc/korvanet").mkdir(parents=True)
    holder = LockHolder(root / REGISTRY, "PID", ignore_term=True)
    try:
        started = time.monotonic()
        r = run_setup(root)
        elapsed = time.monotonic() - started
        assert holder.alive()
    finally:
        holder.close()
    assert 9.5 < elapsed < 20
    assert (r.returncode, r.stderr) == (1, STOP_FAILED_DESKTOP)
    assert r.stdout == "Preparing Setup...\nStopping Korvanet Application ...\nStopping Korvanet ...(please, wait)\n"
    assert tree(root) == ["etc", "etc/korvanet", "etc/korvanet/registry.reg.lock"]


@pytest.mark.parametrize("text, ignore_term, status, stderr", [
    ("PID s", True, "Stoping Korvanet Service ...\n", STOP_FAILED_SERVICE),
    ("junk", False, "Stopping Korvanet Application ...\nStopping Korvanet ...(please, wait)\n", STOP_FAILED_DESKTOP),
    ("1 s", False, "Stoping Korvanet Service ...\n", STOP_FAILED_SERVICE),
])
def test_holder_that_does_not_stop(root, text, ignore_term, status, stderr):
    """Junk or pid 1 in the lock file is never signalled: the wait (shortened
    here) ends in the failure text."""
    (root / "etc/korvanet").mkdir(parents=True)
    holder = LockHolder(root / REGISTRY, text, ignore_term)
    try:
        r = run_setup(root, env={"KORVANET_TEST_STOP_LOOKS": "2"})
        assert holder.alive()  # without ignore_term a SIGTERM would have ended it: none was sent
    finally:
        holder.close()
    assert (r.returncode, r.stdout, r.stderr) == (1, "Preparing Setup...\n" + status, stderr)
    assert not (root / "opt").exists()


def test_a_pid_that_does_not_hold_the_lock_is_never_signalled(root):
    (root / "etc/korvanet").mkdir(parents=True)
    bystander = subprocess.Popen(["sleep", "30"])
    holder = LockHolder(root / REGISTRY, str(bystander.pid))  # a number left by someone else
    try:
        r = run_setup(root, env={"KORVANET_TEST_STOP_LOOKS": "2"})
        assert bystander.poll() is None and holder.alive()
    finally:
        holder.close()
        bystander.kill()
        bystander.wait()
    assert (r.returncode, r.stderr) == (1, STOP_FAILED_DESKTOP)


def test_service_holder_stopped_and_sigterm_aborts_the_wait(root):
    (root / "etc/korvanet").mkdir(parents=True)
    holder = LockHolder(root / REGISTRY, "PID s")
    r = run_setup(root, "--no-menu")
    holder.close()
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith("Preparing Setup...\nStoping Korvanet Service ...\nChecking for previous")

    stubborn = LockHolder(root / REGISTRY, "PID", ignore_term=True)
    try:
        proc = subprocess.Popen([str(BIN_DIR / "setup"), "--root", str(root)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True,
                                env={k: v for k, v in os.environ.items() if k != "KORVANET_REGISTRY"})
        assert proc.stdout.readline() == "Preparing Setup...\n"
        time.sleep(0.3)
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=5)
    finally:
        stubborn.close()
    assert (proc.returncode, err) == (1, "Installation was aborted!\n")
    assert out == "Stopping Korvanet Application ...\nStopping Korvanet ...(please, wait)\n"


# --- kvuninst ----------------------------------------------------------------------------

def install_with_data(root):
    """A full installation whose data directories hold some files."""
    assert run_setup(root).returncode == 0
    for place in ("var/log/korvanet", "var/cache/korvanet/ab", "var/spool/korvanet/bob"):
        (root / place).mkdir(parents=True, exist_ok=True)
        (root / place / "data.txt").write_text("data")


def test_uninstall_by_default_keeps_data_and_configuration(root):
    install_with_data(root)
    r = run_kvuninst(root)
    assert (r.returncode, r.stdout, r.stderr) == (0, "Working, please wait ...\n" + UNINSTALLED, "")
    assert not (root / UNIT).exists() and not os.path.lexists(root / WANTS_LINK)
    assert not (root / LOGROTATE).exists() and os.listdir(root / MENU_DIR) == []
    assert not installed(root, "").exists()
    assert (root / "usr/local/sbin/kvuninst").exists()
    values = registry(root)
    assert UNINSTALL_KEY not in values and values[PRODUCT_KEY]["LogsDir"] == "/var/log/korvanet/"
    for place in ("var/log/korvanet", "var/cache/korvanet/ab", "var/spool/korvanet/bob"):
        assert (root / place / "data.txt").exists()


@pytest.mark.parametrize("option, gone", [
    ("--remove-logs", {"log"}), ("--remove-mail", {"spool"}), ("--remove-cache", {"cache"}),
    ("--remove-config", set()), ("--all", {"log", "spool", "cache"}),
])
def test_uninstall_options_remove_what_they_name(root, option, gone):
    install_with_data(root)
    (root / f"{REGISTRY}.lock").write_text("")  # left by a server that ran once
    r = run_kvuninst(root, option)
    assert (r.returncode, r.stderr) == (0, "")
    for place in ("log", "cache", "spool"):
        assert (root / "var" / place / "korvanet").exists() != (place in gone), place
        assert (root / "var" / place).exists()
    config_gone = option in ("--remove-config", "--all")
    assert (root / REGISTRY).exists() != config_gone
    assert (root / f"{REGISTRY}.lock").exists() != config_gone


def test_uninstall_all_keeps_other_keys_of_the_file(root):
    install_with_data(root)
    with open(root / REGISTRY, "a") as f:
        f.write('\n[HKEY_LOCAL_MACHINE\\Software\\Other]\n"Kept"="yes"\n')
    assert run_kvuninst(root, "--all").returncode == 0
    assert registry(root) == {"HKEY_LOCAL_MACHINE\\Software\\Other": {"Kept": "yes"}}


def test_uninstall_walk_never_follows_links_nor_takes_system_directories(root, tmp_path):
    outside = tmp_path / "outside"
    (outside / "deep").mkdir(parents=True)
    (outside / "deep" / "precious.txt").write_text("keep")
    install_with_data(root)
    cache = root / "var/cache/korvanet"
    (cache / "to-dir").symlink_to(outside)
    (cache / "to-file").symlink_to(outside / "deep" / "precious.txt")
    (cache / "sub" / "tools").mkdir(parents=True)
    (cache / "sub" / "tools" / "setup").write_text("kept at every depth")
    (cache / "sub" / "gone.txt").write_text("x")
    (cache / "line\nbreak").write_text("x")
    (root / "srv").symlink_to(outside)  # MailDir's parent is a link: never entered
    (root / "var/log/syslog").write_text("the system's own log")
    text = (root / REGISTRY).read_text().replace('"/var/log/korvanet/"', '"/var/log/"')
    (root / REGISTRY).write_text(text.replace('"/var/spool/korvanet/"', '"/srv/deep"'))

    r = run_kvuninst(root, "--all")
    assert r.returncode == 0
    assert r.stderr == "Failed to remove Mail directory\n\nReason: Not a directory\n"
    assert (root / "var/log/syslog").exists() and (root / "var/log/korvanet/data.txt").exists()
    assert (outside / "deep" / "precious.txt").read_text() == "keep"
    assert tree(cache) == ["sub", "sub/tools", "sub/tools/setup"]


def test_uninstall_without_instdir_and_with_a_foreign_file(root):
    install_with_data(root)
    (installed(root, "mine.txt")).write_text("the admin's")
    r = run_kvuninst(root)
    assert r.returncode == 0
    assert os.listdir(installed(root, "")) == ["mine.txt"]

    install_with_data(root)
    text = (root / REGISTRY).read_text().replace('"InstDir"="/opt/korvanet/"\n', "")
    (root / REGISTRY).write_text(text)
    r = run_kvuninst(root, "--remove-cache")
    assert (r.returncode, r.stdout) == (0, "Working, please wait ...\n" + UNINSTALLED)
    assert sorted(os.listdir(installed(root, ""))) == sorted(PROGRAM_FILES + ("mine.txt",))
    assert not (root / UNIT).exists() and not (root / "var/cache/korvanet").exists()


def test_uninstall_keeps_what_registry_paths_outside_the_rules_name(root):
    install_with_data(root)
    (root / "korvanet").write_text("a file in the root itself")
    (root / "logs").mkdir()
    text = (root / REGISTRY).read_text().replace('"/opt/korvanet/"', '"/"')
    text = text.replace('"/var/log/korvanet/"', '"logs"').replace('"/var/spool/korvanet/"', '"/var/spool/korvanet/../.."')
    (root / REGISTRY).write_text(text.replace('"/var/cache/korvanet/"', '"/usr/local/"'))
    r = run_kvuninst(root, "--all")
    assert (r.returncode, r.stdout, r.stderr) == (0, "Working, please wait ...\n" + UNINSTALLED, "")
    for kept in ("korvanet", "logs", "var/spool/korvanet/bob/data.txt", "var/cache/korvanet/ab/data.txt",
                 "opt/korvanet/korvanet", "usr/local/sbin/kvuninst"):
        assert (root / kept).exists(), kept
    assert not (root / REGISTRY).exists()


@pytest.mark.parametrize("text, message", [
    ("PID", "Korvanet is running. You must stop it first.\n"),
    ("PID s", "Service Korvanet is running. You must stop Korvanet service first.\n"),
])
def test_uninstall_refuses_while_a_server_runs(root, text, message):
    install_with_data(root)
    holder = LockHolder(root / REGISTRY, text)
    before = tree(root)
    try:
        r = run_kvuninst(root, "--all")
    finally:
        holder.close()
    assert (r.returncode, r.stdout, r.stderr) == (1, "", message)
    assert tree(root) == before


@pytest.mark.parametrize("args", [["--bogus"], ["--all", "--all"], ["--remove-logs", "-x"]])
def test_uninstall_usage(root, tmp_path, args):
    usage = ("usage: kvuninst [--root DIR] [--remove-logs] [--remove-mail] [--remove-cache] [--remove-config] "
             "[--all]\n")
    install_with_data(root)
    before = tree(root)
    r = run_kvuninst(root, *args)
    assert (r.returncode, r.stdout, r.stderr) == (2, "", usage)
    r = run_kvuninst(tmp_path / "missing")
    assert (r.returncode, r.stdout, r.stderr) == (2, "", usage)
    assert tree(root) == before
