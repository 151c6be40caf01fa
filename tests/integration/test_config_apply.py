"""The configuration apply step seen from a browser: forms taken from the pages
the server serves, submitted as a browser would (GET, blanks as '+'), and the
registry file read back; the restart from the admin pages; and a headless
browser adding a user through the users page."""
import os
import re
import shutil
import signal
import socket
import subprocess
import time

from clients import admin_get, basic, listening, select_options, submission
from devtools import Browser
from harness import ADMINS_ONLY, KEY, digest, parse_registry

ADMIN, PROXY = 7329, 7328
ROOT = basic("root", "rootpw")


def get(path, auth=None):
    return admin_get(ADMIN, path, auth, source="127.0.0.1")


def start_admin(korvanet, settings=None, lists=None):
    base = {"AdminPort": ADMIN, "ProxyPort": PROXY, "LogAccess": 1}
    base.update(settings or {})
    return korvanet(base, lists=lists)


def page(path):
    answer = get(path, ROOT)
    assert answer.startswith(b"HTTP/1.0 200 "), answer[:200]
    return answer


def location(answer):
    m = re.search(rb"\r\nLocation: (\S+)\r\n", answer)
    assert m, answer[:300]
    return m.group(1).decode()


def press(path, button, **values):
    """Loads the page, presses the button; returns the apply's answer."""
    return get(submission(page(path), button, **values), ROOT)


def registry(server):
    return parse_registry(server.registry)


def settings_of(server):
    return registry(server)[KEY]


def records(server, key):
    return list(registry(server).get(KEY + "\\" + key, {}).values())


def start(korvanet, settings=None, lists=None):
    base = {k: list(v) for k, v in ADMINS_ONLY.items()}
    base.update(lists or {})
    return start_admin(korvanet, settings, base)


# --- Save: every section writes its fields --------------------------------

SAVES = [
    # (page, form values, expected registry values)
    ("proxy", {"ProxyPort": "abc", "LogAccess": False}, {"ProxyPort": PROXY, "LogAccess": 0}),
    ("proxy", {"ProxyPort": "4000", "LogAccess": True}, {"ProxyPort": 4000, "LogAccess": 1}),
    ("cache", {"EnableCache": False, "CacheSize": "25", "HttpTTL": "x1"},
     {"EnableCache": 0, "CacheSize": 25, "HttpTTL": 20}),
    ("cache", {"IgnoreNoCache": True}, {"IgnoreNo_Cache": 1}),
    ("network", {"Telnet": True, "TelnetPort": "2323", "NewsServer": "news.example"},
     {"Telnet": 1, "TelnetPort": 2323, "NewsServer": "news.example"}),
    ("mail/server", {"MailSendRcvType": "every", "MailSendRcvTime": "7:5 9:30 word 100:00 5:60 :7 8 7:99999999999 -1:5 99:59 6:x"},
     {"MailSendRcvType": 1, "MailSendRcvTime": "07:05 09:30 00:07 08:00 99:59 06:00 "}),
    ("mail/server", {"MailSendRcvType": "at", "ExceptWeekends": True},
     {"MailSendRcvType": 0, "ExceptWeekends": 1}),
    ("mail/tunnel", {"InternetSMTPServer": "out.example", "LocalSMTPServer": "in.example"},
     {"SMTP1": "out.example", "SMTP2": "in.example"}),
    ("mail/advanced", {"SMTPAuthUser": "au", "SMTPAuthPass": "p&w+d %"},
     {"SmtpAuthUser": "au", "SmtpAuthPass": "p&w+d %"}),
    ("advanced", {"EnableBackground": False, "ParentProxyUsername": 'a"b<c>&d', "Timeout": "30"},
     {"UseBackground": 0, "ParentProxyUsername": 'a"b<c>&d', "Timeout": 30}),
    ("security", {"LogSecurity": True}, {"LogSecurity": 1}),
]


def test_save_writes_each_section(korvanet):
    server = start(korvanet)
    for name, values, expected in SAVES:
        answer = press("/admin/config/content/" + name, "Save", **dict(values))
        assert answer == f"HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/config/content/{name}\r\n\r\n".encode(), name
        saved = settings_of(server)
        for key, value in expected.items():
            assert saved[key] == value, (name, key, saved[key])
    # A stored text with quotes and markup shows escaped and saves back unchanged.
    assert b'VALUE="a&quot;b&lt;c&gt;&amp;d"' in page("/admin/config/content/advanced")
    press("/admin/config/content/advanced", "Save")
    assert settings_of(server)["ParentProxyUsername"] == 'a"b<c>&d'
    # Saved settings wait for a restart: the proxy still listens on its old port.
    socket.create_connection(("127.0.0.1", PROXY), timeout=5).close()


# --- list buttons, Cancel, membership -------------------------------------

def user_names(server):
    return sorted(r.split("<|>")[1] for r in records(server, "Users"))


def test_users_add_cancel_and_mismatch(korvanet):
    server = start(korvanet)
    users = "/admin/config/content/users"
    press(users, "Add_user", NewUser="carol", NewPassword="pw1", NewConfirm="pw2")
    assert b"carol" not in page(users)
    answer = press(users, "Add_user", NewUser="carol", NewPassword="pw1", NewConfirm="pw1")
    assert location(answer) == users
    assert b"<OPTION>carol" in page(users)
    # Cancel throws the unsaved add away.
    answer = press(users, "CancelA")
    assert location(answer) == users
    assert b"carol" not in page(users)
    press(users, "Add_user", NewUser="carol", NewPassword="pw1", NewConfirm="pw1")
    press(users, "Save")
    assert user_names(server) == ["bob", "carol", "root"]
    carol = [r for r in records(server, "Users") if "<|>carol<|>" in r][0]
    assert digest("carol", "pw1") in carol
    press(users, "Remove_user", ItemUser="carol")
    press(users, "Save")
    assert user_names(server) == ["bob", "root"]


def test_membership_from_the_forms(korvanet):
    server = start(korvanet)
    groups = "/admin/config/content/groups"
    press(groups, "Add_group", NewGroup="Staff Team")
    # Members on the groups page opens the group view of the selected group.
    answer = press(groups, "Members", ItemGroup="Staff Team")
    assert location(answer) == ("/admin/config/content/showmembership?nikdo=neco&Show_members=Members"
                                "&ItemMember=Staff%20Team")
    view = page(location(answer))
    assert b"Staff Team" in view
    get(submission(view, "AddToGroup", NonMemberOf="bob"), ROOT)
    view = page(location(answer))
    get(submission(view, "Save"), ROOT)
    staff = [r for r in records(server, "Groups") if r.split("<|>")[1] == "Staff Team"][0]
    staff_id = staff.split("<|>")[0]
    bob = [r for r in records(server, "Users") if "<|>bob<|>" in r][0]
    assert f"{staff_id}:" in bob.split("<|>")[3]
    # The user view: Member Of on the users page, then remove from the group.
    answer = press("/admin/config/content/users", "MemberOf", ItemUser="bob")
    assert location(answer) == ("/admin/config/content/showmembership?Show_memberof=Member+of"
                                "&ItemMemberOf=bob")
    view = page(location(answer))
    get(submission(view, "RemoveFromUser", MemberOf="Staff Team"), ROOT)
    get(submission(page(location(answer)), "Save"), ROOT)
    bob = [r for r in records(server, "Users") if "<|>bob<|>" in r][0]
    assert f"{staff_id}:" not in bob.split("<|>")[3]
    # Admins cannot be removed.
    press(groups, "Remove_group", ItemGroup="Admins")
    press(groups, "Remove_group", ItemGroup="Staff Team")
    press(groups, "Save")
    assert [r.split("<|>")[1] for r in records(server, "Groups")] in ([], ["Admins"])
    assert select_options(page(groups), "ItemGroup") == ["Admins"]


def test_long_membership_redirect_is_whole(korvanet):
    start(korvanet)
    name = "g" * 100
    press("/admin/config/content/groups", "Add_group", NewGroup=name)
    answer = press("/admin/config/content/groups", "Members", ItemGroup=name)
    assert location(answer).endswith("&ItemMember=" + name)


def test_access_rules_and_members(korvanet):
    server = start(korvanet)
    access = "/admin/config/content/access"
    press("/admin/config/content/groups", "Add_group", NewGroup="Staff")
    press(access, "Add_access", AddItem="http://one.example/*")
    press(access, "Add_access", AddItem="http://two.example/*")
    press(access, "UrlUp_access", AccessItem="http://two.example/*")
    listed = select_options(page(access), "AccessItem")
    assert listed.index("http://two.example/*") < listed.index("http://one.example/*")
    # Edit lands on the editor; its form adds bob and the Admins group.
    edit_answer = press(access, "Edit_access", AccessItem="http://one.example/*")
    assert edit_answer.startswith(b"HTTP/1.0 200 ")
    get(submission(edit_answer, "AddToAccess", NonMemberOf="bob"), ROOT)
    editor = page("/admin/config/content/edit")
    get(submission(editor, "AddToAccess", NonMemberOf="[Staff]"), ROOT)
    get(submission(page("/admin/config/content/edit"), "Save"), ROOT)
    rules = {r.split("<|>")[0]: r.split("<|>")[1] for r in records(server, "Access")}
    assert rules["http://one.example/*"] == "001:901:"
    get(submission(page("/admin/config/content/edit"), "RemoveFromAccess", MemberOf="bob"), ROOT)
    press(access, "Remove_access", AccessItem="http://two.example/*")
    press(access, "Save")
    rules = {r.split("<|>")[0]: r.split("<|>")[1] for r in records(server, "Access")}
    assert rules["http://one.example/*"] == "901:"
    assert "http://two.example/*" not in rules


def test_pop3_add_edit_remove(korvanet):
    server = start(korvanet)
    pop3 = "/admin/config/content/mail/pop3"
    press(pop3, "Add_mail", RemotePOP3User="ann", RemotePOP3Server="pop.example", POP3Password="pw",
          KorvanetAccount="bob")
    item = "ann@pop.example (ann@pop.example) >> bob"
    assert b"ann@pop.example (ann@pop.example) &gt;&gt; bob" in page(pop3)
    answer = press(pop3, "Edit_mail", AccountListItem=item)
    assert answer == (b"HTTP/1.0 302 Redirect\r\nPragma: no-cache\r\nContent-Length: 0\r\nConnection: close\r\n"
                      b"Location: /admin/config/content/mail/pop3edit\r\n\r\n")
    editor = page("/admin/config/content/mail/pop3edit")
    answer = get(submission(editor, "Save", RemotePOP3Server="pop2.example", KorvanetAccount="root"), ROOT)
    assert location(answer) == "/admin/config/content/mail/pop3"
    # The editor still finds the account it has just changed.
    assert b'VALUE="pop2.example"' in page("/admin/config/content/mail/pop3edit")
    saved = records(server, "Pop3")
    assert len(saved) == 1 and "pop2.example" in saved[0] and "root" in saved[0]
    # A Save of the list page afterwards leaves the edited account alone.
    press(pop3, "Save")
    assert records(server, "Pop3") == saved
    # Edit with nothing selected and Remove with a broken item close without an answer.
    assert get("/admin/config/apply?__MAILPOP3__=&Edit_mail=Edit", ROOT) == b""
    assert get("/admin/config/apply?__MAILPOP3__=&AccountListItem=nobrackets&Remove_mail=Remove", ROOT) == b""
    press(pop3, "Remove_mail", AccountListItem="ann@pop2.example (ann@pop.example) >> root")
    press(pop3, "Save")
    assert records(server, "Pop3") == []


def test_links_ips_and_ttls(korvanet):
    server = start(korvanet)
    maplink, cttl, network = ("/admin/config/content/" + n for n in ("maplink", "cttl", "network"))
    press(maplink, "Add_link", LocalPort="8110", RemoteHost="pop.example", RemotePort="110")
    press(maplink, "Add_link", LocalPort="8111", RemoteHost="", RemotePort="110")
    press(cttl, "Add_ttl", AddItem="5@http://*.example/*")
    press(network, "Save")
    assert [r.split("<|>")[:3] for r in records(server, "Links")] == [["8110", "pop.example", "110"]]
    assert any("http://*.example/*" in r for r in records(server, "TTLs"))
    links = select_options(page(maplink), "LinkListItem")
    assert len(links) == 1
    press(maplink, "Remove_link", LinkListItem=links[0])
    ttls = select_options(page(cttl), "Item")
    assert len(ttls) == 1
    press(cttl, "Remove_ttl", Item=ttls[0])
    press("/admin/config/content/security", "Add_ip", IPAddress="10.0.0.1-10.0.0.9")
    press(network, "Save")
    assert records(server, "Links") == [] and records(server, "TTLs") == []
    assert [r.split("<|>")[0] for r in records(server, "IP")] == ["10.0.0.1-10.0.0.9"]
    press("/admin/config/content/security", "Remove_ip", IPListItem="10.0.0.1-10.0.0.9")
    press(network, "Save")
    assert records(server, "IP") == []


def test_change_password(korvanet):
    server = start(korvanet)
    users = "/admin/config/content/users"
    head = b"HTTP/1.0 200 \r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n"
    title = b"<center><b><FONT SIZE=+1 COLOR=#0000BB>Change password</FONT></b></center><hr>\n"
    answer = get("/admin/config/apply?__ACCOUNTS__=&Change_passwd=Change+password", ROOT)
    assert answer.startswith(head) and title in answer
    assert answer.endswith(b"You must select a user from the User list."
                           b'<P><a href="/admin/config/content/users"><b>Back</b></a>')
    answer = press(users, "Change_passwd", ItemUser="bob", NewPassword="a", NewConfirm="b")
    assert b"New password and confirm password do not match.\n" in answer
    form = press(users, "Change_passwd", ItemUser="root")
    assert b'<INPUT TYPE="HIDDEN" NAME="ItemUser" VALUE="root"</FORM>\n' in form
    done = get(submission(form, "Change_passwd", NewPassword="new pw+&", NewConfirm="new pw+&"), ROOT)
    assert b"The password has been changed.\n" in done
    root = [r for r in records(server, "Users") if "<|>root<|>" in r][0]
    assert digest("root", "new pw+&") in root
    # Made in the live list too: the new password is good at once, the old one is not.
    assert get("/admin/user", basic("root", "new pw+&")).startswith(b"HTTP/1.0 200")
    assert get("/admin/user", ROOT).startswith(b"HTTP/1.0 401")


ODD_REQUESTS = [
    # (path, expected start of the answer)
    ("/admin/config/apply", b"HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/config/content/"),
    ("/admin/config/apply?Save=+++Save++", b"HTTP/1.0 301 "),
    ("/admin/config/apply?__PROXY__=&ProxyPort=99999999999&Save=+++Save++", b"HTTP/1.0 301 "),
    ("/admin/config/apply?__PROXY__=&ProxyPort=%00%&LogAccess=on&Save=+++Save++", b"HTTP/1.0 301 "),
    ("/admin/config/apply?__MAIL_SERVER__=&MailSendRcvTime=" + "1:1+" * 150 + "&Save=+++Save++", b"HTTP/1.0 301 "),
    ("/admin/config/apply?AddToAccess=&NonMemberOf=%5B", b"HTTP/1.0 301 "),
    ("/admin/config/apply?RemoveFromAccess=&MemberOf=%5B%5D", b"HTTP/1.0 301 "),
    ("/admin/config/apply?AddToGroup=&NonMemberOf=nobody", b"HTTP/1.0 301 "),
    ("/admin/config/apply?Remove_mail=Remove&AccountListItem=a+(b", b""),
    ("/admin/config/apply?Add_user=+++Add+++&NewUser=" + "x" * 300 + "&NewPassword=&NewConfirm=", b"HTTP/1.0 301 "),
    ("/admin/config/apply?Members=Members&ItemGroup=a%0D%0ALocation:+evil", b"HTTP/1.0 301 "),
]


def test_odd_requests_are_answered(korvanet):
    server = start(korvanet)
    for path, start_of_answer in ODD_REQUESTS:
        answer = get(path, ROOT)
        assert answer.startswith(start_of_answer), (path, answer[:200])
        assert b"\r\nLocation: evil" not in answer
    saved = settings_of(server)
    assert saved["ProxyPort"] == PROXY and saved["LogAccess"] == 1
    times = saved["MailSendRcvTime"]
    assert times.startswith("01:01 01:01 ") and len(times) <= 198
    long_user = [r for r in records(server, "Users") if "<|>xxx" in r]
    assert user_names(server) == ["bob", "root"] and not long_user
    # The server is still there.
    assert page("/admin/config/content/proxy")


def test_registry_write_failure(korvanet):
    server = start(korvanet)
    server.registry.unlink()
    server.registry.mkdir()
    (server.registry / "keep").write_text("x")
    try:
        answer = press("/admin/config/content/proxy", "Save", ProxyPort="4000")
        assert answer == (b"HTTP/1.0 200 \r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n"
                          b"Can't write configuration to Registry<br>Use Registry editor to see what is wrong.")
        # The copy keeps the value.
        assert b'VALUE="4000"' in page("/admin/config/content/proxy")
    finally:
        shutil.rmtree(server.registry)


# --- restart ----------------------------------------------------------------

def test_restart_brings_saved_settings_live(korvanet):
    server = start(korvanet)
    old_pid = server.proc.pid
    new_port = PROXY + 100
    press("/admin/config/content/proxy", "Save", ProxyPort=str(new_port))
    assert not listening(new_port)
    answer = get("/admin/config/restart", ROOT)
    assert answer == b"HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/config/index\r\n\r\n"
    # The restart waits until the browser has fetched the menu it was sent to.
    time.sleep(1.5)
    assert server.proc.poll() is None and listening(PROXY) and get("/admin/config/content/proxy", ROOT)
    get("/admin/config/index", ROOT)
    lock = server.registry.parent / (server.registry.name + ".lock")
    try:
        server.proc.wait(15)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and not listening(new_port):
            time.sleep(0.05)
        assert listening(new_port)
        assert not listening(PROXY)
        assert int(lock.read_text().strip()) != old_pid
        assert server.output().count(" Korvanet\n") == 2
        assert "already running" not in server.output()
    finally:
        # The successor is not our child: stop it by the number it wrote into the lock file.
        text = lock.read_text().strip() if lock.exists() else ""
        new_pid = int(text) if text.isdigit() and int(text) != old_pid else None
        if new_pid:
            os.kill(new_pid, signal.SIGTERM)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                try:
                    os.kill(new_pid, 0)
                except ProcessLookupError:
                    break
                time.sleep(0.05)


def test_restart_argument_waits_for_the_old_process(korvanet, tmp_path):
    # A process number on the command line: the program starts only once that
    # process has ended (here a child of ours, left a zombie until collected).
    server = start(korvanet)
    server.stop()
    sleeper = subprocess.Popen(["sleep", "1.5"])
    out_path = tmp_path / "second.txt"
    with open(out_path, "wb") as out:
        second = subprocess.Popen([str(server.proc.args[0]), str(sleeper.pid)], env=server.env, stdout=out,
                                  stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and " Korvanet\n" not in out_path.read_text():
            if sleeper.poll() is None:
                assert " Korvanet\n" not in out_path.read_text()
            time.sleep(0.02)
        assert " Korvanet\n" in out_path.read_text()
        assert sleeper.poll() is not None
    finally:
        sleeper.wait()
        second.send_signal(signal.SIGTERM)
        second.wait(10)


# --- a real browser adds a user through the users page ----------------------

CONTENT = "document.querySelector('frame[name=CONTENT]').contentDocument"
INDEX = "document.querySelector('frame[name=INDEX]').contentDocument"


def test_browser_adds_a_user_through_the_form(korvanet, tmp_path, chromium):
    server = start_admin(korvanet)  # no access list: the admin pages are open
    with Browser(chromium, f"http://127.0.0.1:{ADMIN}/admin/config", tmp_path) as tools:
        # The frame set: menu on the left, content on the right.
        tools.wait_for(f"{INDEX}.readyState == 'complete' && "
                       f"!!{INDEX}.querySelector('a[href=\"/admin/config/content/users\"]')")
        tools.evaluate(f"{INDEX}.querySelector('a[href=\"/admin/config/content/users\"]').click(); true")
        tools.wait_for(f"{CONTENT}.location.pathname == '/admin/config/content/users' && "
                       f"!!{CONTENT}.querySelector('[name=NewUser]')")
        tools.evaluate(f"(() => {{ const d = {CONTENT}; d.querySelector('[name=NewUser]').value = 'carol';"
                       " d.querySelector('[name=NewPassword]').value = 'c pw';"
                       " d.querySelector('[name=NewConfirm]').value = 'c pw';"
                       " d.querySelector('[name=Add_user]').click(); return true; })()")
        tools.wait_for(f"!!{CONTENT}.querySelector('[name=ItemUser]') && "
                       f"[...{CONTENT}.querySelectorAll('[name=ItemUser] option')].some(o => o.text.trim() == 'carol')")
        assert "carol" not in str(records(server, "Users"))  # not saved yet
        tools.evaluate(f"{CONTENT}.querySelector('[name=Save]').click(); true")
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and "<|>carol<|>" not in str(records(server, "Users")):
            time.sleep(0.1)
        carol = [r for r in records(server, "Users") if "<|>carol<|>" in r]
        assert carol and digest("carol", "c pw") in carol[0]
