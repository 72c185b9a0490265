#!/usr/bin/env python3
"""A raw client of Telvane's protocol, for the checks under Wine.

Usage: protocolcheck.py HOST PORT READINGS

Connects, takes the catalogue (READINGS replies), then asks for every reading
again and again until one of them has changed its value between two rounds of
answers (fresh values on later ticks), and finally sends one request in two
writes, split inside the hash, and waits for its answer. Every wait is
bounded; exits 1 with the reason on the first failure.
"""

import re
import socket
import sys
import time

REPLY = re.compile(rb"v2sd::([0-9a-f]{40})::(.*?)::(.*?)::(.*?);", re.S)


class Connection:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port), timeout=30)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def replies_until(self, enough, seconds):
        """Reads replies until enough(replies) holds; None when time runs out."""
        replies = []
        deadline = time.monotonic() + seconds
        while not enough(replies):
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                return None
            if not data:
                raise SystemExit("FAIL: Telvane closed the connection")
            self.buffer += data
            while True:
                match = REPLY.search(self.buffer)
                if not match:
                    break
                replies.append((match.group(1).decode(), match.group(3).decode("utf-8", "replace")))
                self.buffer = self.buffer[match.end():]
        return replies


def main():
    if len(sys.argv) != 4:
        raise SystemExit("usage: protocolcheck.py HOST PORT READINGS")
    host, port, readings = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    connection = Connection(host, port)

    catalogue = connection.replies_until(lambda got: len(got) >= readings, 60)
    if not catalogue or readings == 0:
        raise SystemExit(f"FAIL: no catalogue of {readings} readings")
    hashes = [hash_ for hash_, _ in catalogue]
    if len(set(hashes)) != readings:
        raise SystemExit(f"FAIL: the catalogue has {len(set(hashes))} different hashes for {readings} readings")
    print(f"catalogue: {readings} readings")

    request = b"".join(b"v2gd::" + h.encode() + b";" for h in hashes)
    previous = dict(catalogue)
    for round_ in range(1, 31):
        connection.sock.sendall(request)
        answers = connection.replies_until(lambda got: len(got) >= readings, 30)
        if answers is None:
            raise SystemExit(f"FAIL: round {round_} of requests was not answered in full")
        current = dict(answers)
        changed = [h for h in hashes if current.get(h) != previous.get(h)]
        if changed:
            print(f"round {round_}: {len(changed)} fresh values")
            break
        previous = current
    else:
        raise SystemExit("FAIL: no value changed over 30 rounds of answers")

    # One request in two writes, the cut inside the hash.
    wanted = hashes[len(hashes) // 2]
    whole = b"v2gd::" + wanted.encode() + b";"
    connection.sock.sendall(whole[:20])
    time.sleep(0.3)  # lets the first part leave as a segment of its own
    connection.sock.sendall(whole[20:])
    answer = connection.replies_until(lambda got: any(h == wanted for h, _ in got), 30)
    if answer is None:
        raise SystemExit("FAIL: the request split across two writes was not answered")
    print("split request answered")


if __name__ == "__main__":
    main()
