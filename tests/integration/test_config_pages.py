"""The configuration frame set, menu, help page and the proxy, network, security
and advanced form pages, read with raw sockets for their exact bytes: the
standard head with its section links and marker, the inputs with the values of
a registry holding known values, and the foot whose Help link follows the last
page shown."""
import filecmp
import re
import subprocess

import pytest

from clients import BANNER, PAGE_HEAD as HEAD, admin_get
from harness import BINARY, ROOT, ROOT_USER, digest

ADMIN, PROXY = 7329, 7328
BODY = b'background="/admin/images/background.gif"'

KNOWN = {
    "ProxyPort": 3128, "LogAccess": 1,
    "EnableCache": 1, "CacheSize": 77, "ContinueAborted": 0, "KeepAborted": 1, "CacheFtpDirOnly": 1,
    "MaxHttpSize": 300, "MaxFtpSize": 400, "MaxGopherSize": 500,
    "HttpTTL": 11, "FtpTTL": 12, "GopherTTL": 13, "IgnoreNo_Cache": 1,
    "Telnet": 1, "TelnetPort": 2323, "FTP": 0, "FTPPort": 2121, "RealAudio": 1, "RealAudioPort": 1091,
    "DnsServer": "10.0.0.53", "NewsServer": "news.example.net",
    "Socks4": 1, "Socks5": 0, "SocksPort": 1081, "SocksAuthentication": 1,
    "SecureInterface": "10.1.1.1", "LogSecurity": 1,
    "Timeout": 15, "ConnectRetry": 3, "InternalResolver": 1, "ReverseLookup": 0,
    "ProxyAutoconfig": "/srv/pac/proxy.pac",
    "ParentProxy": "parent.example.net", "ParentProxyPort": 8080,
    # Markup-like text shows escaped and would come back unchanged.
    "ParentProxyUsername": 'u"<&>', "ParentProxyPassword": "pw&1",
    "RunAsService": 0, "UseBackground": 1, "RefreshStatusPage": 9,
}
LISTS = {
    "TTLs": ["15<|>*www*", "3<|>*news*"],
    "Links": ["2525<|>mail.example.net<|>25<|>TCP", "5353<|>10.0.0.53<|>53<|>UDP"],
    "IP": ["192.168.1.5", "10.0.0.1-10.0.0.9"],
    "Groups": ["900<|>Admins", "901<|>staff", "902<|>guests"],
    "Users": [f"001<|>alice<|>{digest('alice', 'a')}<|>901:<|>", f"002<|>bob<|>{digest('bob', 'b')}<|><|>"],
    "Access": ["http://www.allowed.example/*<|>901:002:<|>", "http://a+b.example/*<|>001:<|>"],
}

PROXY_LINKS = [("General", b"proxy"), ("Cache", b"cache"), ("Cache TTL", b"cttl"), ("Access", b"access")]
NETWORK_LINKS = [("General", b"network"), ("Mapped links", b"maplink")]


def start_admin(korvanet, settings=None, lists=None, **kw):
    base = {"AdminPort": ADMIN, "ProxyPort": PROXY, "LogAccess": 1}
    base.update(settings or {})
    return korvanet(base, lists=lists, **kw)


def get(path, auth=None):
    return admin_get(ADMIN, path.decode() if isinstance(path, bytes) else path, auth, source="127.0.0.1")


def head(title, links, current, marker, message=None):
    out = HEAD + b"<HEAD>\n<TITLE>\n" + title.encode() + b"\n</TITLE>\n</HEAD>\n\n"
    out += b"<BODY " + BODY + b' link="#0044FF" vlink="#0044FF">\n\n<FONT SIZE=-1>\n\n<B>\n'
    for name, page in links:
        if page == current:
            out += b"[" + name.encode() + b"]&nbsp;&nbsp;\n"
        else:
            out += b'<a href="/admin/config/content/' + page + b'">[' + name.encode() + b"]</a>&nbsp;&nbsp;\n"
    out += b"</B>\n\n<HR>\n\n"
    if message:
        out += message.encode() + b"\n\n<HR>\n\n"
    return (out + b'<FORM ACTION="/admin/config/apply" METHOD=GET>\n\n<INPUT TYPE="HIDDEN" NAME="' + marker
            + b'">\n\n<!-- PAGE DATA BEGIN -->\n\n')


def foot(page):
    return (b"\n\n<!-- PAGE DATA END -->\n\n<HR><P>\n\n<CENTER>\n"
            b'<INPUT NAME="Save" TYPE="SUBMIT" VALUE="   Save  ">\n&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp'
            b'<INPUT NAME="CancelA" TYPE="SUBMIT" VALUE=" Cancel ">\n&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp'
            b'<a href="/admin/config/content/help#' + page + b'"> <b>Help</b> </a>\n</CENTER>\n\n</FORM>\n\n</BODY>\n')


def row(label):
    return b"<TR><TD ALIGN=right><FONT SIZE=-1>" + label + b"<TD><FONT SIZE=-1>"


def num(name, value, size):
    return b'<INPUT NAME="%s" TYPE="text" VALUE="%d" SIZE=%d>' % (name, value, size)


def text(name, value, size, kind=b"text"):
    return b'<INPUT NAME="%s" TYPE="%s" VALUE="%s" SIZE=%d>' % (name, kind, value, size)


def box(name, on):
    return b'<INPUT NAME="%s" TYPE="checkbox" %s>' % (name, b"checked" if on else b"")


def button(name, caption):
    return b'<INPUT TYPE="submit" NAME="%s" VALUE="%s">' % (name, caption)


def table(*rows):
    return b"<TABLE BORDER=0>\n\n" + b"".join(rows) + b"\n</TABLE>\n\n"


def cache_box(label, name, value):
    return (b'<tr><td align=right><font size=-1>%s<td><input name="%s" type="checkbox" value="%d" %s><br>\n'
            % (label, name, value, b"checked" if value else b""))


def cache_size(label, name, value, unit):
    return (b'<td align=right><font size=-1>%s<td><input name="%s" type="text" value="%d" size=5> %s<br>\n'
            % (label, name, value, unit))


def ttl(label, name, value):
    return b'<tr><td align=right><font size=-1>%s<td><input name="%s" type="text" value="%d" size=5> Days<br>\n' % (
        label, name, value)


def expected_pages(home):
    """page -> (head, page data) for the registry KNOWN + LISTS."""
    cache_dir = str(home / "cache").encode()
    return {
        b"proxy": (head("General", PROXY_LINKS, b"proxy", b"__PROXY__", "Proxy server settings."),
                   table(row(b"Proxy Port:") + b'<INPUT NAME="ProxyPort" TYPE="text" VALUE="3128" SIZE=5>\n',
                         row(b"Enable Logging:") + box(b"LogAccess", 1) + b"\n")),
        b"cache": (head("Cache", PROXY_LINKS, b"cache", b"__CACHE__", "Cache settings."),
                   table(b'<tr><td align=right><font size=-1>Cache Directory<td colspan=3><input name="CacheDir" '
                         b'type="text" value="' + cache_dir + b'" size=45><br>\n',
                         cache_box(b"Cache Enabled", b"EnableCache", 1),
                         cache_size(b"Cache Size", b"CacheSize", 77, b"MB"),
                         cache_box(b"Continue Aborted", b"ContinueAborted", 0),
                         cache_size(b"Max. HTTP Size", b"MaxHttpSize", 300, b"kB"),
                         cache_box(b"Keep Aborted", b"KeepAborted", 1),
                         cache_size(b"Max. FTP Size", b"MaxFtpSize", 400, b"kB"),
                         cache_box(b"Cache Ftp directory only", b"CacheFtpDirOnly", 1),
                         cache_size(b"Max. GOPHER Size", b"MaxGopherSize", 500, b"kB"))
                   + table(ttl(b"HTTP Time-To-Live", b"HttpTTL", 11), ttl(b"FTP Time-To-Live", b"FtpTTL", 12),
                           ttl(b"GOPHER Time-To-Live", b"GopherTTL", 13))
                   + b"<font size=-1>Cache pages marked as non-cachable by web server <td><input "
                     b'name="IgnoreNoCache" type="checkbox" value="1" checked><br>\n&nbsp;&nbsp;&nbsp;&nbsp;'),
        b"cttl": (head("Cache TTL", PROXY_LINKS, b"cttl", b"__CTTL__", "Cache TTL settings for specified URLs."),
                  table(b'<tr><td>&nbsp;&nbsp;<font size=-1>TTL based on URL<tr><td><select name="Item" size=8>\n'
                        b"<option> 3@*news*\n<option> 15@*www*\n</select>\n"
                        b'<TD><INPUT TYPE="SUBMIT" NAME="Add_ttl" VALUE="   Add   "><P>\n'
                        b'<INPUT TYPE="SUBMIT" NAME="Remove_ttl" VALUE="Remove">\n'
                        b'<tr><td colspan=2><input name="AddItem" type="text" size=48>\n'
                        b"<tr><td align=left><font size=-1>example: 15@*www* </font>")),
        b"access": (head("Access", PROXY_LINKS, b"access", b"__ACCESS__", "Web pages access."),
                    table(b'<TR><TD>Access List<BR><SELECT NAME="AccessItem" SIZE=10>\n'
                          b"<OPTION> http://www.allowed.example/*<OPTION> http://a+b.example/*</SELECT><TD>"
                          b'&nbsp;<INPUT TYPE="SUBMIT" NAME="Add_access" VALUE="   Add   "><p>'
                          b'&nbsp;<INPUT TYPE="SUBMIT" NAME="Remove_access" VALUE="Remove"><P>'
                          b'&nbsp;<INPUT TYPE="SUBMIT" NAME="Edit_access" VALUE="    Edit   "><TD>'
                          b'&nbsp;<INPUT TYPE="SUBMIT" NAME="UrlUp_access" VALUE="  Up   "><p>'
                          b'&nbsp;<INPUT TYPE="SUBMIT" NAME="UrlDown_access" VALUE="Down"><P>'
                          b'<TR><TD COLSPAN=2><INPUT TYPE="TEXT" NAME="AddItem" SIZE=55>'
                          b"<tr><td align=left><font size=-1>example: http://www.example.com/* </font>")),
        b"network": (head("General", NETWORK_LINKS, b"network", b"__NETWORK__"),
                     table(row(b"Telnet Gateway") + box(b"Telnet", 1) + b"\nPort " + num(b"TelnetPort", 2323, 8) + b"\n",
                           row(b"Ftp Gateway") + box(b"FTP", 0) + b"\nPort " + num(b"FTPPort", 2121, 8) + b"\n",
                           row(b"RealAudio Gateway") + box(b"RealAudio", 1) + b"\nPort "
                           + num(b"RealAudioPort", 1091, 8) + b"\n",
                           row(b"DNS Server") + text(b"DnsServer", b"10.0.0.53", 18) + b"(IP address)\n",
                           row(b"News Server") + text(b"NewsServer", b"news.example.net", 35) + b"\n")
                     + b"SOCKS server: Version 4 " + box(b"Socks4", 1) + b"\n Version 5" + box(b"Socks5", 0)
                     + b"\n Port " + num(b"SocksPort", 1081, 8) + b"\n<BR>Use SOCKS5 Authentication"
                     + box(b"SocksAuthentication", 1) + b"\n<BR>"),
        b"maplink": (head("Mapped links", NETWORK_LINKS, b"maplink", b"__MAPL__"),
                     b'List of mapped links:<BR>\n\n<SELECT NAME="LinkListItem" SIZE=8>\n'
                     b"<OPTION>TCP 2525 mail.example.net:25\n<OPTION>UDP 5353 10.0.0.53:53\n</SELECT>\n<P>"
                     + button(b"Add_link", b"   Add   ") + b"\n" + button(b"Remove_link", b"Remove") + b"\n<P>"
                     + table(row(b"Local port: ") + text(b"LocalPort", b"", 5) + b"\n",
                             row(b"Remote host: ") + text(b"RemoteHost", b"", 40) + b"\n",
                             row(b"Remote port: ") + text(b"RemotePort", b"", 5) + b"\n",
                             row(b"Protocol: ") + b'<SELECT NAME="Protocol" SIZE=1>\n<OPTION SELECTED>TCP\n'
                             b"<OPTION>UDP\n</SELECT>\n\n")),
        b"security": (head("Security", [("Security", b"security")], b"security", b"__SECURITY__",
                           "By setting up security, you can restrict access to Korvanet services."),
                      b"Secure Interface(s): <BR>" + text(b"SecureInterface", b"10.1.1.1", 34)
                      + b"\n<P>\nList of allowed IP addresses: <BR>\n" + b'<SELECT NAME="IPListItem" SIZE=5>\n'
                      + b"".join(b"<OPTION>%s\n" % e for e in sorted([b"192.168.1.5", b"10.0.0.1-10.0.0.9"],
                                                                     key=ip_order))
                      + b"</SELECT><P>\n" + button(b"Add_ip", b"   Add   ") + b"\n" + button(b"Remove_ip", b"Remove")
                      + b"\n<BR>\n" + text(b"IPAddress", b"", 34)
                      + b"\n<BR>\nExamples :192.168.1.5 or 192.168.1.5-192.168.1.10\n<P>" + box(b"LogSecurity", 1)
                      + b"Log attemps to access Korvanet from disallowed IP addresses"),
        b"advanced": (head("Advanced", [("Advanced", b"advanced")], b"advanced", b"__ADVANCED__"),
                      table(row(b"Timeout") + num(b"Timeout", 15, 8) + b" min\n",
                            row(b"Connect Retry") + num(b"ConnectRetry", 3, 8) + b"\n",
                            row(b"Internal DNS Resolver") + box(b"InternalResolver", 1) + b"\n",
                            row(b"Reverse DNS") + box(b"ReverseLookup", 0) + b"\n",
                            row(b"Logs Directory") + text(b"LogsDir", str(home / "logs").encode(), 45) + b"\n",
                            row(b"Autoconfig File") + text(b"ProxyAutoconfig", b"/srv/pac/proxy.pac", 45) + b"\n",
                            row(b"Parent Proxy Host:") + text(b"ParentProxy", b"parent.example.net", 25)
                            + b"\nPort: " + num(b"ParentProxyPort", 8080, 8) + b"\n",
                            row(b"Parent Proxy Username: ") + text(b"ParentProxyUsername", b"u&quot;&lt;&amp;&gt;", 15)
                            + b"\nPassword: " + text(b"ParentProxyPassword", b"pw&amp;1", 15, b"password") + b"\n",
                            row(b"Run as service") + box(b"RunAsService", 0) + b"\n",
                            row(b"Enable background") + box(b"EnableBackground", 1) + b"(for web interface)\n",
                            row(b"Refresh Status Page") + num(b"RefreshStatusPage", 9, 8) + b"(seconds)\n")),
    }


def ip_order(entry):
    """The allowed-IP list keeps its entries ordered by their first address."""
    return tuple(int(x) for x in entry.split(b"-")[0].split(b"."))


def test_every_page_shows_its_head_inputs_and_values(korvanet):
    server = start_admin(korvanet, KNOWN, lists=LISTS)
    pages = expected_pages(server.home)
    for page, (page_head, data) in pages.items():
        answer = get(b"/admin/config/content/" + page)
        assert answer == page_head + data + foot(page), page
    # The frame set reopens the page seen last.
    for page in (b"cache", b"maplink"):
        get(b"/admin/config/content/" + page)
        assert b'<frame src="/admin/config/content/' + page + b'" name="CONTENT">' in get(b"/admin/config")


FRAMELESS = [
    b'<a href="/admin"> Admin </a><br>\n',
    b'<a href="/admin/config/content/proxy"> Proxy </a><br>\n',
    b'<a href="/admin/config/content/network"> Network </a><br>\n',
    b'<a href="/admin/config/content/dial"> Dial </a><br>\n',
    b'<a href="/admin/config/content/users">Accounts</a><br>\n',
    b'<a href="/admin/config/content/mail"> Mail </a><br>\n',
    b'<a href="/admin/config/content/security" TARGET="CONTENT">Security</a><br>\n',
    b'<a href="/admin/config/content/advanced" TARGET="CONTENT">Advanced</a><br>\n',
    b'<a href="/admin/config/content/help#info"> Info </a><br>\n',
]
IN_FRAME = [
    b'<a href="/admin" TARGET="_top"> Admin </a><br>\n',
    b'<a href="/admin/config/content/proxy" TARGET="CONTENT"> Proxy </a><br>\n',
    b'<a href="/admin/config/content/network" TARGET="CONTENT"> Network </a><br>\n',
    b'<a href="/admin/config/content/dial" TARGET="CONTENT"> Dial </a><br>\n',
    b'<a href="/admin/config/content/users" TARGET="CONTENT">Accounts</a><br>\n',
    b'<a href="/admin/config/content/mail" TARGET="CONTENT"> Mail </a><br>\n',
    b'<a href="/admin/config/content/security" TARGET="CONTENT">Security</a><br>\n',
    b'<a href="/admin/config/content/advanced" TARGET="CONTENT">Advanced</a><br>\n',
    b'<a href="/admin/config/content/help#info" TARGET="CONTENT"> Info </a><br>\n',
]
RESTART = (b'<br><table border=0><td align=center width=100 bgcolor="ffffff"><a href="/admin/config/restart" '
           b'target="INDEX"><font size=+1 color="#FF0000">Restart</font></a>\n</table>')


def config_menu(links):
    out = b""
    for i, link in enumerate(links):
        out += (b'<p><table border=0><td align=center width=100 bgcolor="ffffff"><b>&lt;' if i == 0 else
                b'<table border=0><td align=center width=100 bgcolor="ffffff"><b>')
        out += link + (b"</b></table><BR>" if i == 0 else b"</b></table>")
    return out


def test_frame_set_and_menu(korvanet):
    start_admin(korvanet, {"UseBackground": 0})
    grey = b'bgcolor="#c0c0c0"'
    assert get("/admin/config") == (
        HEAD + b'<HTML><HEAD><TITLE>Korvanet Configuration</TITLE><frameset cols="155,*"><frame '
        b'src="/admin/config/index" name="INDEX"><frame src="/admin/config/content/help#info" name="CONTENT">'
        b'</frameset><NOFRAMES></head><body link="#0000FF" vlink="#0000FF" ' + grey + b'>\n'
        b'<img src="/admin/images/kvconfig.gif">' + config_menu(FRAMELESS) + RESTART
        + b"</body></center></NOFRAMES></body></HTML>")
    assert get("/admin/config/index") == (
        HEAD + b"<head><title>Korvanet Configuration</title>" + b'</head><body link="#0000FF" vlink="#0000FF" '
        + grey + b"><center>\n" + BANNER + b"<br><b>Configuration</b><p>\n" + config_menu(IN_FRAME) + RESTART
        + b"</center></body>")


def test_help_page_serves_the_file_beside_the_program(korvanet, tmp_path):
    home = tmp_path / "home"
    server = start_admin(korvanet, home=home)
    opening = HEAD + b'<body ' + BODY + b' link="#4444cc" vlink="#4444cc">'
    missing = str(home / "config.htm").encode()
    assert get("/admin/config/content/help") == opening + b"Help file missing : " + missing + b".</body>"
    # The build puts the help file beside the program; served unchanged, in pieces.
    built = BINARY.parent / "config.htm"
    assert filecmp.cmp(built, ROOT / "admin" / "config.htm", shallow=False)
    page = built.read_bytes() + b"\xff\x00" + b"x" * 20000
    (home / "config.htm").write_bytes(page)
    assert get("/admin/config/content/help") == opening + page + b"</body>"
    server.stop()


def test_help_file_has_an_anchor_for_every_page_and_menu_link():
    names = set(re.findall(r'<a name="([^"]+)">', (ROOT / "admin" / "config.htm").read_text()))
    pages = {"info", "proxy", "cache", "cttl", "access", "edit", "network", "maplink", "security", "advanced",
             "users", "groups", "membership", "showmembershipg", "showmembershipu", "dial", "dd",
             "dialadvanced", "mail", "mail/gateway", "mail/tunnel", "mail/server", "mail/pop3",
             "mail/pop3edit", "mail/rules", "mail/aspam", "mail/advanced"}
    assert pages <= names


def edit_page(address, allowed, others):
    return (HEAD + b"<BODY " + BODY + b">\n"
            b'<FORM ACTION="/admin/config/apply" METHOD=GET>\n<center><b><FONT SIZE=+1 COLOR=#0000BB>Access</FONT>'
            b"</b></center><hr>\n"
            b'<TABLE BORDER=0> <TR><TD COLSPAN=3 ALIGN=CENTER><FONT SIZE=+1>Url : </FONT><FONT COLOR="ff0000">'
            + address + b"</FONT><TR><TD> &nbsp;<TR><TD ALIGN=CENTER>Allow<TD>&nbsp;<TD>Groups/Users<TR><TD "
            b'ALIGN=CENTER> <SELECT NAME="MemberOf" SIZE=7>\n' + b"".join(b"<OPTION> %s\n" % x for x in allowed)
            + b'</SELECT> <TD WIDTH=110 ALIGN=CENTER><INPUT TYPE="SUBMIT" NAME="AddToAccess" VALUE=" &lt;&lt;   '
            b'Add   "><P>\n<INPUT TYPE="SUBMIT" NAME="RemoveFromAccess" VALUE="Remove &gt;&gt;">\n<TD ALIGN=RIGHT> '
            b'<SELECT NAME="NonMemberOf" SIZE=7>\n' + b"".join(b"<OPTION> %s\n" % x for x in others)
            + b"</SELECT> </TABLE></CENTER><HR><P><CENTER>"
            b'<INPUT NAME="Save" TYPE="SUBMIT" VALUE="   Save  ">\n&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp'
            b'<INPUT NAME="CancelA" TYPE="SUBMIT" VALUE=" Cancel ">\n</CENTER></FORM></BODY>\n')


def test_access_edit_page(korvanet):
    start_admin(korvanet, KNOWN, lists=LISTS)
    moved = b"HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/config/content/access\r\n\r\n"
    # Nothing named and nothing remembered yet.
    assert get("/admin/config/content/edit") == moved
    # The access page's form with its Edit button, as a browser submits it.
    first = edit_page(b"http://www.allowed.example/*", [b"[staff]", b"bob"], [b"[guests]", b"alice"])
    form = "/admin/config/apply?__ACCESS__=&AccessItem=http%3A%2F%2Fwww.allowed.example%2F*&AddItem="
    assert get(form + "&Edit_access=++++Edit+++") == first
    # The address is remembered for the page's next showing; Admins is never offered.
    assert get("/admin/config/content/edit") == first
    assert b"Admins" not in first
    # '+' written by the browser as %2B stays a '+'; blanks arrive as '+'.
    second = edit_page(b"http://a+b.example/*", [b"alice"], [b"[guests]", b"[staff]", b"bob"])
    assert get("/admin/config/content/edit?AccessItem=+http%3A%2F%2Fa%2Bb.example%2F*+") == second
    assert get("/admin/config/content/edit?AccessItem=") == second
    # The Help link of later pages points at the editor's anchor.
    assert b'<frame src="/admin/config/content/edit" name="CONTENT">' in get("/admin/config")


@pytest.mark.parametrize("path, answer", [
    # Page routes match the whole path; only edit and showmembership take more.
    ("/admin/config/content/proxy?x=1", "404"),
    ("/admin/config/content/proxyx", "404"),
    ("/admin/config/content/nosuch", "404"),
    ("/admin/config/contentproxy", "404"),
    ("/admin/config/content/edit?AccessItem=http%3A%2F%2Fz%2F*", "edit"),
    ("/admin/config/content/help", "help"),
])
def test_routes_exact_and_prefix(korvanet, path, answer):
    start_admin(korvanet, KNOWN, lists=LISTS)
    got = get(path)
    if answer == "404":
        assert got.startswith(b"HTTP/1.0 404 Not Found\r\n\r\n<H2>Not Found (")
    elif answer == "edit":
        assert b'<FONT COLOR="ff0000">http://z/*</FONT>' in got
    else:
        assert got.startswith(HEAD + b"<body ")


def test_pages_need_an_administrator(korvanet):
    start_admin(korvanet, {"ProxyPort": 3128}, lists={"Users": [ROOT_USER], "Groups": ["900<|>Admins"],
                                 "Access": ["http://Korvanet/*<|>900:<|>"]})
    r = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                        f"http://127.0.0.1:{ADMIN}/admin/config/content/proxy"], capture_output=True, timeout=10)
    assert r.stdout == b"401"
    r = subprocess.run(["curl", "-s", "-u", "root:rootpw", f"http://127.0.0.1:{ADMIN}/admin/config/content/proxy"],
                       capture_output=True, timeout=10)
    assert b'<INPUT NAME="ProxyPort" TYPE="text" VALUE="3128" SIZE=5>' in r.stdout
