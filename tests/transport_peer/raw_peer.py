#!/usr/bin/env python3
"""A raw-byte TCP client for the server tests, driven by steps on stdin.

    raw_peer.py PORT < steps

Each line of stdin is one step on the current connection:
    conn N          switch to connection N, opening it first when new
    send HEX        send the bytes
    drip HEX MS     send the bytes one at a time, MS milliseconds apart
    sleep MS        wait
    shutwr          end our sending side (the peer sees end of input)
    read MS         read until the server closes or resets the connection,
                    or MS milliseconds passed in all

Every read step writes one record to stdout:
    #READ N STATE LENGTH\\n<LENGTH bytes>\\n
STATE is "closed" (end of input), "reset" (reset by the server) or "open"
(the time ran out). Sending into a connection the server has already closed
is not an error: the step stops there, and the next read tells what came.
Only 127.0.0.1 is ever contacted; every wait is bounded.
"""
import errno
import select
import socket
import sys
import time

MAX_WAIT_MS = 30000
MAX_READ = 16 * 1024 * 1024


def send_all(sock, data):
    try:
        sock.sendall(data)
        return True
    except OSError as e:
        if e.errno in (errno.EPIPE, errno.ECONNRESET):
            return False
        raise


def read(sock, ms):
    ms = min(ms, MAX_WAIT_MS)
    deadline = time.monotonic() + ms / 1000.0
    got = bytearray()
    state = "open"
    while len(got) < MAX_READ:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([sock], [], [], left)
        if not ready:
            break
        try:
            block = sock.recv(65536)
        except OSError as e:
            if e.errno == errno.ECONNRESET:
                state = "reset"
                break
            raise
        if not block:
            state = "closed"
            break
        got += block
    return state, bytes(got)


def main():
    port = int(sys.argv[1])
    conns = {}
    current = None
    out = sys.stdout.buffer
    for line in sys.stdin.read().splitlines():
        words = line.split()
        if not words:
            continue
        op = words[0]
        if op == "conn":
            n = int(words[1])
            if n not in conns:
                s = socket.create_connection(("127.0.0.1", port), timeout=MAX_WAIT_MS / 1000.0)
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                conns[n] = s
            current = n
        elif op == "send":
            send_all(conns[current], bytes.fromhex(words[1]) if len(words) > 1 else b"")
        elif op == "drip":
            data = bytes.fromhex(words[1])
            pause = min(int(words[2]), MAX_WAIT_MS) / 1000.0
            for i in range(len(data)):
                if not send_all(conns[current], data[i:i + 1]):
                    break
                time.sleep(pause)
        elif op == "sleep":
            time.sleep(min(int(words[1]), MAX_WAIT_MS) / 1000.0)
        elif op == "shutwr":
            try:
                conns[current].shutdown(socket.SHUT_WR)
            except OSError:
                pass
        elif op == "read":
            state, data = read(conns[current], int(words[1]))
            out.write(b"#READ %d %s %d\n" % (current, state.encode(), len(data)))
            out.write(data + b"\n")
            out.flush()
        else:
            raise SystemExit("unknown step: " + line)
    for s in conns.values():
        s.close()


if __name__ == "__main__":
    main()
