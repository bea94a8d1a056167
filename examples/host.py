#!/usr/bin/env python3
"""A complete host on the raw protocol, with the standard library only: starts
the engine with the frame pipe on its descriptor 3, plays the file named on the
command line, prints every event line, reads and counts the frames, seeks half
way, and quits at the end (status 1 when the file cannot be played).
    python3 host.py FILE [ENGINE]   (ENGINE: default vexolo-engine on PATH)
"""
import json
import os
import pathlib
import queue
import struct
import subprocess
import sys
import threading
import time

printing = threading.Lock()  # whole lines from both threads


def show(text):
    with printing:
        print(text, flush=True)


# The 60-byte little-endian frame header: magic, width, height, pitch, fourcc,
# pts_us, seq, wall_us, generation, flags, seek (the landed seek's id).
HEADER = struct.Struct("<4sIII4sqQqQII")
QUIET_S = 10


def spawn(engine):
    """The engine with its standard input and output on pipes and the write end
    of a third pipe as its descriptor 3; returns it and the read end."""
    r, w = os.pipe()
    # pass_fds keeps a descriptor under its own number: put the write end at 3
    # for the spawn, then give back whatever this process had there.
    try:
        held = os.dup(3)
    except OSError:
        held = None
    os.dup2(w, 3)
    try:
        child = subprocess.Popen([engine], stdin=subprocess.PIPE, stdout=subprocess.PIPE, pass_fds=(3,))
    finally:
        if held is None:
            os.close(3)
        else:
            os.dup2(held, 3, inheritable=False)
            os.close(held)
        os.close(w)
    return child, os.fdopen(r, "rb")


def read_frames(pipe, seen):
    """Reads frames until the engine closes the pipe; keeps a count and the last header."""
    while True:
        head = pipe.read(HEADER.size)
        if len(head) < HEADER.size:
            return
        magic, width, height, pitch, fourcc, pts_us, seq, wall_us, generation, flags, _ = HEADER.unpack(head)
        if magic != b"VXFR" or fourcc != b"bgr0":
            raise ValueError("not a frame header")
        pixels = pipe.read(pitch * height)  # rows of blue, green, red, unused; width * 4 bytes used of each
        if len(pixels) < pitch * height:
            return
        seen["count"] += 1
        seen["last"] = (width, height, pts_us, generation)


def read_events(stdout, events):
    """Prints and queues each event line; None when the engine has ended."""
    for raw in stdout:
        show("< " + raw.decode().rstrip("\n"))
        events.put(json.loads(raw))
    events.put(None)


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: host.py FILE [ENGINE]")
    url = pathlib.Path(sys.argv[1]).resolve().as_uri()
    child, frames = spawn(sys.argv[2] if len(sys.argv) > 2 else "vexolo-engine")
    seen = {"count": 0, "last": None}
    events = queue.Queue()
    threads = [threading.Thread(target=read_frames, args=(frames, seen)),
               threading.Thread(target=read_events, args=(child.stdout, events))]
    for thread in threads:
        thread.start()

    def send(command):
        line = json.dumps(command, separators=(",", ":"))
        show("> " + line)
        try:
            child.stdin.write(line.encode() + b"\n")
            child.stdin.flush()
        except BrokenPipeError:
            pass  # the engine is gone: its end comes as the event None

    status = 0
    seeked = False
    ended_at = None
    while True:
        try:
            # Media with nothing to decode says so just after its end: wait a second for it. A playing
            # engine tells its time a few times a second: a long silence means it is stuck.
            event = events.get(timeout=QUIET_S if ended_at is None else max(0, ended_at + 1 - time.monotonic()))
        except queue.Empty:
            if ended_at is None:
                show(f"the engine said nothing for {QUIET_S} s")
                status = 1
            break
        kind = event["type"] if event else "exited"
        if kind == "ready":
            send({"id": 1, "cmd": "load", "url": url, "live": False})
        elif kind == "time" and not seeked:
            seeked = True
            send({"id": 2, "cmd": "seek", "pos": 0.5})
        elif kind == "end":
            ended_at = time.monotonic()
        elif (kind == "ack" and not event["ok"]) or kind in ("error", "exited"):
            status = 1
            break
        elif kind == "stopped":
            break
    send({"id": 3, "cmd": "quit"})  # its ack is the last line
    try:
        child.stdin.close()
    except BrokenPipeError:
        pass
    try:
        code = child.wait(timeout=3)
    except subprocess.TimeoutExpired:
        show("the engine did not end within 3 s of its quit")
        child.kill()
        code = child.wait()
    for thread in threads:
        thread.join(timeout=5)
    print(f"frames: {seen['count']}, last {seen['last']}, engine exit status {code}")
    sys.exit(status or code)


if __name__ == "__main__":
    main()
