#!/usr/bin/python3
"""Tiny TCP echo server for the tunnel round-trip test.

Usage: echo_server.py PORT [IDLE_SECONDS]

Listens on 127.0.0.1:PORT and sends back whatever each connection sends, one
thread per connection. A connection ends when the peer closes, after
IDLE_SECONDS (default 60) of silence, or after MAX_BYTES bytes, so a stuck
client can never keep it busy.
"""
import socket
import sys
import threading

MAX_BYTES = 64 * 1024 * 1024
IDLE_TIMEOUT_S = 60
MAX_CONNECTIONS = 64


def serve(conn, idle_s):
    total = 0
    with conn:
        conn.settimeout(idle_s)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            while total < MAX_BYTES:
                data = conn.recv(65536)
                if not data:
                    return
                conn.sendall(data)
                total += len(data)
        except OSError:
            return


def main():
    port = int(sys.argv[1])
    idle_s = float(sys.argv[2]) if len(sys.argv) > 2 else IDLE_TIMEOUT_S
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(64)
    slots = threading.BoundedSemaphore(MAX_CONNECTIONS)
    while True:
        conn, _ = srv.accept()
        if not slots.acquire(blocking=False):
            conn.close()
            continue

        def run(c=conn):
            try:
                serve(c, idle_s)
            finally:
                slots.release()

        threading.Thread(target=run, daemon=True).start()


if __name__ == "__main__":
    main()
