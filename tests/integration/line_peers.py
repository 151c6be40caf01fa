"""Scripted line-protocol servers for black-box tests, run as a program
(usually inside a second network namespace). Each records every byte it
receives, appended to LOG, and prints "ready" once it listens.

    python3 line_peers.py pop3|news|smtp ADDRESS PORT LOG

pop3: greets "+OK peer ADDRESS", answers USER, PASS, STAT, RETR 1 and QUIT.
news: greets "200 news ADDRESS", answers DATE and QUIT.
smtp: an aiosmtpd server; LOG gets one JSON line per message (peer address,
envelope and content)."""
import json
import socket
import sys
import threading
import time

MESSAGE = b"Subject: hi\r\n\r\nline one\r\n..dot line\r\n"


def answers_pop3(line, address):
    word = line.split(b" ")[0].upper()
    if word == b"RETR":
        return b"+OK %d octets\r\n" % len(MESSAGE) + MESSAGE + b".\r\n", False
    if word == b"QUIT":
        return b"+OK bye\r\n", True
    if word == b"STAT":
        return b"+OK 1 %d\r\n" % len(MESSAGE), False
    return b"+OK " + word + b" at " + address.encode() + b"\r\n", False


def answers_news(line, address):
    word = line.split(b" ")[0].upper()
    if word == b"QUIT":
        return b"205 bye\r\n", True
    if word == b"DATE":
        return b"111 20260101000000\r\n", False
    return b"500 what?\r\n", False


def serve_lines(address, port, log, greeting, answers):
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind((address, port))
    srv.listen(16)
    print("ready", flush=True)
    lock = threading.Lock()

    def handle(conn):
        with conn:
            conn.sendall(greeting)
            pending = b""
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                with lock, open(log, "ab") as f:
                    f.write(data)
                pending += data
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    reply, done = answers(line.rstrip(b"\r"), address)
                    conn.sendall(reply)
                    if done:
                        return

    while True:
        conn, _ = srv.accept()
        threading.Thread(target=handle, args=(conn,), daemon=True).start()


def serve_smtp(address, port, log):
    from aiosmtpd.controller import Controller

    class Recorder:
        async def handle_DATA(self, server, session, envelope):
            with open(log, "a") as f:
                f.write(json.dumps({"peer": session.peer[0], "from": envelope.mail_from,
                                    "to": envelope.rcpt_tos,
                                    "data": envelope.original_content.decode("latin-1")}) + "\n")
            return "250 stored"

    controller = Controller(Recorder(), hostname=address, port=port)
    controller.start()
    print("ready", flush=True)
    while True:
        time.sleep(3600)


def main():
    kind, address, port, log = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    if kind == "pop3":
        serve_lines(address, port, log, b"+OK peer " + address.encode() + b"\r\n", answers_pop3)
    elif kind == "news":
        serve_lines(address, port, log, b"200 news " + address.encode() + b"\r\n", answers_news)
    else:
        serve_smtp(address, port, log)


if __name__ == "__main__":
    main()
