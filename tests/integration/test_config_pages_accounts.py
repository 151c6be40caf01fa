"""The account, dial and mail configuration pages seen from outside: the exact
bytes each page sends for a registry of known values (head, inputs, lists,
escaped values), the membership views reached through the page's own form,
and the POP3 editor reached through the Edit button."""
import urllib.parse

import pytest

from clients import PAGE_HEAD as HEAD, admin_get, basic, submission
from harness import digest

ADMIN, PROXY = 7349, 7348
GREY = b'bgcolor="#c0c0c0"'
CHOOSER = "/admin/config/content/showmembership"  # the membership chooser's form action


AUTH = basic("root", "rootpw")

LISTS = {
    "Access": ["http://Korvanet/*<|>900:<|>"],
    "Users": [f"000<|>root<|>{digest('root', 'rootpw')}<|>900:<|>",
              f"001<|>bob<|>{digest('bob', 'bobpw')}<|>901:<|>",
              f"002<|>alice<|>{digest('alice', 'alicepw')}<|><|>"],
    "Groups": ["900<|>Admins", "901<|>staff", "902<|>sales"],
    # remote user, password, e-mail address, remote server, local account
    "Pop3": ["jim<|>s3cret!<|>jim@far.example<|>pop.far.example<|>bob",
             "<|><|>all@near.example<|><|>[staff]"],
    # local account, text looked for in To:
    "Rules": ["bob<|><boss@corp>", "[sales]<|>orders"],
}

SETTINGS = {
    "AdminPort": ADMIN, "ProxyPort": PROXY, "UseBackground": 0,
    "MailType": 1, "SMTPServer": 'smtp.far.example', "POP3Server": 'pop."gw"&<x>',
    "MailSendRcvType": 1, "MailSendRcvTime": "07:05 09:30", "ExceptWeekends": 1,
    "AllowToDial": 0, "ProblemsTo": "bob", "LogMail": 1, "LogMailSmtp": 0, "LogMailSend": 1,
    "MailSmtpBackupMbox": "alice", "MailRelayIPs": "10.0.0.0/255.0.0.0 </textarea>",
    "MailLocalDomains": "near.example", "SmtpAuthUser": "au&th", "SmtpAuthPass": "p\"w",
    "SMTP1": "10.1.1.1", "SMTP2": "10.1.1.2",
    "DemandDialMon": "07:30-11:00", "DemandDialSun": "", "DialEvery": 1, "ExceptLocalNames": 0,
    "ExceptStrings": "intranet <corp>",
}

MAIL_SERVER = [("__MAIL_SERVER__", "General", "mail/server"), ("__MAILPOP3__", "POP3 downloads", "mail/pop3"),
               ("__RULES__", "Sorting rules", "mail/rules"),
               ("__ASPAM__", "SMTP Relay restrictions", "mail/aspam"),
               ("__MAIL_ADVANCED__", "Advanced", "mail/advanced")]
DIAL = [("__DIAL__", "General", "dial"), ("__DD__", "Demand Dial", "dd")]
ACCOUNTS = [("__ACCOUNTS__", "Users", "users"), ("__ACCOUNTS__", "Groups", "groups")]
MAIL = [("__MAIL_TYPE__", "Mail", "mail")]
GATEWAY = [("__MAIL_GATEWAY__", "Mail Gateway", "mail/gateway")]


def head(table, index, message=None):
    marker, title, _ = table[index]
    out = HEAD + f"<HEAD>\n<TITLE>\n{title}\n</TITLE>\n</HEAD>\n\n".encode()
    out += b"<BODY " + GREY + b' link="#0044FF" vlink="#0044FF">\n\n<FONT SIZE=-1>\n\n<B>\n'
    for i, (_, t, page) in enumerate(table):
        out += (f"[{t}]&nbsp;&nbsp;\n" if i == index
                else f'<a href="/admin/config/content/{page}">[{t}]</a>&nbsp;&nbsp;\n').encode()
    out += b"</B>\n\n<HR>\n\n"
    if message:
        out += message.encode() + b"\n\n<HR>\n\n"
    out += b'<FORM ACTION="/admin/config/apply" METHOD=GET>\n\n'
    out += f'<INPUT TYPE="HIDDEN" NAME="{marker}">\n\n'.encode() + b"<!-- PAGE DATA BEGIN -->\n\n"
    return out


def foot(page):
    return (b"\n\n<!-- PAGE DATA END -->\n\n<HR><P>\n\n<CENTER>\n"
            b'<INPUT NAME="Save" TYPE="SUBMIT" VALUE="   Save  ">\n&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp'
            b'<INPUT NAME="CancelA" TYPE="SUBMIT" VALUE=" Cancel ">\n&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp'
            + f'<a href="/admin/config/content/help#{page}"> <b>Help</b> </a>'.encode()
            + b"\n</CENTER>\n\n</FORM>\n\n</BODY>\n")


def row(label):
    return f"<TR><TD ALIGN=right><FONT SIZE=-1>{label}<TD><FONT SIZE=-1>".encode()


def text(name, value, size, kind="text"):
    return f'<INPUT NAME="{name}" TYPE="{kind}" VALUE="{value}" SIZE={size}>'.encode()


def checkbox(name, on):
    return f'<INPUT NAME="{name}" TYPE="checkbox" {"checked" if on else ""}>'.encode()


def button(name, caption):
    return f'<INPUT TYPE="submit" NAME="{name}" VALUE="{caption}">'.encode()


TABLE, END = b"<TABLE BORDER=0>\n\n", b"\n</TABLE>\n\n"
SAVE_CANCEL = (b'<INPUT NAME="Save" TYPE="SUBMIT" VALUE="   Save  ">\n&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp'
               b'<INPUT NAME="CancelA" TYPE="SUBMIT" VALUE=" Cancel ">\n')
ACCOUNT_OPTIONS = b"<OPTION> [Admins]\n<OPTION> [sales]\n<OPTION> [staff]\n<OPTION> alice\n<OPTION> bob\n<OPTION> root\n"


def pop3_table(user="", server="", password="", email="", email_size=48, options=None):
    return (TABLE + row("POP3 Username") + text("RemotePOP3User", user, 30) + b"\n"
            + row("POP3 Server") + text("RemotePOP3Server", server, 30) + b"\n"
            + row("Password") + text("POP3Password", password, 23, "password") + b"\n"
            + row("E-Mail") + text("EMailAddress", email, email_size) + b"\n"
            + row("Move to Local Account") + b'<SELECT NAME="KorvanetAccount" SIZE=1>\n<OPTION>{ RULE }\n'
            + (options or ACCOUNT_OPTIONS) + b"</SELECT>\n\n" + END)


def expected_pages(maildir):
    users = (b"<B>User List:</B><BR>" + b'<SELECT NAME="ItemUser" SIZE=10>'
             + b"<OPTION>alice\n<OPTION>bob\n<OPTION>root\n" + b"</SELECT>\n\n<P>\n\n"
             + button("Remove_user", "Remove") + b"\n" + button("Change_passwd", "Change password") + b"\n"
             + button("MemberOf", "Member Of") + b"\n<P>" + TABLE
             + row("Username: ") + text("NewUser", "", 25) + b"\n<BR>"
             + row("Password: ") + text("NewPassword", "", 25, "password") + b"\n<BR>"
             + row("Confirm: ") + text("NewConfirm", "", 25, "password") + b"\n<BR>"
             + button("Add_user", "   Add   ") + b"\n" + END)
    groups = (b"<B>Group List:</B><BR>" + b'<SELECT NAME="ItemGroup" SIZE=10>'
              + b"<OPTION>Admins\n<OPTION>sales\n<OPTION>staff\n" + b"</SELECT>\n\n<P>\n\n"
              + button("Remove_group", "Remove") + b"\n" + button("Members", "Members") + b"\n<P>" + TABLE
              + row("New Group: ") + text("NewGroup", "", 25) + b"\n&nbsp" + button("Add_group", "   Add   ")
              + b"\n" + END)
    days = [("Monday", "Mon", "07:30-11:00"), ("Tuesday", "Tue", "00:00-23:59"),
            ("Wednesday", "Wed", "00:00-23:59"), ("Thursday", "Thu", "00:00-23:59"),
            ("Friday", "Fri", "00:00-23:59"), ("Saturday", "Sat", "00:00-23:59"), ("Sunday", "Sun", "")]
    dd = (b"Time must be entered in form of : HH:MM-HH:MM."
          b"<br>It is possible to enter several intervals separated by comma.\n"
          b"<br>Example: 7:30-11:00, 15:00-16:45<p>\n\n" + TABLE
          + b"".join(row(label) + f'<input name="{name}" type="text" size=60 maxlength=60 VALUE="{value}" >'
                     f"<BR>\n".encode() for label, name, value in days)
          + END + b'<p>Click <a href="/admin/config/content/dialadvanced">here</a> for additional demand '
                  b"dial settings.<br>")
    mail = (TABLE + row("None") + b'<INPUT NAME="MailType" TYPE="radio" VALUE="3" >\n'
            + row("SMTP/POP3 Gateway") + b'<INPUT NAME="MailType" TYPE="radio" VALUE="0" >\n'
            + b'<A HREF="/admin/config/content/mail/gateway"><B>Settings</B></A>\n'
            + row("Mail Server") + b'<INPUT NAME="MailType" TYPE="radio" VALUE="1" checked>\n'
            + b'<A HREF="/admin/config/content/mail/server"><B>Settings</B></A>\n' + END)
    gateway = (TABLE + row("Remote SMTP Server") + text("SMTPServer", "smtp.far.example", 30) + b"\n"
               + row("Remote POP3 Server") + text("POP3Server", "pop.&quot;gw&quot;&amp;&lt;x&gt;", 30)
               + b"\n" + END)
    server = (TABLE + row("Mail Directory") + text("MailDir", maildir, 50) + b"\n"
              + b'<tr><td align=right><font size=-1>Remote SMTP Server <td><input name="SMTPServer" '
                b'type="text" value="smtp.far.example" size=45><br>\n'
              + b"<tr><td align=right><font size=-1>Send/Receive Mail <td nowrap>\n"
              + b'<select name="MailSendRcvType" size=1><option> every<option> at </select>'
              + b'&nbsp;&nbsp<input type="text" name="MailSendRcvTime" value="07:05 09:30" size=30 maxlength=200>'
              + b'&nbsp<font size=-1><input name="ExceptWeekends" type="checkbox" checked>Except weekends<br>\n'
              + b'<tr><td align=right><font size=-1>Allow to Dial <td><input name="AllowToDial" type="checkbox" >\n'
              + b"<tr><td align=right><font size=-1>Report problems to "
              + b'<td><select name="ProblemsTo" size=1><option>problems.txt'
              + b"<OPTION > alice\n<OPTION selected> bob\n<OPTION > root\n</select><br>\n"
              + b'<tr><td colspan=2><font size=-1>Log messages received via POP3 <input name="LogMail" '
                b'type="checkbox" checked><br>\n'
              + b'<tr><td colspan=2><font size=-1>Log messages received via SMTP <input name="LogMailSmtp" '
                b'type="checkbox" ><br>\n'
              + b'<tr><td colspan=2><font size=-1>Log sent outbound messages<input name="LogMailSend" '
                b'type="checkbox" checked><br>\n'
              + b"<tr><td colspan=2><font size=-1>Backup all received messages to Mailbox: "
              + b'<select name="MailSmtpBackupMbox" size=1><option>(none)'
              + b"<OPTION selected> alice\n<OPTION > bob\n<OPTION > root\n</select><br>\n" + END)
    pop3 = (TABLE + b"<tr><td><font size=-1>POP3 account download list:<br><tr>\n<td colspan=2>"
            b'<select name="AccountListItem" size=8>\n'
            b"<option> @ (all@near.example) &gt;&gt; [staff]\n"
            b"<option> jim@pop.far.example (jim@far.example) &gt;&gt; bob\n"
            b"</select><br>\n" + button("Add_mail", "   Add   ") + b"\n" + button("Remove_mail", "Remove")
            + b"\n" + button("Edit_mail", "Edit") + b"\n" + END + pop3_table())
    rules = (TABLE + b"<tr><td colspan=2><font size=-1>Rule List<br>"
             b'<tr><td><select name="RuleListItem" size=8>\n'
             b"<OPTION>&lt;boss@corp&gt; &gt;&gt; bob\n<OPTION>orders &gt;&gt; [sales]\n</select>\n"
             b'<TD><INPUT TYPE="SUBMIT" NAME="Add_rule" VALUE="   Add   "><P>\n'
             b'<INPUT TYPE="SUBMIT" NAME="Remove_rule" VALUE="Remove">\n' + END + TABLE
             + b"<tr><td align=right><font size=-1>If Mail header <b>To:</b> contains<td>"
               b'<input name="HeaderTo" type="text" size=48>\n'
             + b"<tr><td align=right><font size=-1>Move to Local Account <td>"
               b'<select name="KorvanetAccount" size=1>\n' + ACCOUNT_OPTIONS + b"</select>\n" + END)
    aspam = (b"Enable to send mail to any domain through this <br>mail server (open relay) only for "
             b"IP addresses from the list.\n<br>\nIP addresses must be specified as IP or IP/MASK combination."
             b"<br>\nExample: 192.168.1.5 192.168.1.0/255.255.255.0\n<br>\n"
             b'<textarea name="MailRelayIPs" COLS=42 ROWS=3>10.0.0.0/255.0.0.0 &lt;/textarea&gt;</textarea>\n'
             b"<p>\nLocal Domains<br>Enter a list of domains local to this mail server.<br>\n"
             b"Sender from any IP address can send email addressed to a user from local domains.<br>\n"
             b'<textarea name="MailLocalDomains" COLS=42 ROWS=3>near.example</textarea>\n')
    advanced = (TABLE + b"<TR><TD COLSPAN=2><FONT SIZE=-1>Authenticate on remote SMTP server using\n"
                + row("AUTH username") + text("SMTPAuthUser", "au&amp;th", 25) + b"\n"
                + row("AUTH password") + text("SMTPAuthPass", "p&quot;w", 25, "password") + b"\n" + END)
    return {
        "users": head(ACCOUNTS, 0) + users + foot("users"),
        "groups": head(ACCOUNTS, 1) + groups + foot("groups"),
        "dial": head(DIAL, 0, "If you are connecting to the Internet through a dial-up connection (modem, "
                     "ISDN), select a dial-up connection which Korvanet should use for Internet access.")
        + b"RAS is not installed.\n" + foot("dial"),
        "dd": head(DIAL, 1, "Select time when demand dialing is enabled.") + dd + foot("dd"),
        "mail": head(MAIL, 0, "Korvanet can handle e-mail traffic in two different ways. The most simple "
                     "one is SMTP/POP3 Gateway. Please refer to the on-line help for details")
        + mail + foot("mail"),
        "mail/gateway": head(GATEWAY, 0) + gateway + foot("mail/gateway"),
        "mail/server": head(MAIL_SERVER, 0) + server + foot("mail/server"),
        "mail/pop3": head(MAIL_SERVER, 1, "Korvanet can download mail from (remote) POP3 accounts and "
                          "deliver it to local users' mailboxes.<br> If you need this functionality, add "
                          "accounts' specifications to the list.") + pop3 + foot("mail/pop3"),
        "mail/rules": head(MAIL_SERVER, 2, "Sorting rules are used to sort messages downloaded from POP3 "
                           "accounts when {RULE} was selected as local account.") + rules + foot("mail/rules"),
        "mail/aspam": head(MAIL_SERVER, 3, "SMTP Relay restrictions may be used to protect the mail server "
                           "from being used for sending spam through it.") + aspam + foot("mail/aspam"),
        "mail/advanced": head(MAIL_SERVER, 4) + advanced + foot("mail/advanced"),
        "dialadvanced": HEAD + b"<BODY " + GREY + b' link="#0044FF" vlink="#0044FF">\n'
        b"<center><b><FONT SIZE=+1 COLOR=#0000BB>Demand Dial advanced</FONT></b></center><hr>\n"
        b'<form action="/admin/config/apply"><INPUT TYPE="HIDDEN" NAME="__DIALADVANCED__">'
        b"<font size=-1>You may need to set this if you have following problems :<br>- it takes long time "
        b"to start dialling<br>- Korvanet doesn't dial again once it has closed dial-up connection<p>"
        b'<input type="checkbox" name="DialEvery" checked>Dial on each request, '
        b'<input type="checkbox" name="ExceptLocalNames" >except for local names<br>and names containing '
        b"following strings : "
        b'<br> <textarea name="ExceptStrings" rows=3 cols=40>intranet &lt;corp&gt;</textarea>'
        b"<br>Example : <br>example.com example.org fileserver<HR><CENTER><br>" + SAVE_CANCEL
        + b"</CENTER></form></BODY>\n",
        "mail/tunnel": HEAD + b"<BODY " + GREY + b' link="#0044FF" vlink="#0044FF">\n'
        b'<FORM ACTION="/admin/config/apply" METHOD=GET>\n'
        b"<center><b><FONT SIZE=+1 COLOR=#0000BB>Mail - Forwarding</FONT></b></center><hr>\n"
        b'<INPUT TYPE="HIDDEN" NAME="__MAIL_TUNNEL__">\n<table border=0>\n'
        b"<tr><td align=right><font size=-1>Internet SMTP Server's IP address<td><input "
        b'name="InternetSMTPServer" type="text" value="10.1.1.1" size=18>\n'
        b"<tr><td align=right><font size=-1>Local SMTP Server's IP address<td><input "
        b'name="LocalSMTPServer" type="text" value="10.1.1.2" size=18>\n'
        b'</table><HR><P><CENTER><a href="/admin/config/content/mail"><b>Back</b></a>' + SAVE_CANCEL
        + b"&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp"
        b'<a href="/admin/config/content/help#mail/tunnel"> <b>Help</b> </a></CENTER></form></BODY>\n',
        "membership": HEAD + b"<BODY " + GREY + b' link="#0044FF" vlink="#0044FF">\n'
        b'<FORM ACTION="/admin/config/content/showmembership" METHOD=GET>\n'
        b"<center><b><FONT SIZE=+1 COLOR=#0000BB>Membership</FONT></b></center><hr>\n"
        b"<TABLE BORDER=0><TR><TD ALIGN=RIGHT>Groups : <TD ALIGN=CENTER>"
        b'<SELECT NAME="ItemMember" SIZE=12>\n<OPTION>Admins\n<OPTION>sales\n<OPTION>staff\n'
        b'</SELECT><TD WIDTH=90 ALIGN=RIGHT>Users:<TD> <SELECT NAME="ItemMemberOf" SIZE=12>\n'
        b"<OPTION>alice\n<OPTION>bob\n<OPTION>root\n"
        b'</SELECT><TR><TD>&nbsp;<TR><TD>&nbsp;<TD ALIGN=CENTER><INPUT TYPE="SUBMIT" NAME="Show_members" '
        b'VALUE="Members"><TD>&nbsp;\n<TD ALIGN=CENTER><INPUT TYPE="SUBMIT" NAME="Show_memberof" '
        b'VALUE="Member of">\n'
        b'<tr><td>&nbsp;<td colspan=3 align=center><a href="/admin/config/content/help#membership"> '
        b"<b>Help</b> </a></TABLE></FORM></BODY>\n",
    }


def get(path):
    return admin_get(ADMIN, path, AUTH)


def start(korvanet, tmp_path):
    return korvanet(dict(SETTINGS, MailDir=str(tmp_path / "maildir")), lists=LISTS)


def test_every_page_shows_the_stored_values(korvanet, tmp_path):
    start(korvanet, tmp_path)
    expected = expected_pages(str(tmp_path / "maildir"))
    for page, want in expected.items():
        got = get(f"/admin/config/content/{page}")
        assert got == want, page
    # The page last shown is the one the configuration frame set reopens.
    assert b'<frame src="/admin/config/content/membership" name="CONTENT">' in get("/admin/config")


def test_mail_server_lists_at_first_when_the_type_is_0(korvanet, tmp_path):
    korvanet(dict(SETTINGS, MailSendRcvType=0, ProblemsTo="nobody", MailSmtpBackupMbox=""), lists=LISTS)
    page = get("/admin/config/content/mail/server")
    assert b'<select name="MailSendRcvType" size=1><option> at <option> every</select>' in page
    assert b"<option>problems.txt<OPTION > alice\n<OPTION > bob\n<OPTION > root\n</select>" in page
    assert b"<option>(none)<OPTION > alice\n<OPTION > bob\n<OPTION > root\n</select>" in page


def membership_view(kind, name, members, others):
    if kind == "group":
        title = f'Group <FONT COLOR="ff0000">{name}</FONT></FONT><TR><TD> &nbsp;<TR><TD ALIGN=CENTER>' \
                f"Members<TD>&nbsp;<TD>Non Members"
        add, remove, back = "AddToGroup", "RemoveFromGroup", "groups"
    else:
        title = f'User <FONT COLOR="CC0000">{name}</FONT></FONT><TR><TD> &nbsp;<TR><TD ALIGN=CENTER>' \
                f"Member of<TD>&nbsp;<TD>Not Member of"
        add, remove, back = "AddToUser", "RemoveFromUser", "users"
    return (HEAD + b"<BODY " + GREY + b">\n"
            + b'<FORM ACTION="/admin/config/apply" METHOD=GET>\n<center><b><FONT SIZE=+1 COLOR=#0000BB>'
              b"Membership</FONT></b></center><hr>\n"
            + b"<TABLE BORDER=0> <TR><TD COLSPAN=3 ALIGN=CENTER><FONT SIZE=+2>" + title.encode()
            + b'<TR><TD ALIGN=CENTER> <SELECT NAME="MemberOf" SIZE=7>\n'
            + b"".join(f"<OPTION> {m}\n".encode() for m in members)
            + f'</SELECT> <TD WIDTH=110 ALIGN=CENTER><INPUT TYPE="SUBMIT" NAME="{add}" '
              f'VALUE=" &lt;&lt;   Add   "><P>\n<INPUT TYPE="SUBMIT" NAME="{remove}" '
              f'VALUE="Remove &gt;&gt;">\n<TD ALIGN=RIGHT> <SELECT NAME="NonMemberOf" SIZE=7>\n'.encode()
            + b"".join(f"<OPTION> {m}\n".encode() for m in others) + b"</SELECT> "
            + f'</TABLE></CENTER><HR><P><CENTER><a href="/admin/config/content/{back}"><b>Back</b></a>'.encode()
            + SAVE_CANCEL + b"</CENTER></FORM></BODY>\n")


def test_membership_views_from_the_chooser_form(korvanet, tmp_path):
    start(korvanet, tmp_path)
    to_chooser = b"HTTP/1.0 301 Moved Permanently\r\nLocation: /admin/config/content/membership\r\n\r\n"
    # Nothing chosen and nothing remembered: back to the chooser, for both views.
    assert get("/admin/config/content/showmembershipg") == to_chooser
    assert get("/admin/config/content/showmembershipu") == to_chooser

    chooser = get("/admin/config/content/membership")
    group_view = membership_view("group", "staff", ["bob"], ["alice", "root"])
    assert get(submission(chooser, "Show_members", CHOOSER, ItemMember="staff")) == group_view
    # The group is remembered: the view's own name shows it again.
    assert get("/admin/config/content/showmembershipg") == group_view
    assert b'<frame src="/admin/config/content/showmembershipg"' in get("/admin/config")

    user_view = membership_view("user", "root", ["Admins"], ["sales", "staff"])
    assert get(submission(chooser, "Show_memberof", CHOOSER, ItemMemberOf="root")) == user_view
    assert get("/admin/config/content/showmembershipu") == user_view
    assert b'<frame src="/admin/config/content/showmembershipu"' in get("/admin/config")


def test_membership_names_are_escaped(korvanet, tmp_path):
    lists = dict(LISTS, Groups=LISTS["Groups"] + ['903<|>a<b>&"c'])
    korvanet(dict(SETTINGS, MailDir=str(tmp_path / "maildir")), lists=lists)
    page = get("/admin/config/content/groups")
    assert b"<OPTION>a&lt;b&gt;&amp;&quot;c\n" in page
    view = get("/admin/config/content/showmembership?ItemMember=" + urllib.parse.quote('a<b>&"c')
               + "&Show_members=Members")
    assert b'<FONT COLOR="ff0000">a&lt;b&gt;&amp;&quot;c</FONT>' in view


@pytest.mark.parametrize("item, shown", [
    # an account with a server: user and server name it
    ("jim@pop.far.example (jim@far.example) >> bob",
     lambda: pop3_table("jim", "pop.far.example", "s3cret!", "jim@far.example", 30,
                        ACCOUNT_OPTIONS.replace(b"<OPTION> bob", b"<OPTION SELECTED> bob"))),
    # an account without a server is shown without its user: the address names it
    ("@ (all@near.example) >> [staff]",
     lambda: pop3_table("", "", "", "all@near.example", 30,
                        ACCOUNT_OPTIONS.replace(b"<OPTION> [staff]", b"<OPTION SELECTED> [staff]"))),
])
def test_pop3_editor_from_the_edit_button(korvanet, tmp_path, item, shown):
    start(korvanet, tmp_path)
    pop3 = get("/admin/config/content/mail/pop3")
    answer = get(submission(pop3, "Edit_mail", AccountListItem=item))
    assert answer.startswith(b"HTTP/1.0 302 Redirect\r\n")
    assert b"Location: /admin/config/content/mail/pop3edit\r\n" in answer
    page = get("/admin/config/content/mail/pop3edit")
    assert page == head(MAIL_SERVER, 1, "Edit POP3 account settings") + shown() + foot("mail/pop3")


def test_pop3_editor_without_an_account_ends_after_its_head(korvanet, tmp_path):
    start(korvanet, tmp_path)
    assert get("/admin/config/content/mail/pop3edit") == head(MAIL_SERVER, 1, "Edit POP3 account settings")
