"""The black-box tests' clients: raw sockets and curl as browsers of the proxy
and the admin server, Basic credentials, and a browser's handling of HTML
forms (one parser, and the request a browser sends when a form's button is
pressed)."""
import base64
import html.parser
import socket
import subprocess
import urllib.parse

# What the admin server's pages begin with.
PAGE_HEAD = b"HTTP/1.0 200 \r\nContent-Type: text/html\r\nPragma: no-cache\r\n\r\n"
BANNER = (b'<B><FONT SIZE="+1"><FONT COLOR="#FF0000">Korv</FONT>'
          b'<FONT COLOR="#0000FF">anet</FONT></FONT></B>')


# --- sockets ------------------------------------------------------------------

def connect(port, host="127.0.0.1", source=None, timeout=10):
    """A connection to host:port, from the address source when given."""
    s = socket.socket()
    s.settimeout(timeout)
    if source:
        s.bind((source, 0))
    s.connect((host, port))
    return s


def read_until_close(s, limit=4 << 20):
    """Everything the peer sends until it closes (or resets), at most limit bytes."""
    data = b""
    try:
        while len(data) < limit:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        pass
    return data


def read_until(s, marker, limit=1 << 20):
    """Bytes up to and including marker (or what came before a close); a read
    may take some bytes beyond it."""
    data = b""
    while marker not in data and len(data) < limit:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def read_head(s, limit=65536):
    """Bytes up to and including the first blank line (or what came before a close)."""
    return read_until(s, b"\r\n\r\n", limit)


def exchange(raw, port, timeout=10, host="127.0.0.1", source=None):
    """Sends raw bytes on a new connection and returns the whole answer."""
    s = connect(port, host, source, timeout)
    s.sendall(raw)
    data = read_until_close(s)
    s.close()
    return data


def listening(port):
    """Whether something accepts connections on 127.0.0.1:port."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


# --- the proxy and the admin server -----------------------------------------------

def basic(name, password):
    """The value of an Authorization or Proxy-Authorization header."""
    return "Basic " + base64.b64encode(f"{name}:{password}".encode()).decode()


def proxy_get(proxy_port, url, headers=b"", timeout=10):
    """A GET of url through the proxy, with headers (bytes, each ending in
    CRLF); everything the proxy sends until it closes."""
    return exchange(f"GET {url} HTTP/1.0\r\n".encode() + headers + b"\r\n", proxy_port, timeout)


def admin_get(admin_port, path, auth=None, headers="", timeout=10, **where):
    """One admin request: GET path, with an Authorization header when auth is
    given and then headers (text, each ending in CRLF); everything the server
    sends until it closes. where: host, source of the connection."""
    head = f"GET {path} HTTP/1.0\r\n"
    if auth:
        head += f"Authorization: {auth}\r\n"
    return exchange((head + headers + "\r\n").encode("latin-1"), admin_port, timeout, **where)


def curl(*args, timeout=20):
    return subprocess.run(["curl", "-sS", "--max-time", "15", *args], capture_output=True, timeout=timeout)


# --- a browser's form handling -------------------------------------------------------

class FormParser(html.parser.HTMLParser):
    """The controls of the first form of a page, in document order."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.action = None
        self.controls = []  # dicts: kind, name, value, checked / options
        self.in_form = False
        self.done = False
        self.select = None
        self.option = None

    def _end_option(self):
        if self.option is not None:
            text = " ".join(self.option["text"].split())
            self.select["options"].append((self.option["value"] if self.option["value"] is not None else text,
                                           self.option["selected"]))
            self.option = None

    def handle_starttag(self, tag, attrs):
        a = {k.lower(): v for k, v in attrs}
        if tag == "form" and not self.done and not self.in_form:
            self.in_form, self.action = True, a.get("action")
        if not self.in_form:
            return
        if tag == "input" and a.get("name"):
            self.controls.append({"kind": (a.get("type") or "text").lower(), "name": a["name"],
                                  "value": a.get("value"), "checked": "checked" in a})
        elif tag == "select":
            self.select = {"kind": "select", "name": a.get("name"), "options": [],
                           "size": int(a.get("size") or 1)}
            self.controls.append(self.select)
        elif tag == "option" and self.select is not None:
            self._end_option()
            self.option = {"value": a.get("value"), "selected": "selected" in a, "text": ""}
        elif tag == "textarea":
            self.controls.append({"kind": "textarea", "name": a.get("name"), "value": ""})

    def handle_endtag(self, tag):
        if tag == "select" and self.select is not None:
            self._end_option()
            self.select = None
        elif tag == "form" and self.in_form:
            self.in_form, self.done = False, True

    def handle_data(self, data):
        if self.option is not None:
            self.option["text"] += data
        elif self.controls and self.controls[-1]["kind"] == "textarea" and self.in_form:
            self.controls[-1]["value"] += data


def parse_form(page):
    """The first form of a page (an answer's bytes, head and all)."""
    p = FormParser()
    p.feed(page.decode("latin-1"))
    p.close()
    if p.select is not None:
        p._end_option()
    return p


def submission(page, button, action="/admin/config/apply", **values):
    """The path a browser asks for when the submit button named `button` of the
    page's form (whose action must be `action`) is pressed, after the user set
    `values` (checkboxes True/False, selects by option text, which must be
    offered)."""
    form = parse_form(page)
    assert form.action == action, form.action
    pairs, pressed = [], False
    for c in form.controls:
        name, kind = c["name"], c["kind"]
        if kind == "submit":
            if name == button and not pressed:
                pairs.append((name, c["value"] or ""))
                pressed = True
        elif kind == "checkbox":
            on = values.pop(name) if name in values else c["checked"]
            if on:
                pairs.append((name, c["value"] or "on"))
        elif kind == "radio":
            continue
        elif kind == "select":
            texts = [t for t, _ in c["options"]]
            if name in values:
                want = values.pop(name)
                assert want in texts, (name, want, texts)
                pairs.append((name, want))
            else:
                chosen = [t for t, sel in c["options"] if sel]
                if chosen:
                    pairs.append((name, chosen[0]))
                elif c["size"] <= 1 and texts:
                    pairs.append((name, texts[0]))
        else:
            pairs.append((name, values.pop(name) if name in values else (c["value"] or "")))
    assert pressed, f"no button {button}"
    assert not values, f"fields not on the page: {values}"
    query = "&".join(urllib.parse.quote_plus(k, safe="*-._") + "=" + urllib.parse.quote_plus(v, safe="*-._")
                     for k, v in pairs)
    return form.action + "?" + query


def select_options(page, name):
    """The option texts of the select `name` of the page's first form."""
    return [t for c in parse_form(page).controls if c["kind"] == "select" and c["name"] == name
            for t, _ in c["options"]]
