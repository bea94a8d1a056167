#!/usr/bin/env python3
"""A small scripted host: starts the engine, plays one clip, prints what the
engine reports, one line per event, then what arrived on the frame pipe, and
saves one of the frames as a PNG picture.
    demo-host.py ENGINE CLIP [PNG]"""
import collections
import json
import os
import queue
import struct
import subprocess
import sys
import threading
import time

engine, clip = sys.argv[1], sys.argv[2]
png = os.path.abspath(sys.argv[3] if len(sys.argv) > 3 else "demo-frame.png")
frames_r, frames_w = os.pipe()


def put_frame_pipe_on_fd3():
    # Runs in the child before exec; the dup is inheritable, the originals are not.
    os.dup2(frames_w, 3)


proc = subprocess.Popen([engine], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                        preexec_fn=put_frame_pipe_on_fd3, close_fds=False)
os.close(frames_w)

# The frame header, little-endian, its fields in order as FRAME_HEADER in
# sdk/src/protocol.ts (the header's one definition) names them: magic, width,
# height, pitch, fourcc, ptsUs, seq, wallUs, generation, flags, seek.
HEADER = struct.Struct("<4sIII4sqQqQII")
frames = {"count": 0, "bytes": 0, "sizes": collections.Counter(), "last": None}


def read_exactly(n):
    """n bytes from the frame pipe, or None at its end."""
    chunks = []
    while n > 0:
        chunk = os.read(frames_r, min(n, 1 << 20))
        if not chunk:
            return None
        chunks.append(chunk)
        n -= len(chunk)
    return b"".join(chunks)


def drain_frames():
    """Reads every frame until the engine closes the pipe, keeping the latest."""
    while True:
        header = read_exactly(HEADER.size)
        if header is None:
            return
        magic, width, height, pitch, fourcc, pts_us, seq, _, generation, _, _ = HEADER.unpack(header)
        if magic != b"VXFR" or fourcc != b"bgr0":
            print(f"frame pipe: bad header {header[:20].hex()}", file=sys.stderr)
            return
        pixels = read_exactly(pitch * height)
        if pixels is None:
            return
        frames["count"] += 1
        frames["bytes"] += len(header) + len(pixels)
        frames["sizes"][(width, height)] += 1
        frames["last"] = (width, height, pitch, pts_us, seq, generation, pixels)


reader = threading.Thread(target=drain_frames, daemon=True)
reader.start()


def send(line):
    print(f"host   > {line}")
    try:
        proc.stdin.write((line + "\n").encode())
        proc.stdin.flush()
    except BrokenPipeError:
        pass  # the engine is gone: the wait for its answer says so


def fail(why):
    """Ends the demo with a sentence and status 1."""
    print(f"demo host: {why}", file=sys.stderr)
    proc.kill()
    sys.exit(1)


lines = queue.Queue()


def read_lines():
    for raw in proc.stdout:
        lines.put(raw)
    lines.put(None)


threading.Thread(target=read_lines, daemon=True).start()
# A playing engine reports its time a few times a second: this long a silence means it is stuck.
QUIET_S = 10


def events(until):
    """Prints events until one of type `until` arrives; fails on an error, on
    the engine's end, and after QUIET_S seconds without a line."""
    while True:
        try:
            raw = lines.get(timeout=QUIET_S)
        except queue.Empty:
            fail(f"the engine said nothing for {QUIET_S} s while the demo waited for {until}")
        if raw is None:
            fail(f"the engine ended (status {proc.wait()}) while the demo waited for {until}")
        ev = json.loads(raw)
        print(f"engine < {raw.decode().rstrip()}")
        if ev["type"] == "error":
            fail(f"{clip} cannot be played: {ev['problem']}")
        if ev["type"] == until:
            return ev


def save_png(frame):
    """Writes a frame as a PNG: each row cut to its pixels, then ffmpeg."""
    width, height, pitch, *_ , pixels = frame
    rows = b"".join(pixels[y * pitch:y * pitch + width * 4] for y in range(height))
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "bgr0",
                    "-s", f"{width}x{height}", "-i", "-", "-frames:v", "1", png], input=rows, check=True, timeout=30)


start = time.monotonic()
events("ready")
send(json.dumps({"id": 1, "cmd": "load", "url": "file://" + os.path.abspath(clip), "live": False},
                separators=(",", ":")))
events("end")
send('{"id":2,"cmd":"stop"}')
events("ack")
send('{"id":3,"cmd":"quit"}')
events("ack")
try:
    status = proc.wait(timeout=5)
except subprocess.TimeoutExpired:
    fail("the engine did not end within 5 s of its quit")
reader.join(timeout=5)
print(f"engine exited with status {status} after {time.monotonic() - start:.1f} s")

sizes = ", ".join(f"{w}x{h} ({n})" for (w, h), n in sorted(frames["sizes"].items()))
print(f"frame pipe: {frames['count']} frames, {frames['bytes']} bytes; sizes: {sizes or 'none'}")
if frames["last"]:
    width, height, pitch, pts_us, seq, generation, _ = frames["last"]
    save_png(frames["last"])
    print(f"frame {seq} (generation {generation}, {width}x{height}, row pitch {pitch}, "
          f"at {pts_us / 1e6:.2f} s) saved as {png}")
if frames["count"] == 0:
    fail("no frame came on the frame pipe")
sys.exit(0 if status == 0 else 1)
