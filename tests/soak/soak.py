#!/usr/bin/env python3
"""Soak and fault tests against the built Telvane, as a real client on port 8881.

Each scenario starts its own writer (telvane-publish --demo, or sectionchurn)
under the product's section name, then telvane on Qt's offscreen platform, and
stops both at the end. Exit status 0 when every check held; the checks and the
figures measured are printed.

  soak.py PROGRAMS connections [--count N]
  soak.py PROGRAMS stuck [--seconds S]
  soak.py PROGRAMS churn [--seconds S]
  soak.py PROGRAMS shrink [--seconds S]
  soak.py PROGRAMS publisher-killed
  soak.py PROGRAMS restart
  soak.py PROGRAMS swap [--count N]
  soak.py PROGRAMS publisher [--seconds S]
  soak.py PROGRAMS publisher-restarted
  soak.py --client PATH replies [--count N]

PROGRAMS is --build DIR (a build folder holding them all), or the programs
one by one: --telvane PATH --publish PATH --churn PATH.
"""
import argparse
import hashlib
import os
import random
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time

PORT = 8881
SECTION_FILE = '/dev/shm/HWiNFO_SENS_SM2'
CLOSED_LINE = "HWiNFO's Shared Memory was closed, waiting for HWiNFO..."
REPLY = re.compile(rb'v2sd::([0-9a-f]{40})::(.*?)::(.*?)::(.*?);', re.S)

failures = []


def check(ok, what):
    print(('ok: ' if ok else 'FAIL: ') + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def wait_until(condition, seconds, step=0.05):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(step)
    return condition()


def port_listening():
    for table in ('/proc/net/tcp', '/proc/net/tcp6'):
        try:
            with open(table) as lines:
                next(lines)
                for line in lines:
                    fields = line.split()
                    if fields[1].endswith(':%04X' % PORT) and fields[3] == '0A':
                        return True
        except OSError:
            pass
    return False


def resident_kib(pid):
    with open('/proc/%d/status' % pid) as status:
        for line in status:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


def open_fds(pid):
    return len(os.listdir('/proc/%d/fd' % pid))


class Processes:
    """The writer and telvane, started in order and always stopped."""

    def __init__(self, programs):
        self.programs = programs
        self.children = []
        self.logs = tempfile.TemporaryDirectory(prefix='telvane-soak-')

    def start(self, name, command, env=None):
        log = open(os.path.join(self.logs.name, name + '.log'), 'wb')
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=env)
        self.children.append((name, process))
        return process

    def start_writer(self, command, telvane_running=False):
        if os.path.exists(SECTION_FILE) or (port_listening() and not telvane_running):
            sys.exit('the product section %s or port %d is in use by another program' % (SECTION_FILE, PORT))
        writer = self.start('writer', command)
        if not wait_until(lambda: os.path.exists(SECTION_FILE) or writer.poll() is not None, 30):
            sys.exit('the writer did not publish %s' % SECTION_FILE)
        if writer.poll() is not None:
            sys.exit('the writer stopped: ' + self.log_text('writer')[-2000:])
        return writer

    def start_publisher(self, readings, telvane_running=False):
        return self.start_writer([self.programs.publish, '--demo', '--readings', str(readings)],
                                 telvane_running)

    def start_telvane(self):
        env = dict(os.environ, QT_QPA_PLATFORM='offscreen')
        telvane = self.start('telvane', [self.programs.telvane], env)
        if not wait_until(lambda: port_listening() or telvane.poll() is not None, 60):
            sys.exit('telvane did not listen on port %d' % PORT)
        if telvane.poll() is not None:
            sys.exit('telvane stopped: ' + self.log_text('telvane')[-2000:])
        return telvane

    def log_text(self, name):
        """Everything the program wrote so far."""
        with open(os.path.join(self.logs.name, name + '.log'), 'rb') as log:
            return log.read().decode('utf-8', 'replace')

    def log_lines(self, name):
        return self.log_text(name).splitlines()

    def stop(self):
        for name, process in reversed(self.children):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(20)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.children = []


class Client:
    def __init__(self):
        self.socket = socket.create_connection(('127.0.0.1', PORT), timeout=10)
        self.buffer = b''

    def receive(self, seconds):
        """Whatever arrives within `seconds`; b'' also when the server closed."""
        ready, _, _ = select.select([self.socket], [], [], seconds)
        if not ready:
            return None
        try:
            return self.socket.recv(1 << 16)
        except ConnectionResetError:
            return b''

    def replies(self, count, seconds=30):
        """Reads until `count` whole replies arrived; returns them as tuples."""
        found = []
        end = time.monotonic() + seconds
        while len(found) < count and time.monotonic() < end:
            data = self.receive(max(0.0, end - time.monotonic()))
            if not data:
                break
            self.buffer += data
            found += self.take_replies()
        return found

    def replies_until_quiet(self, seconds):
        """Every reply that arrives until nothing came for `seconds`."""
        found = []
        while True:
            more = self.replies(len(found) + 1, seconds)
            if not more:
                return found
            found += more

    def take_replies(self):
        found = [match.groups() for match in REPLY.finditer(self.buffer)]
        last = self.buffer.rfind(b';')
        self.buffer = self.buffer[last + 1:] if last >= 0 else self.buffer
        return found

    def drain(self):
        """Drops whatever has arrived already."""
        while self.receive(0):
            pass
        self.buffer = b''

    def ask(self, hashes):
        self.socket.sendall(request(hashes))

    def values(self, hashes, seconds):
        """Asks for every hash once; the values answered, by hash."""
        self.ask(hashes)
        return {h: v for h, _, v, _ in self.replies(len(hashes), seconds)}

    def closed_by_server(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            data = self.receive(end - time.monotonic())
            if data == b'':
                return True
            if data is None:
                return False
        return False

    def close(self):
        self.socket.close()


def request(hashes):
    return b''.join(b'v2gd::' + h + b';' for h in hashes)


def reading_hash(label, sensor):
    return hashlib.sha1(label + b':' + str(sensor).encode()).hexdigest().encode()


def catalogue_size():
    """The number of readings, from a first client's catalogue."""
    client = Client()
    replies = client.replies_until_quiet(2)
    client.close()
    return len(replies)


def connections(args, processes):
    processes.start_publisher(40)
    telvane = processes.start_telvane()
    readings = catalogue_size()
    check(readings == 40, 'the catalogue has the 40 readings published (%d)' % readings)
    warm = max(300, args.count // 2)
    samples = {}
    previous = None
    replaced = 0
    for number in range(1, args.count + 1):
        client = Client()
        got = client.replies(readings)
        if len(got) != readings:
            check(False, 'connection %d received %d of %d replies' % (number, len(got), readings))
            break
        if previous is not None:
            # Replaced: the server closes the earlier client's connection.
            if not previous.closed_by_server(10):
                check(False, 'connection %d closed when %d came' % (number - 1, number))
                break
            replaced += 1
            previous.close()
            previous = None
        if number % 2:
            client.close()  # leaves
        else:
            previous = client  # stays until the next one replaces it
        if number in (300, warm, args.count):
            if previous is not None:
                previous.close()
                previous = None
            # Let the departure be handled before measuring.
            time.sleep(0.5)
            samples[number] = (open_fds(telvane.pid), resident_kib(telvane.pid))
            print('after %d connections: %d open fds, %d KiB resident' % ((number,) + samples[number]), flush=True)
    if previous is not None:
        previous.close()
    print('%d connections replaced by the next one, each closed by the server' % replaced, flush=True)
    check(telvane.poll() is None, 'telvane still runs after %d connections' % args.count)
    if args.count in samples and 300 in samples:
        check(samples[args.count][0] <= samples[300][0] + 2,
              'open fds back at their level: %d after 300, %d after %d'
              % (samples[300][0], samples[args.count][0], args.count))
    if args.memory and args.count in samples and warm in samples and warm < args.count:
        growth = samples[args.count][1] - samples[warm][1]
        check(growth <= 1024, 'resident memory back at its level: %+d KiB from connection %d to %d'
              % (growth, warm, args.count))


def stuck(args, processes):
    processes.start_publisher(200)
    telvane = processes.start_telvane()
    client = Client()
    catalogue = client.replies(200)
    check(len(catalogue) == 200, 'the stuck client received the catalogue first')
    hashes = [reply[0] for reply in catalogue]
    # From now on it only asks, for every reading many times over, and never reads.
    client.socket.setblocking(False)
    flood = request(hashes) * 20
    start = time.monotonic()
    samples = []
    sent = 0
    while time.monotonic() - start < args.seconds:
        try:
            sent += client.socket.send(flood)
        except BlockingIOError:
            time.sleep(0.01)
        elapsed = time.monotonic() - start
        if not samples or elapsed - samples[-1][0] >= 1:
            samples.append((elapsed, resident_kib(telvane.pid)))
    shown = samples if len(samples) <= 12 else samples[:6] + samples[-6:]
    print('sent %d MiB of requests; resident KiB over time: %s'
          % (sent >> 20, ', '.join('%.0fs:%d' % sample for sample in shown)), flush=True)
    check(telvane.poll() is None, 'telvane still runs while a client never reads')
    if args.memory:
        # The first third fills the pending list, the socket's buffers and the
        # allocator's pools (slower on a busy machine); from then on memory
        # must stand still.
        middle = [kib for elapsed, kib in samples if args.seconds / 3 <= elapsed < 2 * args.seconds / 3]
        last = [kib for elapsed, kib in samples if elapsed >= 2 * args.seconds / 3]
        growth = max(last) - max(middle)
        check(growth <= 4096, 'resident memory bounded: %+d KiB over the last third' % growth)
        check(max(kib for _, kib in samples) <= 256 * 1024,
              'resident memory under 256 MiB (%d KiB)' % max(kib for _, kib in samples))
    # The next client is served normally, and the stuck one is let go.
    nextClient = Client()
    fresh = nextClient.replies(200)
    check(len(fresh) == 200, 'the next client receives the whole catalogue (%d of 200)' % len(fresh))
    # Requests still pending from the stuck client are answered on the next
    # tick, to whoever is connected then, and while they fill the pending list
    # new requests are dropped: the new client may have to ask again.
    answered = False
    for attempt in (1, 2):
        nextClient.ask([hashes[0], hashes[1]])
        answers = nextClient.replies_until_quiet(3)
        answered = [a[0] for a in answers[-2:]] == [hashes[0], hashes[1]]
        print('request %d of the next client: %d replies arrived, its own %s'
              % (attempt, len(answers), 'last' if answered else 'not among them'), flush=True)
        if answered:
            break
    check(answered, 'the next client gets its answers')
    nextClient.close()
    client.close()


def churn(args, processes):
    processes.start_writer([processes.programs.churn, '/HWiNFO_SENS_SM2',
                            '300', '4', str(args.seconds + 60)])
    telvane = processes.start_telvane()
    client = Client()
    start = time.monotonic()
    checked = 0
    known = set()
    wrong = []
    while time.monotonic() - start < args.seconds:
        data = client.receive(0.5)
        if data == b'':
            check(False, 'telvane closed the connection')
            break
        if data:
            client.buffer += data
        asked = []
        for hash_, label, value, unit in client.take_replies():
            checked += 1
            match = re.fullmatch(rb'Churn reading (\d+)', label)
            number = int(match.group(1)) if match else -1
            consistent = (match is not None and unit == b'u%d' % number
                          and hash_ == reading_hash(label, number % 4)
                          and abs(float(value) - (number + 0.5)) < 1e-9)
            if not consistent and len(wrong) < 5:
                wrong.append((hash_, label, value, unit))
            if hash_ not in known:
                known.add(hash_)
            asked.append(hash_)
        if asked:
            client.ask(asked)  # every reading again, after each reply
    client.close()
    print('%d replies checked, %d distinct readings seen' % (checked, len(known)), flush=True)
    check(not wrong, 'every reply names one reading: label, unit, hash and value agree %s' % (wrong or ''))
    check(checked > 300, 'replies kept coming while the count changed')
    check(telvane.poll() is None, 'telvane still runs')


def catalogues(replies):
    """The replies split where a reading comes again: each part is one catalogue."""
    runs, seen = [[]], set()
    for reply in replies:
        if reply[0] in seen:
            runs.append([])
            seen.clear()
        seen.add(reply[0])
        runs[-1].append(reply)
    return runs


def shrink(args, processes):
    readings = 5000
    processes.start_writer([processes.programs.churn, '/HWiNFO_SENS_SM2',
                            str(readings), '2', str(args.seconds + 60), '--shrink'])
    telvane = processes.start_telvane()
    start = time.monotonic()
    received = 0
    connections = 0
    largest = 0
    while time.monotonic() - start < args.seconds and telvane.poll() is None:
        # Each connection has the table built while the object flips; then the
        # client polls every reading it got, through a few ticks.
        client = Client()
        connections += 1
        catalogue = client.replies(1, seconds=10)  # the build may take a while
        catalogue += client.replies_until_quiet(0.5)
        # A build made while the object was short is followed by a whole one
        # as soon as the object is back: each catalogue is measured alone.
        largest = max([largest] + [len(run) for run in catalogues(catalogue)])
        hashes = list(dict.fromkeys(reply[0] for reply in catalogue))
        polled = time.monotonic()
        while hashes and time.monotonic() - polled < 1.2:
            client.ask(hashes)
            answers = client.replies(len(hashes), seconds=5)  # a busy machine builds slowly
            received += len(answers)
            hashes = [reply[0] for reply in answers]
        client.close()
    print('%d connections, catalogues of up to %d replies, %d answers while the object flipped'
          % (connections, largest, received), flush=True)
    check(telvane.poll() is None, 'telvane still runs while the object flips between its size and one page')
    check(largest <= readings, 'no catalogue has more than the %d readings' % readings)
    check(received > 0, 'answers kept coming')


def watched_publisher(processes, when):
    """A demo publisher of 40 readings, telvane, and a client that got the
    catalogue; returns them and the catalogue's hashes."""
    publisher = processes.start_publisher(40)
    telvane = processes.start_telvane()
    client = Client()
    catalogue = client.replies(40)
    check(len(catalogue) == 40, 'catalogue before ' + when)
    return publisher, telvane, client, [reply[0] for reply in catalogue]


def publisher_killed(args, processes):
    for how in (signal.SIGKILL, signal.SIGTERM):
        publisher, telvane, client, hashes = watched_publisher(processes, 'the publisher goes')
        publisher.send_signal(how)
        publisher.wait(20)
        time.sleep(1.2)  # at least one tick after the last value was written
        client.drain()
        rounds = [client.values(hashes, 3 if how == signal.SIGTERM else 10) for _ in range(3)]
        if how == signal.SIGKILL:
            # Killed, it leaves its section behind: nothing tells it from a monitor whose values stand still.
            check(all(len(r) == 40 for r in rounds), 'after SIGKILL every request is still answered')
            check(rounds[1] == rounds[2], 'after SIGKILL the last values are served, unchanged')
        else:
            # Stopped, it removes its section: values nobody updates are not served.
            check(all(len(r) == 0 for r in rounds), 'after SIGTERM no request is answered (%s)'
                  % [len(r) for r in rounds])
            check(processes.log_lines('telvane').count(CLOSED_LINE) == 1, 'telvane says once that the section closed')
        check(telvane.poll() is None, 'telvane still runs after the publisher got %s' % how.name)
        client.close()
        processes.stop()
        if os.path.exists(SECTION_FILE):
            os.unlink(SECTION_FILE)  # what the killed publisher left behind


class ChipTree:
    """A sysfs tree of hwmon chips for telvane-publish --sysfs-root, changed
    while it runs. Every label is unique and keeps one value for good, so a
    reply whose value is not its label's own is a mislabelled one."""

    def __init__(self, root):
        self.sys = os.path.join(root, 'sys')
        self.proc = os.path.join(root, 'proc')  # empty: no system figures
        self.classes = os.path.join(self.sys, 'class', 'hwmon')
        os.makedirs(self.classes)
        os.makedirs(self.proc)
        self.values = {}  # label -> its value in degrees
        # A steady chip, and chip A in the slot that swaps between A and B.
        self.steady = self.put(0, 'steady', 'steady.0', ['Steady %d' % i for i in range(3)])
        self.put(1, 'swapa', 'swap.1', ['Chip A %d' % i for i in range(4)])

    def swap(self, to_a):
        """Chip A back (its files are kept) or chip B, with as many readings, in its slot."""
        if to_a:
            self.put(1, 'swapa', 'swap.1', [])
        else:
            self.put(1, 'swapb', 'swap.2', ['Chip B %d' % i for i in range(4)])

    def put(self, slot, name, device, labels):
        """Chip `name` on `device` as hwmon<slot>, one temperature per label."""
        folder = os.path.join(self.sys, 'devices', 'platform', device, 'hwmon', 'hwmon%d' % slot)
        if not os.path.isdir(folder):
            os.makedirs(folder)
            os.symlink(os.path.join(self.sys, 'devices', 'platform', device), os.path.join(folder, 'device'))
            with open(os.path.join(folder, 'name'), 'w') as f:
                f.write(name + '\n')
            for number, label in enumerate(labels, 1):
                value = self.values.setdefault(label, 10.0 + len(self.values))
                for suffix, text in (('input', '%d' % (value * 1000)), ('label', label)):
                    with open(os.path.join(folder, 'temp%d_%s' % (number, suffix)), 'w') as f:
                        f.write(text + '\n')
        link = os.path.join(self.classes, 'hwmon%d' % slot)
        os.symlink(folder, link + '.new')
        os.replace(link + '.new', link)
        return folder

    def remove(self, slot):
        link = os.path.join(self.classes, 'hwmon%d' % slot)
        if os.path.lexists(link):
            os.unlink(link)

    def flap(self, folder):
        """The first attribute of a chip fails to read for a moment (an empty read)."""
        path = os.path.join(folder, 'temp1_input')
        with open(path) as f:
            kept = f.read()
        with open(path, 'w'):
            pass
        return lambda: open(path, 'w').write(kept)

    def wrong(self, replies):
        """The replies whose value is not their label's."""
        bad = []
        for hash_, label, value, unit in replies:
            expected = self.values.get(label.decode('latin-1'))
            try:
                number = float(value)
            except ValueError:
                number = None
            if expected is None or number is None or abs(number - expected) > 1e-6:
                bad.append((hash_, label, value, unit))
        return bad


def watch_once(chips, seconds=1.3):
    """One client: the catalogue, then every reading asked for twice. Returns
    (replies checked, mislabelled replies)."""
    client = Client()
    try:
        replies = client.replies_until_quiet(0.4)
        checked = list(replies)
        hashes = sorted({reply[0] for reply in replies})
        for _ in range(2):
            if not hashes:
                break
            client.ask(hashes)
            checked += client.replies(len(hashes), seconds)
    finally:
        client.close()
    return len(checked), chips.wrong(checked)


def start_tree_publisher(processes, chips, interval):
    return processes.start_writer([processes.programs.publish, '--sysfs-root', chips.sys,
                                   '--proc-root', chips.proc, '--interval', str(interval)])


def swap(args, processes):
    """A chip swapped for another with as many readings, under a Telvane that
    looks once a second: no reply may carry one reading's value under
    another's label."""
    with tempfile.TemporaryDirectory(prefix='telvane-swap-', ignore_cleanup_errors=True) as work:
        chips = ChipTree(work)
        # Refreshed often, so that a reading that went is held for a fifth of
        # Telvane's tick at most: whatever changes must wait for the gate.
        start_tree_publisher(processes, chips, 0.05)
        telvane = processes.start_telvane()
        checked, wrong = 0, []
        for number in range(args.count):
            chips.swap(number % 2)
            end = time.monotonic() + 5
            while time.monotonic() < end:
                seen, bad = watch_once(chips)
                checked += seen
                wrong += bad
        print('%d swaps, %d replies checked' % (args.count, checked), flush=True)
        check(not wrong, 'no reply mislabelled after %d same-count swaps %s' % (args.count, wrong[:5] or ''))
        check(checked > 20 * args.count, 'replies kept coming (%d)' % checked)
        check(telvane.poll() is None, 'telvane still runs')


def restart(args, processes):
    """The publisher killed and started again under a running Telvane: a client
    watching it keeps getting new values, served from the section taken over."""
    publisher, telvane, client, hashes = watched_publisher(processes, 'the restart')

    def values_for(seconds):
        seen = []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            seen.append(client.values(hashes, 5))
        return seen

    publisher.send_signal(signal.SIGKILL)  # a crash; the service manager starts it again
    publisher.wait(20)
    frozen = values_for(2.5)[-1]
    second = processes.start('publisher-again', [processes.programs.publish, '--demo',
                                                 '--readings', '40'])
    wait_until(lambda: 'publishing' in processes.log_text('publisher-again'), 20)
    check('taking over' in processes.log_text('publisher-again'), 'the new publisher took the section over')
    after = values_for(4)
    changed = [round_ for round_ in after[1:] if round_ != frozen]
    check(len(after) >= 3 and all(len(round_) == 40 for round_ in after),
          'every request answered after the restart')
    check(len(changed) >= 2, 'the values keep changing across the restart (%d of %d rounds differ from the last '
          'values before it)' % (len(changed), max(0, len(after) - 1)))
    client.close()
    check(telvane.poll() is None and second.poll() is None, 'telvane and the new publisher still run')


def publisher_soak(args, processes):
    """A chip tree that keeps changing (swaps, devices that come and go on new
    addresses, flapping attributes) under Telvane and a watching client: no
    mislabelled reply, and the publisher's memory stays flat."""
    with tempfile.TemporaryDirectory(prefix='telvane-soak-tree-', ignore_cleanup_errors=True) as work:
        chips = ChipTree(work)
        publisher = start_tree_publisher(processes, chips, 0.5)
        telvane = processes.start_telvane()
        pick = random.Random(11)
        start = time.monotonic()
        next_change = start
        checked, changes, wrong, samples, plugged, restore = 0, 0, [], [], 0, None
        while time.monotonic() - start < args.seconds:
            now = time.monotonic()
            if now >= next_change:
                if restore:
                    restore()
                    restore = None
                action = pick.choice(['swap', 'plug', 'unplug', 'flap'])
                if action == 'swap':
                    chips.swap(changes % 2)
                elif action == 'plug':
                    plugged += 1  # a new bus address each time
                    chips.put(2, 'usbtemp', 'usb-%d' % plugged, ['USB %d probe %d' % (plugged, i) for i in range(2)])
                elif action == 'unplug':
                    chips.remove(2)
                else:
                    restore = chips.flap(chips.steady)
                changes += 1
                next_change = now + pick.uniform(2.0, 4.0)
            seen, bad = watch_once(chips, 1.0)
            checked += seen
            wrong += bad
            elapsed = time.monotonic() - start
            if not samples or elapsed - samples[-1][0] >= 10:
                samples.append((elapsed, resident_kib(publisher.pid)))
        print('%d changes, %d replies checked; publisher resident KiB: %s'
              % (changes, checked, ', '.join('%.0fs:%d' % sample for sample in samples)), flush=True)
        check(not wrong, 'no reply mislabelled %s' % (wrong[:5] or ''))
        check(checked > 20 * changes, 'replies kept coming (%d)' % checked)
        check(telvane.poll() is None and publisher.poll() is None, 'telvane and the publisher still run')
        if args.memory and len(samples) >= 4:
            settled = [kib for elapsed, kib in samples if elapsed >= args.seconds / 3]
            growth = settled[-1] - settled[0]
            check(growth <= 1024, 'publisher memory flat: %+d KiB over the last two thirds' % growth)


def replies(args, processes):
    """A server that sends a catalogue of COUNT replies at once: the one-shot
    telvane-client reads it in linear time (at most 3 s of CPU for 1,000,000)."""
    listener = socket.socket()
    listener.bind(('127.0.0.1', 0))
    listener.listen(1)
    catalogue = b''.join(b'v2sd::%s::Core %d::%d::C;' % (hashlib.sha1(b'%d' % i).hexdigest().encode(), i, i % 90)
                         for i in range(args.count))
    client = processes.start('client', [args.client, '--port', str(listener.getsockname()[1]), '127.0.0.1'])
    connection, _ = listener.accept()
    connection.sendall(catalogue)
    _, status, usage = os.wait4(client.pid, 0)
    client.returncode = os.waitstatus_to_exitcode(status)
    connection.close()
    listener.close()
    cpu = usage.ru_utime + usage.ru_stime
    check(client.returncode == 0, 'client read the catalogue (exit %d)' % client.returncode)
    check(cpu <= 3.0 * args.count / 1000000, 'client CPU for %d replies: %.2f s' % (args.count, cpu))


def publisher_restarted(args, processes):
    publisher, telvane, client, hashes = watched_publisher(processes, 'the publisher stops')
    hashes.sort()
    client.ask(hashes)
    check(len(client.replies(40, seconds=10)) == 40, 'the watching client is answered')

    # Stopped: everything sent before it went was live; nothing may come after.
    publisher.send_signal(signal.SIGTERM)
    publisher.wait(20)
    client.drain()
    gone = []
    for _ in range(3):
        client.ask(hashes)
        gone += client.replies(40, seconds=1.5)
    check(not gone, 'no reply while the section is gone (%d came)' % len(gone))
    check(processes.log_lines('telvane').count(CLOSED_LINE) == 1, 'telvane says once that the section closed')

    # Started again: the client gets the catalogue again, then live values.
    processes.start_publisher(40, telvane_running=True)
    again = client.replies(40, seconds=15)
    check(sorted(reply[0] for reply in again) == hashes, 'the catalogue comes again, with the same hashes')
    rounds = [client.values(hashes, 10) for _ in range(3)]
    check(all(len(r) == 40 for r in rounds), 'every request is answered again')
    check(rounds[0] != rounds[2], 'the values move again')
    lines = processes.log_lines('telvane')
    check(lines.count("HWiNFO running...") == 2, 'telvane opened the section at start-up and once again')
    check(telvane.poll() is None, 'telvane still runs')
    client.close()


SCENARIOS = {'connections': connections, 'stuck': stuck, 'churn': churn, 'shrink': shrink,
             'publisher-killed': publisher_killed, 'publisher-restarted': publisher_restarted,
             'restart': restart, 'swap': swap, 'publisher': publisher_soak, 'replies': replies}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', help='build folder holding the programs not named on their own')
    parser.add_argument('--telvane', help='the telvane program (default: BUILD/telvane)')
    parser.add_argument('--publish', help='the telvane-publish program (default: BUILD/telvane-publish)')
    parser.add_argument('--churn', help='the section churner (default: BUILD/tests/soak_sectionchurn)')
    parser.add_argument('--client', help='the telvane-client program (default: BUILD/telvane-client)')
    parser.add_argument('--no-memory-checks', dest='memory', action='store_false',
                        help='leave out the resident-memory checks (sanitizer builds)')
    parser.add_argument('scenario', choices=list(SCENARIOS))
    parser.add_argument('--count', type=int, default=None, help='connections (connections, default 2000), '
                        'swaps (swap, default 10) or replies (replies, default 1000000)')
    parser.add_argument('--seconds', type=int, default=20, help='duration (stuck, churn, shrink, publisher)')
    args = parser.parse_args()
    if args.count is None:
        args.count = {'swap': 10, 'replies': 1000000}.get(args.scenario, 2000)
    needed = (('client', 'telvane-client'),) if args.scenario == 'replies' else (
        ('telvane', 'telvane'), ('publish', 'telvane-publish'), ('churn', os.path.join('tests', 'soak_sectionchurn')))
    for name, below_build in needed:
        if getattr(args, name) is None:
            if args.build is None:
                parser.error('--%s or --build is needed' % name)
            setattr(args, name, os.path.join(args.build, below_build))
        if not os.access(getattr(args, name), os.X_OK):
            parser.error('%s is not a program here: build first' % getattr(args, name))
    processes = Processes(args)
    try:
        SCENARIOS[args.scenario](args, processes)
    finally:
        processes.stop()
        processes.logs.cleanup()
    print('PASS' if not failures else 'FAILED: %d check(s)' % len(failures))
    return 0 if not failures else 1


if __name__ == '__main__':
    sys.exit(main())
