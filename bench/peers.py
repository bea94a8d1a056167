"""The players users know, driven as black boxes beside the engine by the
benchmark's seek step: GStreamer (decodebin into an appsink in the layout
asked, flushing accurate seeks) and mpv (exact seeks over its JSON IPC, no
video output). Each driver plays one clip, paused or playing, and answers
seek(ms, timeout) with a Landing: the ms from the seek asked to the landed
picture in hand, the number that picture shows (the seek clips draw it), or
why it missed. A driver that missed starts its player again for the next
seek, so that a late answer is never taken for the next one's."""
import collections
import json
import os
import select
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import zlib

Landing = collections.namedtuple("Landing", "ms number why")
STARTUP_S = 10  # a player that has not shown its first picture by then is not coming


def missed(why):
    return Landing(None, None, why)


def now():
    return time.monotonic()


def drawn_number(width, white):
    """The number a numbered clip draws: ten blocks across the middle row, a
    set bit where a block is white, lowest on the left; white(x) tells
    whether the middle row is white at column x."""
    return sum(1 << k for k in range(10) if white(width * (2 * k + 1) // 20))


def started(peer):
    """Starts a peer, closing what it opened when it cannot start."""
    try:
        peer._start()
    except Exception:
        peer.close()
        raise


class Gst:
    """GStreamer: the paused preroll after a flushing accurate seek, or
    playing, the first sample after it."""

    name = "GStreamer"

    def __init__(self, path, layout, playing, fps):
        try:
            import gi
            gi.require_version("Gst", "1.0")
            gi.require_version("GstVideo", "1.0")
            from gi.repository import Gst, GstVideo
        except (ImportError, ValueError) as err:
            raise RuntimeError(f"no GStreamer bindings in this python ({err}); python3-gst-1.0 has them") from None
        Gst.init(None)
        self.G, self.GstVideo = Gst, GstVideo
        self.path, self.playing = path, playing
        self.format = {"bgrx": "BGRx", "i420": "I420"}[layout]
        self.pipe = None
        started(self)

    def _start(self):
        G = self.G
        # The sink keeps at most one sample while playing, as a player that shows pictures would.
        self.pipe = G.parse_launch(f"filesrc name=src ! decodebin ! videoconvert ! video/x-raw,format={self.format} ! "
                                   "appsink name=sink sync=true max-buffers=1 drop=true enable-last-sample=false")
        self.pipe.get_by_name("src").set_property("location", self.path)
        self.sink = self.pipe.get_by_name("sink")
        self.pipe.set_state(G.State.PAUSED)
        if self.sink.emit("try-pull-preroll", STARTUP_S * G.SECOND) is None:
            raise RuntimeError(f"GStreamer showed no picture within {STARTUP_S} s: {self._error()}")
        if self.playing:
            self.pipe.set_state(G.State.PLAYING)
            if self.pipe.get_state(STARTUP_S * G.SECOND)[0] == G.StateChangeReturn.FAILURE:
                raise RuntimeError(f"GStreamer did not play: {self._error()}")
            time.sleep(0.5)

    def _error(self):
        msg = self.pipe.get_bus().pop_filtered(self.G.MessageType.ERROR)
        return msg.parse_error()[0].message if msg else "no error told"

    def seek(self, ms, timeout):
        G = self.G
        t = now()
        if not self.pipe.seek_simple(G.Format.TIME, G.SeekFlags.FLUSH | G.SeekFlags.ACCURATE, ms * G.MSECOND):
            return self._missed("the pipeline refused the seek")
        sample = self.sink.emit("try-pull-sample" if self.playing else "try-pull-preroll", int(timeout * G.SECOND))
        elapsed = (now() - t) * 1000
        if sample is None:
            return self._missed(f"no sample within {timeout} s ({self._error()})")
        return Landing(elapsed, self._number(sample), None)

    def _number(self, sample):
        info = self.GstVideo.VideoInfo.new_from_caps(sample.get_caps())
        buf = sample.get_buffer()
        ok, mapped = buf.map(self.G.MapFlags.READ)
        if not ok:
            return None
        try:
            data, pitch = mapped.data, info.stride[0]
            row = info.offset[0] + info.height // 2 * pitch
            if self.format == "I420":
                return drawn_number(info.width, lambda x: data[row + x] > 160)
            return drawn_number(info.width, lambda x: min(data[row + 4 * x:row + 4 * x + 3]) > 160)
        finally:
            buf.unmap(mapped)

    def _missed(self, why):
        self.close()
        try:
            self._start()
        except RuntimeError as err:
            why += f"; started again: {err}"
        return missed(why)

    def close(self):
        if self.pipe:
            self.pipe.set_state(self.G.State.NULL)
            self.pipe = None


def png_middle_row(path):
    """Width, samples a pixel and the middle row of an 8-bit RGB or RGBA PNG
    written without row filters, as mpv's screenshots are asked to be."""
    with open(path, "rb") as f:
        data = f.read()
    at, idat, head = 8, [], None
    while at < len(data):
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + size]
        at += 12 + size
        if kind == b"IHDR":
            head = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat.append(body)
    width, height, depth, colour = head
    if depth != 8 or colour not in (2, 6):
        raise ValueError(f"a PNG of depth {depth}, colour type {colour}")
    channels = 3 if colour == 2 else 4
    stride = 1 + width * channels
    row = zlib.decompress(b"".join(idat))[height // 2 * stride:][:stride]
    if row[0] != 0:
        raise ValueError("a PNG with row filters")
    return width, channels, row[1:]


RESTART_LOG = "playback restart complete @ "


class Mpv:
    """mpv without video output, to its playback-restart after an exact seek.
    Paused, its landed picture is read from a screenshot of the picture it
    shows. Playing, a screenshot (and time-pos) already tells the picture
    queued after the landed one: the output takes it as soon as the landed one
    is shown and waits for its time. There the landing is the time mpv's own
    log gives it at the restart ("playback restart complete @ T")."""

    name = "mpv"

    def __init__(self, path, layout, playing, fps):
        self.path, self.playing, self.fps = path, playing, fps
        self.vf = {"bgrx": "bgr0", "i420": "yuv420p"}[layout]
        self.proc = None
        started(self)

    def _start(self):
        self.dir = tempfile.mkdtemp(prefix="vexolo-bench-mpv-")
        ipc = os.path.join(self.dir, "ipc")
        try:
            self.proc = subprocess.Popen(
                ["mpv", "--no-config", "--no-terminal", "--idle=yes", "--vo=null", "--no-audio", "--pause",
                 "--keep-open=always", f"--input-ipc-server={ipc}", f"--vf=format=fmt={self.vf}",
                 "--screenshot-format=png", "--screenshot-png-compression=0", "--screenshot-png-filter=0",
                 "--screenshot-high-bit-depth=no"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except OSError as err:
            raise RuntimeError(f"mpv could not start: {err}") from None
        deadline = now() + STARTUP_S
        self.sock = socket.socket(socket.AF_UNIX)
        while True:
            try:
                self.sock.connect(ipc)
                break
            except OSError:
                if now() > deadline or self.proc.poll() is not None:
                    raise RuntimeError("mpv opened no IPC socket") from None
                time.sleep(0.01)
        self.buf, self.next_id = b"", 1
        self._ask("request_log_messages", "v")
        self._ask("loadfile", self.path)
        m = self._until(lambda m: m.get("event") in ("playback-restart", "end-file"), deadline)
        if not m or m["event"] == "end-file":
            raise RuntimeError(f"mpv showed no picture within {STARTUP_S} s" if not m else
                               f"mpv could not play the clip: {m.get('file_error', m.get('reason'))}")
        if self.playing:
            self._ask("set_property", "pause", False)
            time.sleep(0.5)

    def _ask(self, *command):
        i = self.next_id
        self.next_id += 1
        self.sock.sendall(json.dumps({"command": list(command), "request_id": i}).encode() + b"\n")
        return i

    def _message(self, deadline):
        while b"\n" not in self.buf:
            if not select.select([self.sock], [], [], max(0.0, deadline - now()))[0]:
                return None
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise EOFError("mpv closed its IPC socket")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def _until(self, match, deadline):
        while (m := self._message(deadline)) is not None:
            if match(m):
                return m
        return None

    def seek(self, ms, timeout):
        t = now()
        deadline = t + timeout
        self._ask("seek", ms / 1000, "absolute+exact")
        sought, restart_at = False, None
        while True:
            m = self._message(deadline)
            if m is None:
                return self._missed(f"no playback-restart within {timeout} s")
            event = m.get("event")
            if m.get("error") not in (None, "success"):
                return self._missed(f"mpv answered the seek with {m['error']}")
            if event == "seek":
                sought = True
            elif event == "log-message" and sought and m["text"].startswith(RESTART_LOG):
                restart_at = float(m["text"][len(RESTART_LOG):].split(",")[0])
            elif event == "playback-restart" and sought:
                break
        elapsed = (now() - t) * 1000
        if self.playing:
            if restart_at is None:  # the log line may come just after the event
                m = self._until(lambda m: m.get("event") == "log-message" and m["text"].startswith(RESTART_LOG),
                                now() + 1)
                restart_at = m and float(m["text"][len(RESTART_LOG):].split(",")[0])
            return Landing(elapsed, None if restart_at is None else round(restart_at * self.fps), None)
        shot = os.path.join(self.dir, "shot.png")
        i = self._ask("screenshot-to-file", shot, "video")
        answer = self._until(lambda m: m.get("request_id") == i, now() + 5)
        if not answer or answer.get("error") != "success":
            return Landing(elapsed, None, None)
        width, channels, row = png_middle_row(shot)
        return Landing(elapsed, drawn_number(width, lambda x: min(row[channels * x:channels * x + 3]) > 160), None)

    def _missed(self, why):
        self.close()
        try:
            self._start()
        except (RuntimeError, OSError) as err:
            why += f"; started again: {err}"
        return missed(why)

    def close(self):
        if self.proc:
            try:
                self._ask("quit")
                self.proc.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
            self.sock.close()
            self.proc = None
        shutil.rmtree(self.dir, ignore_errors=True)


PEERS = (("gst", Gst), ("mpv", Mpv))


def alternate(systems, targets, timeout, say):
    """Starts each system of (key, name, start) and seeks them all to each
    target in turn; by key, the name and landings of each that started. One
    that cannot start is told and left out; a seek that fails is missed."""
    started = []
    for key, name, start in systems:
        try:
            started.append((key, start()))
        except Exception as err:
            say(f"{name} could not start: {err}")
    got = {key: (system.name, []) for key, system in started}
    for ms in targets:
        for key, system in started:
            try:
                landing = system.seek(ms, timeout)
            except Exception as err:
                landing = missed(repr(err))
            got[key][1].append(landing)
            time.sleep(0.2)  # the landed picture settles before the next system seeks
    for _, system in started:
        system.close()
    return got


def on_target(name, targets, landings, fps, say):
    """How many landings showed the picture whose time holds their target;
    tells each that did not."""
    on = 0
    for ms, got in zip(targets, landings):
        picture = ms * fps // 1000
        if got.number == picture:
            on += 1
            continue
        what = f"missed: {got.why}" if got.why else \
            "landed on a picture it did not tell" if got.number is None else f"showed picture {got.number}"
        say(f"{name} at {ms} ms (picture {picture}) {what}")
    return on
