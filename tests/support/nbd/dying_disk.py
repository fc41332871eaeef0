# An nbdkit plugin that serves a disk image as a failing disk does:
#   file=PATH          the image
#   bad=A-B,C-D        byte ranges whose reads fail with EIO ...
#   bad-delay=SECONDS  ... after this long (default 0)
#   slow=A-B           a byte range read at ...
#   slow-rate=BYTES    ... this many bytes a second
#   die-after=SECONDS  from this long after the first read on, every read
#                      fails: the disk stopped answering
#   die-bytes=N        the same once N bytes have been served
#   die-at=OFFSET      the same from the first read that reaches byte OFFSET
#   stamp=PATH         at the first read, PATH gets one line: the monotonic
#                      and the real time of it (seconds, as Python's
#                      time.monotonic() and time.time())
# nbdkit -s python dying_disk.py file=recorder.img bad=... (with nbdfuse)
import builtins
import errno
import os
import time

import nbdkit

API_VERSION = 2
cfg = {"bad": [], "bad-delay": 0.0, "slow": None, "slow-rate": 0.0,
       "die-after": None, "die-bytes": None, "die-at": None, "stamp": None}
state = {"first": None, "served": 0, "dead": False}


def ranges(text):
    out = []
    for part in text.split(","):
        if part:
            a, b = part.split("-")
            out.append((int(a, 0), int(b, 0)))
    return out


def config(key, value):
    if key in ("file", "stamp"):
        cfg[key] = value
    elif key == "bad":
        cfg["bad"] = ranges(value)
    elif key == "slow":
        cfg["slow"] = ranges(value)[0]
    elif key in ("bad-delay", "slow-rate", "die-after"):
        cfg[key] = float(value)
    elif key in ("die-bytes", "die-at"):
        cfg[key] = int(value, 0)
    else:
        raise Exception("unknown parameter " + key)


def thread_model():
    return nbdkit.THREAD_MODEL_SERIALIZE_ALL_REQUESTS


def open(readonly):
    return os.open(cfg["file"], os.O_RDONLY)


def get_size(h):
    return os.fstat(h).st_size


def fail():
    nbdkit.set_error(errno.EIO)
    raise Exception("the disk does not answer")


def overlap(a, b, offset, count):
    return max(0, min(b, offset + count) - max(a, offset))


def pread(h, buf, offset, flags):
    now = time.monotonic()
    if state["first"] is None:
        state["first"] = now
        if cfg["stamp"] is not None:
            with builtins.open(cfg["stamp"], "w") as f:
                f.write("%.6f %.6f\n" % (now, time.time()))
    if cfg["die-after"] is not None and now - state["first"] >= cfg["die-after"]:
        fail()
    if cfg["die-bytes"] is not None and state["served"] >= cfg["die-bytes"]:
        fail()
    if cfg["die-at"] is not None and offset + len(buf) > cfg["die-at"]:
        state["dead"] = True
    if state["dead"]:
        fail()
    for a, b in cfg["bad"]:
        if overlap(a, b, offset, len(buf)):
            time.sleep(cfg["bad-delay"])
            fail()
    if cfg["slow"] is not None:
        slow = overlap(cfg["slow"][0], cfg["slow"][1], offset, len(buf))
        if slow:
            time.sleep(slow / cfg["slow-rate"])
    buf[:] = os.pread(h, len(buf), offset)
    state["served"] += len(buf)
