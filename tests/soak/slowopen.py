#!/usr/bin/env python3
"""Makes files slow to open, as a slow driver's attributes: each open waits
MILLISECONDS, or for as long as this runs with 'hold'. Prints 'ready' once the
files are marked and ends with its standard input. fanotify: root only (77).
Usage: slowopen.py MILLISECONDS|hold FILE..."""
import ctypes, os, select, struct, sys, time

libc = ctypes.CDLL(None, use_errno=True)
libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64, ctypes.c_int, ctypes.c_char_p]
group = libc.fanotify_init(0x4 | 0x1, os.O_RDONLY)  # FAN_CLASS_CONTENT | FAN_CLOEXEC
if group < 0:
    sys.exit(77)
for path in sys.argv[2:]:  # FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD
    if libc.fanotify_mark(group, 0x1, 0x10000, -100, path.encode()) != 0:
        sys.exit('cannot mark ' + path)
print('ready', flush=True)
while sys.stdin not in select.select([group, sys.stdin], [], [])[0]:
    events = os.read(group, 4096)
    for offset in range(0, len(events) if sys.argv[1] != 'hold' else 0, 24):
        time.sleep(int(sys.argv[1]) / 1000)
        fd = struct.unpack_from('i', events, offset + 16)[0]
        os.write(group, struct.pack('iI', fd, 0x1))  # FAN_ALLOW
        os.close(fd)
