"""Stand-in Telvanes and a telvane-hub for the hub's load tests and bench.

A stand-in speaks Telvane's protocol as Telvane does: the catalogue on
connect, then the readings asked for ("v2gd::" + hash + ";") answered once
each on the next tick, one client at a time. It counts the ticks at which the
hub had not asked again for every reading: polling that falls behind.
"""
import hashlib
import os
import sys
import selectors
import signal
import socket
import subprocess
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'soak'))
from soak import resident_kib  # noqa: E402,F401  (for the hub's load tests)


def free_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


class StandInTelvane(threading.Thread):
    def __init__(self, name, readings, tick=1.0):
        super().__init__(daemon=True)
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.tick = tick
        self.readings = []
        for i in range(readings):
            label = '%s sensor %d' % (name, i)
            digest = hashlib.sha1(('%s:%d' % (label, i)).encode()).hexdigest()
            self.readings.append((digest, label))
        self.ticks = 0
        self.late_ticks = 0  # ticks (after the first two of a connection) without every reading asked for
        self.answered = 0  # replies sent on ticks
        self.stopping = False

    def reply(self, index, value_format):
        digest, label = self.readings[index]
        value = 40 + (self.ticks + index) % 17
        return ('v2sd::%s::%s::%s::%s;' % (digest, label, value_format % value, 'C')).encode()

    def run(self):
        client = None
        pending = set()
        buffer = b''
        connection_ticks = 0
        next_tick = time.monotonic() + self.tick
        selector = selectors.DefaultSelector()
        selector.register(self.listener, selectors.EVENT_READ)
        by_hash = {digest: i for i, (digest, _) in enumerate(self.readings)}
        while not self.stopping:
            for key, _ in selector.select(max(0.0, next_tick - time.monotonic())):
                if key.fileobj is self.listener:
                    if client:
                        selector.unregister(client)
                        client.close()
                    client, _ = self.listener.accept()
                    client.setblocking(True)
                    selector.register(client, selectors.EVENT_READ)
                    pending, buffer, connection_ticks = set(), b'', 0
                    client.sendall(b''.join(self.reply(i, '%g') for i in range(len(self.readings))))
                else:
                    try:
                        data = client.recv(1 << 16)
                    except OSError:  # the hub went away
                        data = b''
                    if not data:
                        selector.unregister(client)
                        client.close()
                        client = None
                        continue
                    buffer += data
                    requests = buffer.split(b';')
                    buffer = requests.pop()
                    for request in requests:
                        if request.startswith(b'v2gd::') and request[6:].decode() in by_hash:
                            pending.add(by_hash[request[6:].decode()])
            if time.monotonic() >= next_tick:
                next_tick += self.tick
                self.ticks += 1
                if client:
                    connection_ticks += 1
                    if connection_ticks > 2 and len(pending) < len(self.readings):
                        self.late_ticks += 1
                    self.answered += len(pending)
                    if pending:
                        client.sendall(b''.join(self.reply(i, '%f') for i in sorted(pending)))
                    pending = set()
        if client:
            client.close()
        self.listener.close()

    def stop(self):
        self.stopping = True
        self.join(5)


def start_hub(program, upstreams, options=()):
    port = free_port()
    hub = subprocess.Popen([program, '--listen', '127.0.0.1:%d' % port, *options] +
                           ['127.0.0.1:%d' % u.port for u in upstreams],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = 'http://127.0.0.1:%d' % port
    end = time.monotonic() + 30
    while time.monotonic() < end:
        try:
            urllib.request.urlopen(url + '/metrics', timeout=2).read()
            return hub, url
        except OSError:
            time.sleep(0.1)
    hub.kill()
    raise SystemExit('telvane-hub did not serve HTTP')


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            return process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            return None
    return process.returncode


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def worker_cpu_seconds(pid):
    """CPU time of every thread but the main one: the HTTP side of the hub."""
    total = 0
    for task in os.listdir('/proc/%d/task' % pid):
        if int(task) != pid:
            try:
                with open('/proc/%d/task/%s/schedstat' % (pid, task)) as stat:
                    total += int(stat.read().split()[0])
            except OSError:
                pass  # a thread that just ended
    return total / 1e9


def peak_resident_kib(pid):
    with open('/proc/%d/status' % pid) as status:
        for line in status:
            if line.startswith('VmHWM:'):
                return int(line.split()[1])
    return 0
