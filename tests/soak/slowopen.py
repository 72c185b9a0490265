#!/usr/bin/env python3
"""slowopen.py MILLISECONDS|hold FILE...: each open of the files waits that
long (or while this runs), as a slow driver's attributes. Prints 'ready', ends
with its standard input. fanotify: root only (exit 77)."""
import ctypes, os, select, struct, sys, time

libc = ctypes.CDLL(None)
libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64, ctypes.c_int, ctypes.c_char_p]
group = libc.fanotify_init(0x4 | 0x1, os.O_RDONLY)  # FAN_CLASS_CONTENT | FAN_CLOEXEC
if group < 0 or any(libc.fanotify_mark(group, 0x1, 0x10000, -100, path.encode()) for path in sys.argv[2:]):
    sys.exit(77)  # FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD
print('ready', flush=True)
while sys.stdin not in select.select([group, sys.stdin], [], [])[0]:
    events = os.read(group, 4096)
    for offset in range(0, len(events) if sys.argv[1] != 'hold' else 0, 24):
        time.sleep(int(sys.argv[1]) / 1000)
        fd = struct.unpack_from('i', events, offset + 16)[0]
        os.write(group, struct.pack('iI', fd, 0x1))  # FAN_ALLOW
        os.close(fd)
