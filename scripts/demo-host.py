#!/usr/bin/env python3
"""A small scripted host: starts the engine, plays one clip and prints what
the engine reports, one line per event, with the frames that arrive."""
import json
import os
import subprocess
import sys
import threading
import time

engine, clip = sys.argv[1], sys.argv[2]
frames_r, frames_w = os.pipe()


def put_frame_pipe_on_fd3():
    os.dup2(frames_w, 3)


proc = subprocess.Popen([engine], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                        preexec_fn=put_frame_pipe_on_fd3, pass_fds=(frames_w,))
os.close(frames_w)

frame_bytes = 0


def drain_frames():
    global frame_bytes
    while True:
        chunk = os.read(frames_r, 1 << 16)
        if not chunk:
            return
        frame_bytes += len(chunk)


threading.Thread(target=drain_frames, daemon=True).start()


def send(line):
    print(f"host   > {line}")
    proc.stdin.write((line + "\n").encode())
    proc.stdin.flush()


def events(until):
    """Prints events until one of type `until` arrives (or the engine ends)."""
    for raw in proc.stdout:
        ev = json.loads(raw)
        print(f"engine < {raw.decode().rstrip()}")
        if ev["type"] == until:
            return ev
    return None


start = time.monotonic()
events("ready")
send(json.dumps({"id": 1, "cmd": "load", "url": "file://" + os.path.abspath(clip), "live": False},
                separators=(",", ":")))
events("end")
send('{"id":2,"cmd":"stop"}')
events("ack")
send('{"id":3,"cmd":"quit"}')
events("ack")
status = proc.wait(timeout=5)
print(f"engine exited with status {status} after {time.monotonic() - start:.1f} s; "
      f"{frame_bytes} bytes arrived on the frame pipe")
