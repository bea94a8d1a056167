#!/usr/bin/env python3
"""Soak: plays a looping live stream for a long time and records the
engine's memory, threads and descriptors every minute.
usage: soak.py ENGINE SECONDS"""
import json
import os
import socket
import subprocess
import sys
import threading
import time

engine, seconds = sys.argv[1], float(sys.argv[2])


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def serve(port):
    """An endless live MPEG-TS on loopback, encoded as it goes so that its
    timestamps run on; one client at a time."""
    return subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
                             "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", "sine=frequency=440",
                             "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-c:a", "aac",
                             "-f", "mpegts", "-listen", "1", f"http://127.0.0.1:{port}/live.ts"])


def usage(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.split()[0] if value.split() else ""
    return int(fields["VmRSS"]), int(fields["Threads"]), len(os.listdir(f"/proc/{pid}/fd"))


frames_r, frames_w = os.pipe()
# The shell moves the pipe's write end onto descriptor 3 for the engine.
proc = subprocess.Popen(["sh", "-c", f'exec "$0" 3>&{frames_w} {frames_w}>&-', engine], stdin=subprocess.PIPE,
                        stdout=subprocess.PIPE, pass_fds=(frames_w,))
os.close(frames_w)
frame_bytes = 0


def drain_frames():
    global frame_bytes
    while chunk := os.read(frames_r, 1 << 20):
        frame_bytes += len(chunk)


threading.Thread(target=drain_frames, daemon=True).start()
events = {"end": 0, "error": 0, "playing": 0}


def read_events():
    for raw in proc.stdout:
        ev = json.loads(raw)  # every line must be strict JSON
        if ev["type"] in events:
            events[ev["type"]] += 1


threading.Thread(target=read_events, daemon=True).start()
next_id = 0
server = None


def load():
    global next_id, server
    if server:
        server.kill()
        server.wait()
    port = free_port()
    server = serve(port)
    time.sleep(0.5)
    next_id += 1
    line = {"id": next_id, "cmd": "load", "url": f"http://127.0.0.1:{port}/live.ts", "live": True}
    proc.stdin.write((json.dumps(line) + "\n").encode())
    proc.stdin.flush()


load()
start = time.monotonic()
ends_seen = 0
print("minute  rss_kB  threads  fds  frame_MB  loads  errors", flush=True)
minute = 0
while time.monotonic() - start < seconds:
    time.sleep(min(60, max(0.0, seconds - (time.monotonic() - start))))
    if events["end"] + events["error"] > ends_seen:  # the stream broke: start it again
        ends_seen = events["end"] + events["error"]
        load()
    minute += 1
    rss, threads, fds = usage(proc.pid)
    print(f"{minute:6d}  {rss:6d}  {threads:7d}  {fds:3d}  {frame_bytes >> 20:8d}  {next_id:5d}  "
          f"{events['error']:6d}", flush=True)
proc.stdin.write(b'{"id":0,"cmd":"quit"}\n')
proc.stdin.flush()
try:
    status = proc.wait(timeout=5)
except subprocess.TimeoutExpired:
    proc.kill()
    sys.exit("soak: the engine did not end within 5 s of its quit")
finally:
    server.kill()
print(f"engine exited with status {status}")
sys.exit(status)
