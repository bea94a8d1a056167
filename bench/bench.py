#!/usr/bin/env python3
"""The engine's benchmark: the frame path in BGRX and in I420 against an
ffmpeg pipe of each, the host library's side of it, control latency, bursts
of commands, start-up, memory, seeks beside GStreamer's, mpv's (their
drivers in peers.py) and ffmpeg's, and scrub previews during playback. Prints
one table with each goal beside its figure and writes the same figures as JSON. Asserts nothing of the figures;
exits with status 1 when a step could not take its own.
usage: bench.py --engine E --reader R --bare B --media DIR --json OUT"""
import argparse
import ctypes
import json
import os
import platform
import random
import select
import signal
import struct
import subprocess
import sys
import threading
import time

import peers

TICK = os.sysconf("SC_CLK_TCK")
VOLUME = '{"id":%d,"cmd":"volume","level":%d}'  # the cheap command whose ack is timed
BURST_CAP_S = 60.0  # the burst's last ack is waited for this long at most
STUCK_S = 10  # an engine that takes no input, or does not end, for this long is stuck
HOST_BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sdk", "dist", "bench", "host-frames.js")
# The two layouts: figure key suffix, engine arguments, ffmpeg's pixel format, bytes a pixel.
LAYOUTS = (("", [], "bgr0", 4), ("_i420", ["--pixels=i420"], "yuv420p", 1.5))

args = None


def now():
    return time.monotonic()


def proc_cpu(pid):
    """User + system seconds of all the process's threads so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def proc_usage(pid):
    """Resident MB, peak resident MB, threads, descriptors."""
    status = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            status[key] = value.split()
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    return int(status["VmRSS"][0]) / 1024, int(status["VmHWM"][0]) / 1024, int(status["Threads"][0]), fds


def pct(values, p):
    """The p-th percentile; None (an answer that never came) counts as the
    slowest, and a percentile that falls on one is None too."""
    if not values:
        return None
    s = sorted(values, key=lambda v: float("inf") if v is None else v)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


def median(values):
    return pct(values, 50)


class Engine:
    """One engine under test: commands in, events out with their arrival
    times, and the frame reader on descriptor 3 (unless frames is False)."""

    def __init__(self, extra=(), frames=True, program=None):
        self.reader = None
        pass_fds = ()
        redirect = ""
        if frames:
            r, w = os.pipe()
            self.reader = subprocess.Popen([args.reader, "vxfr"], stdin=r, stdout=subprocess.PIPE)
            os.close(r)
            pass_fds = (w,)
            redirect = f"3>&{w} {w}>&-"
        # The shell only places the pipe on descriptor 3, then execs.
        cmd = ["sh", "-c", f'exec "$0" "$@" {redirect}', program or args.engine, *extra]
        self.started = now()
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     pass_fds=pass_fds)
        if frames:
            os.close(w)
        self.pid = self.proc.pid
        self.buf = b""
        self.queue = []  # (arrival, event) not yet consumed
        self.told, self.told_buf = [], b""  # the frame reader's lines read so far
        self.next_id = 1
        self.counts = {}
        # Picture widths announced, each change once: a change of height alone
        # is the decoder's padding, not a new resolution.
        self.widths = []

    def send(self, text):
        data = text.encode() + b"\n" if isinstance(text, str) else text
        fd = self.proc.stdin.fileno()
        while data:
            if not select.select([], [fd], [], STUCK_S)[1]:
                raise TimeoutError(f"the engine took no input for {STUCK_S} s")
            data = data[os.write(fd, data):]

    def command(self, fmt, *values):
        """Sends a command built from fmt and the next id; its id and send time."""
        i = self.next_id
        self.next_id += 1
        t = now()
        self.send(fmt % ((i,) + values))
        return i, t

    def _fill(self, deadline):
        fd = self.proc.stdout.fileno()
        wait = max(0.0, deadline - now())
        if not select.select([fd], [], [], wait)[0]:
            return False
        chunk = os.read(fd, 1 << 16)
        t = now()
        if not chunk:
            raise EOFError("the engine closed its output")
        self.buf += chunk
        *lines, self.buf = self.buf.split(b"\n")
        for line in lines:
            ev = json.loads(line)
            self.counts[ev["type"]] = self.counts.get(ev["type"], 0) + 1
            if ev["type"] == "format" and (not self.widths or self.widths[-1] != ev["w"]):
                self.widths.append(ev["w"])
            self.queue.append((t, ev))
        return True

    def event(self, deadline):
        """The next event as (arrival, event), or None at the deadline."""
        while not self.queue:
            if not self._fill(deadline) and now() >= deadline:
                return None
        return self.queue.pop(0)

    def wait(self, match, timeout):
        deadline = now() + timeout
        while (got := self.event(deadline)) is not None:
            if match(got[1]):
                return got
        return None

    def wait_type(self, kind, timeout=30):
        return self.wait(lambda e: e["type"] == kind, timeout)

    def ack_latency(self, timeout=10):
        """Sends the cheap command and returns its ack latency in ms."""
        i, t = self.command(VOLUME, random.randint(40, 60))
        got = self.wait(lambda e: e["type"] == "ack" and e["id"] == i, timeout)
        return None if got is None else (got[0] - t) * 1000

    def load(self, path, extra=""):
        return self.command('{"id":%d,"cmd":"load","url":"file://%s","live":false%s}', path, extra)

    def landing(self, seek, deadline):
        """The frame reader's line for the frame landed by a seek, read as it
        comes; None at the deadline."""
        fd = self.reader.stdout.fileno()
        while not any(r.get("landed") == seek for r in self.told):
            if not select.select([fd], [], [], max(0.0, deadline - now()))[0]:
                return None
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                return None
            *lines, self.told_buf = (self.told_buf + chunk).split(b"\n")
            self.told += [json.loads(x) for x in lines]
        return next(r for r in self.told if r.get("landed") == seek)

    def frames_told(self, timeout=10):
        """The frame reader's lines: first frames per generation, then its total."""
        lines = self.told
        if self.reader:
            out, _ = self.reader.communicate(timeout=timeout)
            lines = lines + [json.loads(x) for x in (self.told_buf + out).splitlines()]
        return lines

    def quit(self):
        """Ends the engine (killed if quit is not answered) and its reader."""
        try:
            self.command('{"id":%d,"cmd":"quit"}')
            self.proc.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired, ValueError):
            self.proc.kill()
            self.proc.wait()
        if self.reader:
            self.reader.send_signal(signal.SIGCONT)
        tail = self.frames_told()
        return tail[-1] if tail and "frames" in tail[-1] else {"frames": 0, "cpu_s": 0.0}


def short_slice():
    """The driver stands for a host that answers at once: it asks for a short
    time slice, as the engine's reader and control threads do, so that its own
    wake-ups stay out of the latencies it measures. What it starts keeps the
    default. True when the kernel took the request."""
    number = {"x86_64": 314, "aarch64": 274}.get(platform.machine())
    if number is None:
        return False
    # struct sched_attr: size, policy, flags (reset on fork), nice, priority, runtime in ns, deadline, period
    attr = ctypes.create_string_buffer(struct.pack("IIQiIQQQ", 48, 0, 0x01, 0, 0, 100000, 0, 0))
    return ctypes.CDLL(None, use_errno=True).syscall(number, 0, attr, 0) == 0


def media(name):
    return os.path.join(args.media, name)


def play_through(clip, extra=(), frames=True, timeout=60):
    """Plays a clip to its end: engine CPU seconds, the reader's total."""
    e = Engine(extra, frames)
    e.wait_type("ready")
    time.sleep(0.3)
    cpu = proc_cpu(e.pid)
    e.load(media(clip))
    e.wait_type("end", timeout)
    cpu = proc_cpu(e.pid) - cpu
    time.sleep(0.5)  # the last pictures queued are still being written
    return cpu, e.quit()


def ffmpeg_pipe(clip, frame_bytes, pix_fmt="bgr0"):
    """The tool a user would reach for: ffmpeg in real time into a pipe."""
    ff = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-re", "-i", media(clip), "-an", "-pix_fmt", pix_fmt,
                           "-f", "rawvideo", "pipe:1"], stdout=subprocess.PIPE)
    reader = subprocess.Popen([args.reader, "raw", str(frame_bytes)], stdin=ff.stdout, stdout=subprocess.PIPE)
    ff.stdout.close()
    start = now()
    # Ten times real time is stuck, not slow.
    killer = threading.Timer(10 * (args.seconds_4k if "4k" in clip else args.seconds_1080), ff.kill)
    killer.start()
    _, status, use = os.wait4(ff.pid, 0)
    killer.cancel()
    ff.returncode = os.waitstatus_to_exitcode(status)
    out, _ = reader.communicate(timeout=STUCK_S)
    if ff.returncode != 0:
        raise RuntimeError(f"ffmpeg on {clip} ended with status {ff.returncode}")
    told = json.loads(out.splitlines()[-1])
    told["wall_s"] = now() - start
    return use.ru_utime + use.ru_stime, told


def decode_floor(clip):
    """What decoding alone costs: ffmpeg decodes the clip as fast as it can and
    throws the pictures away. CPU s."""
    ff = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-i", media(clip), "-an", "-f", "null", "-"])
    _, status, use = os.wait4(ff.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"ffmpeg decoding {clip} ended with status {os.waitstatus_to_exitcode(status)}")
    return use.ru_utime + use.ru_stime


def frame_path(fig):
    n = args.frames_1080
    fig["decode_floor_cpu_per_s_1080p"] = decode_floor("bench-1080p.mp4") / args.seconds_1080
    for x, extra, pix_fmt, per_pixel in LAYOUTS:
        cpu, told = play_through("bench-1080p.mp4", extra)
        fig[f"engine_cpu_per_s_1080p{x}"] = cpu / args.seconds_1080
        fig[f"frames_delivered_1080p{x}"] = told["frames"] / n
        fig[f"reader_cpu_per_s_1080p{x}"] = told["cpu_s"] / args.seconds_1080
        fig[f"frame_bytes_1080p{x}"] = told["bytes"] / max(told["frames"], 1)
        cpu, _ = play_through("bench-1080p.mp4", extra + ["--frames=null"], frames=False)
        fig[f"engine_cpu_per_s_1080p_null{x}"] = cpu / args.seconds_1080
        cpu, told = ffmpeg_pipe("bench-1080p.mp4", int(1920 * 1080 * per_pixel), pix_fmt)
        fig[f"ffmpeg_cpu_per_s_1080p{x}"] = cpu / args.seconds_1080
        fig[f"ffmpeg_frames_delivered_1080p{x}"] = told["frames"] / n
        fig[f"ffmpeg_reader_cpu_per_s_1080p{x}"] = told["cpu_s"] / args.seconds_1080
        fig[f"ffmpeg_wall_per_s_1080p{x}"] = told["wall_s"] / args.seconds_1080
        fig[f"engine_over_ffmpeg_1080p{x}"] = fig[f"engine_cpu_per_s_1080p{x}"] / fig[f"ffmpeg_cpu_per_s_1080p{x}"]
        fig[f"engine_over_floor_1080p{x}"] = fig[f"engine_cpu_per_s_1080p{x}"] / fig["decode_floor_cpu_per_s_1080p"]
    fig["engine_i420_over_bgrx_1080p"] = fig["engine_cpu_per_s_1080p_i420"] / fig["engine_cpu_per_s_1080p"]


def host_side(fig):
    """The host library reading the engine's 1080p30 frames, in each layout."""
    env = dict(os.environ, VEXOLO_ENGINE=args.engine)
    for x, extra, _, _ in LAYOUTS:
        pixels = "i420" if extra else "bgrx"
        out = subprocess.run(["node", HOST_BENCH, str(int(args.seconds_1080)), "--pixels", pixels, "--clip",
                              media("bench-1080p.mp4"), "--json"], env=env, capture_output=True, text=True, timeout=120)
        told = json.loads(out.stdout.strip().splitlines()[-1])
        fig[f"host_cpu_per_s_1080p{x}"] = told["cpu_per_s"]
        fig[f"host_frames_delivered_1080p{x}"] = told["delivered"] / args.frames_1080
    fig["host_i420_over_bgrx_1080p"] = fig["host_cpu_per_s_1080p_i420"] / fig["host_cpu_per_s_1080p"]


def four_k(fig):
    """Kept up: as many frames delivered as the goal at 1080p asks."""
    for x, extra, pix_fmt, per_pixel in LAYOUTS:
        for key, size in (("4k_default", []), ("4k_full", ["--max-size=3840x2160"])):
            cpu, told = play_through("bench-4k.mp4", extra + size)
            fig[f"engine_cpu_per_s_{key}{x}"] = cpu / args.seconds_4k
            fig[f"frames_delivered_{key}{x}"] = told["frames"] / args.frames_4k
            fig[f"kept_up_{key}{x}"] = told["frames"] >= 0.995 * args.frames_4k
        # The same machine's yardstick: does ffmpeg keep up with the full size?
        cpu, told = ffmpeg_pipe("bench-4k.mp4", int(3840 * 2160 * per_pixel), pix_fmt)
        fig[f"ffmpeg_cpu_per_s_4k_full{x}"] = cpu / args.seconds_4k
        fig[f"ffmpeg_frames_delivered_4k_full{x}"] = told["frames"] / args.frames_4k
        # ffmpeg never skips a picture: when it falls behind, it ends late.
        fig[f"ffmpeg_wall_per_s_4k_full{x}"] = told["wall_s"] / args.seconds_4k


def latency_figures(fig, key, samples):
    fig[f"ack_{key}_n"] = len(samples)
    fig[f"ack_{key}_p50_ms"] = median(samples)
    fig[f"ack_{key}_p99_ms"] = pct(samples, 99)
    fig[f"ack_{key}_max_ms"] = pct(samples, 100)


def control_latency(fig):
    e = Engine()
    e.wait_type("ready")
    time.sleep(0.3)
    idle = []
    for _ in range(300):
        idle.append(e.ack_latency())
        time.sleep(random.uniform(0.002, 0.006))
    latency_figures(fig, "idle", idle)

    # The first half of the clip with frames flowing, the second with the
    # reader stopped: the engine skips the pictures it cannot send.
    e.load(media("bench-1080p.mp4"))
    e.wait_type("playing")
    time.sleep(0.5)
    for key, until in (("playing", 4.5), ("stalled", 4.5)):
        if key == "stalled":
            e.reader.send_signal(signal.SIGSTOP)
            time.sleep(0.3)
        samples = []
        end = now() + until
        while now() < end and e.counts.get("end", 0) == 0:
            samples.append(e.ack_latency())
            time.sleep(random.uniform(0.005, 0.02))
        latency_figures(fig, key, samples)
    e.quit()


def burst(fig):
    """150 loads and 50 stops written at once, then the cheap command every
    20 ms while the engine absorbs them."""
    e = Engine()
    e.wait_type("ready")
    time.sleep(0.5)
    idle_threads = proc_usage(e.pid)[2]
    lines, ids = [], set()
    for k in range(200):
        i = e.next_id
        e.next_id += 1
        ids.add(i)
        if k % 4 == 3:
            lines.append('{"id":%d,"cmd":"stop"}' % i)
        else:
            lines.append('{"id":%d,"cmd":"load","url":"file://%s","live":false}' % (i, media("bench-small.mp4")))
    start = now()
    e.send("\n".join(lines))
    cheap = {}  # id -> send time
    latencies = []
    last_ack = None
    peak_threads = 0
    next_cheap = start
    next_sample = start
    deadline = start + BURST_CAP_S
    while now() < deadline and (ids or len(latencies) < len(cheap) or len(cheap) < 100):
        t = now()
        if len(cheap) < 100 and t >= next_cheap:
            i, sent = e.command(VOLUME, 50)
            cheap[i] = sent
            next_cheap += 0.02
        if t >= next_sample:
            peak_threads = max(peak_threads, proc_usage(e.pid)[2])
            next_sample += 0.02
        got = e.event(min(next_cheap, next_sample, deadline))
        if got and got[1]["type"] == "ack":
            a = got[1]["id"]
            if a in ids:
                ids.discard(a)
                last_ack = got[0]
            elif a in cheap:
                latencies.append((got[0] - cheap[a]) * 1000)
    latencies += [None] * (len(cheap) - len(latencies))
    latency_figures(fig, "burst", latencies)
    fig["burst_last_ack_s"] = None if ids else last_ack - start
    settled = None
    if not ids:
        # Settled when the engine is back to the threads of an idle engine.
        while now() < start + BURST_CAP_S + 10:
            usage = proc_usage(e.pid)
            peak_threads = max(peak_threads, usage[2])
            if usage[2] <= idle_threads:
                settled = now() - start
                break
            time.sleep(0.05)
    usage = proc_usage(e.pid)
    fig["burst_peak_rss_mb"] = usage[1]
    fig["burst_peak_threads"] = peak_threads
    fig["burst_settle_s"] = settled
    e.proc.kill()  # a quit could queue behind an unabsorbed burst
    e.proc.wait()
    e.quit()


def startup(fig):
    engine, bare = [], []
    for k in range(11):
        order = ((None, engine), (args.bare, bare))
        for program, out in order if k % 2 else order[::-1]:
            e = Engine(frames=program is None, program=program)
            got = e.wait_type("ready", 10)
            out.append((got[0] - e.started) * 1000)
            if program:
                e.proc.wait(STUCK_S)
            else:
                e.quit()
    fig["exec_to_ready_ms"] = median(engine)
    fig["bare_libvlc_start_ms"] = median(bare)
    fig["exec_to_ready_over_bare"] = fig["exec_to_ready_ms"] / fig["bare_libvlc_start_ms"]

    for x, extra, _, _ in LAYOUTS:
        e = Engine(extra)
        e.wait_type("ready")
        sent, acks = {}, []
        for _ in range(7):
            i, t = e.load(media("bench-1080p.mp4"))
            got = e.wait(lambda ev: ev["type"] == "ack" and ev["id"] == i, 10)
            sent[got[1]["generation"]] = t
            acks.append((got[0] - t) * 1000)
            e.wait_type("playing", 10)
            time.sleep(0.4)
        e.command('{"id":%d,"cmd":"stop"}')
        e.proc.stdin.close()
        e.proc.wait(STUCK_S)
        firsts = {r["generation"]: r["first_us"] / 1e6 for r in e.frames_told() if "generation" in r}
        fig[f"load_ack_ms{x}"] = median(acks)
        fig[f"load_to_first_frame_ms{x}"] = median([(firsts[g] - t) * 1000 for g, t in sent.items() if g in firsts])


def settle(e, threads, timeout=10):
    """Waits until the engine is back to the given threads (its retired
    players released); its usage then."""
    end = now() + timeout
    while now() < end and proc_usage(e.pid)[2] > threads:
        time.sleep(0.05)
    time.sleep(0.2)
    return proc_usage(e.pid)


def memory(fig):
    e = Engine()
    e.wait_type("ready")
    time.sleep(0.5)
    rss, _, idle_threads, _ = proc_usage(e.pid)
    fig["idle_rss_mb"] = rss
    clip = media("bench-small.mp4")
    start = now()
    for cycle in range(1, 501):
        e.load(clip)
        e.wait(lambda ev: ev["type"] in ("playing", "error"), 10)
        i, _ = e.command('{"id":%d,"cmd":"stop"}')
        e.wait(lambda ev: ev["type"] == "ack" and ev["id"] == i, 10)
        if cycle == 100:
            fig["cycle_ms"] = (now() - start) * 1000 / 100
            fig["rss_after_100_cycles_mb"] = settle(e, idle_threads)[0]
    rss, _, threads, fds = settle(e, idle_threads)
    fig["rss_after_500_cycles_mb"] = rss
    fig["idle_after_cycles_threads"] = threads
    fig["idle_after_cycles_fds"] = fds
    fig["rss_growth_100_to_500_mb"] = rss - fig["rss_after_100_cycles_mb"]
    e.quit()

    e = Engine()
    e.wait_type("ready")
    e.load(media("bench-sizes.ts"))
    e.wait_type("end", 60)
    fig["resolution_switches"] = len(e.widths) - 1
    fig["rss_after_switches_mb"] = proc_usage(e.pid)[0]
    e.quit()


# figure key, label, clip, pictures a second; the clips are 10 s long.
SEEK_CLIPS = (("360", "640x360", "bench-count-360.mp4", 25), ("1080p", "1080p", "bench-count-1080p.mp4", 30))
SEEKS, SEEK_DEADLINE_S = 20, 3


class EngineSeeks:
    """The engine driven as the peers' drivers are: seek by ms, the landed
    frame read whole from descriptor 3."""

    name = "engine"

    def __init__(self, path, extra, playing):
        self.e = Engine(extra)
        try:
            if not self.e.wait_type("ready", 10):
                raise RuntimeError("the engine was not ready within 10 s")
            self.e.load(path)
            if not self.e.wait_type("playing", 10):
                raise RuntimeError("the engine did not play the clip within 10 s")
            time.sleep(0.5)
            if not playing:
                self.e.command('{"id":%d,"cmd":"pause"}')
                self.e.wait_type("paused", 10)
        except Exception:
            self.close()
            raise

    def seek(self, ms, timeout):
        i, sent = self.e.command('{"id":%d,"cmd":"seek","ms":%d}', ms)
        got = self.e.wait(lambda ev: ev["type"] == "ack" and ev["id"] == i, timeout)
        if got is None or not got[1]["ok"]:
            return peers.missed("no ack" if got is None else "the seek was refused")
        told = self.e.landing(i, sent + timeout)
        if told is None:
            return peers.missed(f"no landed frame within {timeout} s")
        return peers.Landing((told["at_us"] / 1e6 - sent) * 1000, told["number"], None)

    def close(self):
        self.e.quit()


def seek_step(fig):
    """From a seek sent to its landed picture in hand, paused and playing, on
    640x360 and 1080p clips of numbered pictures with a key frame each second,
    in each layout: the engine, GStreamer and mpv on the same targets,
    alternated target by target, and how many landed on the picture that shows
    the target; beside them ffmpeg's wall time to decode that one picture."""
    rng = random.Random(7)
    landed = 0
    for size, label, clip, fps in SEEK_CLIPS:
        # Each target a tenth of a picture clear of its picture's edges, so that
        # no system's rounding of the time decides which picture shows it.
        pictures = rng.sample(range(int(0.05 * 10 * fps), int(0.9 * 10 * fps)), SEEKS)
        targets = [int((n + rng.uniform(0.1, 0.9)) * 1000 / fps) for n in pictures]
        for x, extra, pix_fmt, _ in LAYOUTS:
            layout = "i420" if extra else "bgrx"
            for mode in ("paused", "playing"):
                run, name, playing = f"seek {label}, {layout}, {mode}", f"seek_{size}_{mode}", mode == "playing"

                def say(text):
                    print(f"bench: {run}: {text}", file=sys.stderr, flush=True)

                got = peers.alternate([("", "engine", lambda: EngineSeeks(media(clip), extra, playing)),
                                       *((f"_{k}", d.name, lambda d=d: d(media(clip), layout, playing, fps))
                                         for k, d in peers.PEERS)], targets, SEEK_DEADLINE_S, say)
                summary = []
                for key, (system, landings) in got.items():
                    ms = [g.ms for g in landings]
                    landed += len(ms) - ms.count(None)
                    fig[f"{name}{key}_p50_ms{x}"] = median(ms)
                    fig[f"{name}{key}_p95_ms{x}"] = p95 = pct(ms, 95)
                    fig[f"{name}{key}_on_target{x}"] = peers.on_target(system, targets, landings, fps, say)
                    summary.append(f"{system} p95 " + ("not reached" if p95 is None else f"{p95:.0f} ms") +
                                   f", {fig[f'{name}{key}_on_target{x}']} on target")
                say("; ".join(summary))
                best = [fig[k] for k in (f"{name}_{p}_p95_ms{x}" for p, _ in peers.PEERS) if fig.get(k) is not None]
                if "" in got and best:
                    mine = fig[f"{name}_p95_ms{x}"]
                    fig[f"{name}_over_peers{x}"] = None if mine is None else mine / min(best)
            walls = []
            for ms in targets:
                start = now()
                subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-ss", "%.3f" % (ms / 1000), "-i", media(clip),
                                "-frames:v", "1", "-pix_fmt", pix_fmt, "-f", "rawvideo", "-y", "/dev/null"],
                               check=True, timeout=STUCK_S)
                walls.append((now() - start) * 1000)
            fig[f"seek_{size}_ffmpeg_p50_ms{x}"] = median(walls)
            fig[f"seek_{size}_ffmpeg_p95_ms{x}"] = pct(walls, 95)
    if not landed:
        raise RuntimeError("no system landed a seek")


def seek_rows(size, label):
    """The seek step's rows of one clip: each system's times and landings per
    mode and layout, the engine's p95 over the best peer's, ffmpeg's."""
    rows = []
    for mode in ("paused", "playing"):
        n, head = f"seek_{size}_{mode}", f"seek, {label}, {mode}"
        rows += [
            *both(f"{n}_p50_ms", f"{head}, engine, ms p50 of {SEEKS}", "{:.0f}"),
            *both(f"{n}_p95_ms", f"{head}, engine, ms p95", "{:.0f}", "<= 150", lambda v: v <= 150, "<= 150",
                  lambda v: v <= 150),
            *both(f"{n}_gst_p50_ms", f"{head}, GStreamer, ms p50", "{:.0f}"),
            *both(f"{n}_gst_p95_ms", f"{head}, GStreamer, ms p95", "{:.0f}"),
            *both(f"{n}_mpv_p50_ms", f"{head}, mpv, ms p50", "{:.0f}"),
            *both(f"{n}_mpv_p95_ms", f"{head}, mpv, ms p95", "{:.0f}"),
            *both(f"{n}_over_peers", f"{head}, engine p95 / best peer's p95", "{:.2f}", "<= 1", lambda v: v <= 1,
                  "<= 1", lambda v: v <= 1),
            *both(f"{n}_on_target", f"{head}, on target of {SEEKS}, engine", "{}", f"{SEEKS} of {SEEKS}",
                  lambda v: v == SEEKS, f"{SEEKS} of {SEEKS}", lambda v: v == SEEKS),
            *both(f"{n}_gst_on_target", f"{head}, on target of {SEEKS}, GStreamer", "{}"),
            *both(f"{n}_mpv_on_target",
                  f"{head}, on target of {SEEKS}, mpv" + (" by restart log" if mode == "playing" else ""), "{}"),
        ]
    return rows + [*both(f"seek_{size}_ffmpeg_p50_ms", f"ffmpeg -ss T -frames:v 1, {label}, wall ms p50", "{:.0f}"),
                   *both(f"seek_{size}_ffmpeg_p95_ms", f"ffmpeg -ss T -frames:v 1, {label}, wall ms p95", "{:.0f}")]


STEPS_FORWARD, STEPS_BACK, LOOPS = 25, 10, 5


def speed_step(fig):
    """Speed, picture steps and loops: the 1080p clip played at 2 beside
    ffmpeg -re with setpts=PTS/2; ack to stepped frame on the 640x360 clip,
    25 forward then 10 back from each of three places; the gap between the
    last frame of a pass and the first of the next, looping a 2 s clip."""
    e = Engine()
    e.wait_type("ready")
    time.sleep(0.3)
    cpu, start = proc_cpu(e.pid), now()
    e.load(media("bench-1080p.mp4"), ',"paused":true')
    e.wait_type("paused")
    e.command('{"id":%d,"cmd":"rate","value":2}')
    e.command('{"id":%d,"cmd":"play"}')
    e.wait_type("end", 60)
    cpu, wall = proc_cpu(e.pid) - cpu, now() - start
    time.sleep(0.5)
    told = e.quit()
    fig["rate2_engine_cpu_per_s_1080p"] = cpu / args.seconds_1080
    fig["rate2_wall_per_s_1080p"] = wall / args.seconds_1080
    fig["rate2_frames_delivered_1080p"] = told["frames"] / args.frames_1080
    ff = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-re", "-i", media("bench-1080p.mp4"), "-an", "-vf",
                           "setpts=PTS/2", "-pix_fmt", "bgr0", "-f", "rawvideo", "pipe:1"], stdout=subprocess.PIPE)
    reader = subprocess.Popen([args.reader, "raw", str(1920 * 1080 * 4)], stdin=ff.stdout, stdout=subprocess.PIPE)
    ff.stdout.close()
    start = now()
    _, status, use = os.wait4(ff.pid, 0)
    out, _ = reader.communicate(timeout=STUCK_S)
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError("ffmpeg at twice the speed failed")
    fig["rate2_ffmpeg_cpu_per_s_1080p"] = (use.ru_utime + use.ru_stime) / args.seconds_1080
    fig["rate2_ffmpeg_wall_per_s_1080p"] = (now() - start) / args.seconds_1080
    fig["rate2_ffmpeg_frames_delivered_1080p"] = json.loads(out.splitlines()[-1])["frames"] / args.frames_1080

    e = Engine()
    e.wait_type("ready")
    e.load(media("bench-count-360.mp4"))
    e.wait_type("playing")
    time.sleep(0.5)
    e.command('{"id":%d,"cmd":"pause"}')
    e.wait_type("paused")
    acked = {}
    for pos in (0.2, 0.5, 0.8):
        i, _ = e.command('{"id":%d,"cmd":"seek","pos":%.2f}', pos)
        e.wait(lambda ev: ev["type"] == "seekLanded" and ev.get("id") == i, 5)
        for back in [False] * STEPS_FORWARD + [True] * STEPS_BACK:
            i, _ = e.command('{"id":%d,"cmd":"frameStep","back":%s}', "true" if back else "false")
            got = e.wait(lambda ev: ev["type"] == "ack" and ev["id"] == i, 10)
            acked[i] = (got[0], back)
            e.wait(lambda ev: ev["type"] == "seekLanded" and ev.get("id") == i, 5)
    e.quit()
    landed = {r["landed"]: r["at_us"] / 1e6 for r in e.frames_told() if "landed" in r}
    for key, back in (("forward", False), ("back", True)):
        ms = [(landed[i] - t) * 1000 if i in landed else None for i, (t, b) in acked.items() if b == back]
        fig[f"step_{key}_p50_ms"] = median(ms)
        fig[f"step_{key}_p95_ms"] = pct(ms, 95)

    e = Engine()
    e.wait_type("ready")
    e.load(media("bench-loop-360.mp4"), ',"loop":true')
    e.wait(lambda ev: ev["type"] == "looped" and ev["count"] == LOOPS, 10 + 3 * LOOPS)
    time.sleep(0.3)
    e.quit()
    gaps = [r["gap_us"] / 1000 for r in e.frames_told() if "rewound_us" in r]
    fig["loop_gap_max_ms"] = max(gaps) if len(gaps) == LOOPS else None
    fig["loop_gap_median_ms"] = median(gaps) if gaps else None


# Each figure of the frame path in BGRX, then in I420 (key suffix _i420).
PREVIEWS_PER_S, PREVIEW_SECONDS = 10, 8


def preview_step(fig):
    """Scrub previews, 10 a second at random places, while the 1080p clip with
    a key frame each second plays at 1080p30: from each ack to its preview's
    frame, key frame and exact; playback's frames delivered meanwhile; and the
    memory the engine takes for them. A preview asked while another waits its
    turn replaces it: the share answered is told too."""
    for kind, exact in (("key", "false"), ("exact", "true")):
        e = Engine()
        e.wait_type("ready")
        e.load(media("bench-count-1080p.mp4"))
        e.wait_type("playing")
        time.sleep(0.5)
        rss_before, peak = proc_usage(e.pid)[0], 0.0
        acked = {}
        start = now()
        while now() - start < PREVIEW_SECONDS:
            e.command('{"id":%d,"cmd":"preview","pos":%.4f,"exact":%s}', random.uniform(0.02, 0.98), exact)
            until = now() + 1 / PREVIEWS_PER_S
            while (got := e.event(until)) is not None:
                if got[1]["type"] == "ack" and got[1]["ok"]:
                    acked[got[1]["id"]] = got[0]
            peak = max(peak, proc_usage(e.pid)[0])
        e.wait_type("end", 10)
        total = e.quit()
        told = {r["preview"]: r["at_us"] / 1e6 for r in e.frames_told() if "preview" in r}
        waits = [(told[i] - t) * 1000 for i, t in acked.items() if i in told]
        fig[f"preview_{kind}_p50_ms"] = median(waits)
        fig[f"preview_{kind}_p95_ms"] = pct(waits, 95)
        fig[f"preview_{kind}_answered"] = len(waits) / max(1, len(acked))
        fig[f"preview_{kind}_frames_delivered"] = total["frames"] / args.frames_1080
        fig[f"preview_{kind}_rss_mb"] = peak - rss_before


def both(key, label, form, goal=None, test=None, goal_i420=None, test_i420=None):
    return [(key, f"{label}, BGRX", form, goal, test), (f"{key}_i420", f"{label}, I420", form, goal_i420, test_i420)]


# figure, unit, format, goal text, test of the figure against the goal (None: no goal)
PREVIEW_ROWS = [
    row for kind, label, goal in (("key", "key frame", 100), ("exact", "exact", 250)) for row in (
        (f"preview_{kind}_p50_ms", f"preview ack to frame, {label}, 1080p30 playing, ms p50", "{:.0f}", None, None),
        (f"preview_{kind}_p95_ms", f"preview ack to frame, {label}, 1080p30 playing, ms p95", "{:.0f}", f"<= {goal}",
         lambda v, goal=goal: v <= goal),
        (f"preview_{kind}_answered", f"previews answered, {label}, 10 a second (the rest replaced)", "{:.0%}", None,
         None),
        (f"preview_{kind}_frames_delivered", f"playback frames delivered during {label} previews, 1080p30", "{:.1%}",
         ">= 99%", lambda v: v >= 0.99),
        (f"preview_{kind}_rss_mb", f"engine memory taken by {label} previews, MB", "{:.1f}", "<= 40",
         lambda v: v <= 40),
    )
]
ROWS = [
    *both("engine_cpu_per_s_1080p", "engine CPU s per media s, 1080p30", "{:.3f}"),
    *both("engine_cpu_per_s_1080p_null", "engine CPU s per media s, 1080p30, --frames=null", "{:.3f}"),
    *both("ffmpeg_cpu_per_s_1080p", "ffmpeg -re pipe CPU s per media s, 1080p30", "{:.3f}"),
    *both("engine_over_ffmpeg_1080p", "engine CPU / ffmpeg pipe CPU, 1080p30", "{:.2f}", "<= 0.9", lambda v: v <= 0.9,
          "< 1", lambda v: v < 1),
    ("decode_floor_cpu_per_s_1080p", "decoding alone (ffmpeg -f null) CPU s per media s, 1080p30", "{:.3f}", None, None),
    *both("engine_over_floor_1080p", "engine CPU / decoding alone, 1080p30", "{:.2f}"),
    ("engine_i420_over_bgrx_1080p", "engine CPU, I420 / BGRX, 1080p30", "{:.2f}", "<= 0.8", lambda v: v <= 0.8),
    *both("frames_delivered_1080p", "frames delivered, engine, 1080p30 (repeats count)", "{:.1%}", ">= 99.5%",
          lambda v: v >= 0.995, ">= 99.5%", lambda v: v >= 0.995),
    *both("frame_bytes_1080p", "bytes per frame, 1080p, header included", "{:.0f}"),
    *both("ffmpeg_frames_delivered_1080p", "frames delivered, ffmpeg pipe, 1080p30", "{:.1%}"),
    *both("ffmpeg_wall_per_s_1080p", "ffmpeg pipe wall s per media s, 1080p30 (over 1: behind)", "{:.2f}"),
    *both("reader_cpu_per_s_1080p", "frame reader CPU s per media s (engine)", "{:.3f}"),
    *both("ffmpeg_reader_cpu_per_s_1080p", "frame reader CPU s per media s (ffmpeg)", "{:.3f}"),
    *both("host_cpu_per_s_1080p", "host library CPU s per media s, 1080p30", "{:.3f}"),
    *both("host_frames_delivered_1080p", "frames delivered by the host library, 1080p30", "{:.1%}"),
    ("host_i420_over_bgrx_1080p", "host library CPU, I420 / BGRX, 1080p30", "{:.2f}", "<= 0.5", lambda v: v <= 0.5),
    *both("engine_cpu_per_s_4k_default", "engine CPU s per media s, 4K30 scaled to 1080p", "{:.3f}"),
    *both("frames_delivered_4k_default", "frames delivered, 4K30 scaled to 1080p", "{:.1%}"),
    *both("kept_up_4k_default", "4K30 kept up, default size limit", "{}", "kept up", lambda v: v, "kept up", lambda v: v),
    *both("engine_cpu_per_s_4k_full", "engine CPU s per media s, 4K30 at --max-size=3840x2160", "{:.3f}"),
    *both("frames_delivered_4k_full", "frames delivered, 4K30 at 3840x2160", "{:.1%}", None, None, ">= 99%",
          lambda v: v >= 0.99),
    *both("kept_up_4k_full", "4K30 kept up at 3840x2160", "{}"),
    *both("ffmpeg_cpu_per_s_4k_full", "ffmpeg -re pipe CPU s per media s, 4K30", "{:.3f}"),
    *both("ffmpeg_frames_delivered_4k_full", "frames delivered, ffmpeg pipe, 4K30", "{:.1%}"),
    *both("ffmpeg_wall_per_s_4k_full", "ffmpeg pipe wall s per media s, 4K30 (over 1: behind)", "{:.2f}"),
    ("ack_idle_p50_ms", "ack p50 idle, ms", "{:.2f}", None, None),
    ("ack_idle_p99_ms", "ack p99 idle, ms", "{:.2f}", "< 1", lambda v: v < 1),
    ("ack_idle_max_ms", "ack max idle, ms", "{:.2f}", None, None),
    ("ack_playing_p50_ms", "ack p50 during 1080p playback, ms", "{:.2f}", None, None),
    ("ack_playing_p99_ms", "ack p99 during 1080p playback, ms", "{:.2f}", "< 5", lambda v: v < 5),
    ("ack_playing_max_ms", "ack max during 1080p playback, ms", "{:.2f}", None, None),
    ("ack_stalled_p50_ms", "ack p50, frame reader stalled, ms", "{:.2f}", None, None),
    ("ack_stalled_p99_ms", "ack p99, frame reader stalled, ms", "{:.2f}", None, None),
    ("ack_stalled_max_ms", "ack max, frame reader stalled, ms", "{:.2f}", None, None),
    ("ack_burst_p50_ms", "ack p50 during a burst of 150 loads + 50 stops, ms", "{:.1f}", None, None),
    ("ack_burst_p99_ms", "ack p99 during the burst, ms", "{:.1f}", "< 20", lambda v: v < 20),
    ("ack_burst_max_ms", "ack max during the burst, ms", "{:.1f}", None, None),
    ("burst_last_ack_s", "burst: time to the last ack, s", "{:.2f}", None, None),
    ("burst_peak_rss_mb", "burst: peak resident, MB", "{:.0f}", None, None),
    ("burst_peak_threads", "burst: peak threads", "{}", None, None),
    ("burst_settle_s", "burst: time to settle (idle threads again), s", "{:.2f}", None, None),
    ("exec_to_ready_ms", "exec to ready, ms (median of 11)", "{:.1f}", None, None),
    ("bare_libvlc_start_ms", "bare libvlc_new + media player, ms (median of 11)", "{:.1f}", None, None),
    ("exec_to_ready_over_bare", "exec to ready / bare libvlc start", "{:.2f}", "<= 1.2", lambda v: v <= 1.2),
    *both("load_ack_ms", "load to its ack, local 1080p clip, ms (median of 7)", "{:.1f}"),
    *both("load_to_first_frame_ms", "load to first frame, local 1080p clip, ms (median of 7)", "{:.1f}", "< 150",
          lambda v: v < 150, "< 150", lambda v: v < 150),
    *[row for size, label, _, _ in SEEK_CLIPS for row in seek_rows(size, label)],
    ("rate2_engine_cpu_per_s_1080p", "engine CPU s per media s, 1080p30 at rate 2", "{:.3f}", None, None),
    ("rate2_frames_delivered_1080p", "frames delivered, engine, 1080p30 at rate 2", "{:.1%}", None, None),
    ("rate2_wall_per_s_1080p", "engine wall s per media s at rate 2", "{:.2f}", None, None),
    ("rate2_ffmpeg_cpu_per_s_1080p", "ffmpeg -re setpts=PTS/2 pipe CPU s per media s, 1080p30", "{:.3f}", None, None),
    ("rate2_ffmpeg_frames_delivered_1080p", "frames delivered, ffmpeg -re setpts=PTS/2 pipe", "{:.1%}", None, None),
    ("rate2_ffmpeg_wall_per_s_1080p", "ffmpeg -re setpts=PTS/2 wall s per media s", "{:.2f}", None, None),
    ("step_forward_p50_ms", f"frameStep ack to frame, 640x360, forward, ms p50 of {3 * STEPS_FORWARD}", "{:.0f}",
     None, None),
    ("step_forward_p95_ms", "frameStep ack to frame, 640x360, forward, ms p95", "{:.0f}", "<= 100",
     lambda v: v <= 100),
    ("step_back_p50_ms", f"frameStep ack to frame, 640x360, back, ms p50 of {3 * STEPS_BACK}", "{:.0f}", None, None),
    ("step_back_p95_ms", "frameStep ack to frame, 640x360, back, ms p95", "{:.0f}", "<= 200", lambda v: v <= 200),
    *PREVIEW_ROWS,
    ("loop_gap_median_ms", f"loop: last frame of a pass to the first of the next, 25 fps, ms median of {LOOPS}",
     "{:.0f}", None, None),
    ("loop_gap_max_ms", "loop: the same gap, ms max (two frame durations: 80)", "{:.0f}", "<= 80",
     lambda v: v <= 80),
    ("idle_rss_mb", "idle engine resident, MB", "{:.1f}", None, None),
    ("cycle_ms", "one load/stop cycle, ms (mean of 100)", "{:.1f}", None, None),
    ("rss_after_100_cycles_mb", "resident after 100 load/stop cycles, MB", "{:.1f}", None, None),
    ("rss_after_500_cycles_mb", "resident after 500 load/stop cycles, MB", "{:.1f}", "< 80", lambda v: v < 80),
    ("rss_growth_100_to_500_mb", "resident growth from 100 to 500 cycles, MB", "{:.1f}", "< 20", lambda v: v < 20),
    ("idle_after_cycles_threads", "threads after the cycles", "{}", None, None),
    ("idle_after_cycles_fds", "descriptors after the cycles", "{}", None, None),
    ("resolution_switches", "resolution switches played", "{}", None, None),
    ("rss_after_switches_mb", "resident after the resolution switches, MB", "{:.1f}", None, None),
]


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_gb = int(f.readline().split()[1]) / 1024 / 1024
    ff = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.split("\n")[0]
    return {"cpu": model, "cores": os.cpu_count(), "memory_gb": round(mem_gb, 1), "kernel": platform.release(),
            "ffmpeg": ff.split(" Copyright")[0], "load_average_start": os.getloadavg()}


def table(fig, info):
    results = []
    out = [f"machine: {info['cpu']}, {info['cores']} cores, {info['memory_gb']} GB, Linux {info['kernel']}, "
           f"libvlc {info['libvlc']}, {info['ffmpeg']}",
           f"load average at start {info['load_average_start'][0]:.2f}, at end {info['load_average_end'][0]:.2f}",
           "", f"| {'figure':<66} | {'measured':>11} | {'goal':<8} | |", f"|{'-' * 68}|{'-' * 13}|{'-' * 10}|---|"]
    for key, label, form, goal, test in ROWS:
        if key not in fig:
            out.append(f"| {label:<66} | {'not run':>11} | {goal or '':<8} | |")
            continue
        v = fig[key]
        shown = "not reached" if v is None else form.format(v)
        mark = ""
        if goal:
            met = v is not None and bool(test(v))
            mark = "ok" if met else "MISSED"
            results.append({"figure": key, "goal": goal, "value": v, "met": met})
        out.append(f"| {label:<66} | {shown:>11} | {goal or '':<8} | {mark} |")
    return "\n".join(out), results


def main():
    global args
    p = argparse.ArgumentParser()
    for name in ("engine", "reader", "bare", "media", "json"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--only", default="frames,host,4k,latency,burst,startup,memory,seek,speed,preview")
    args = p.parse_args()
    args.seconds_1080, args.frames_1080 = 10.0, 300
    args.seconds_4k, args.frames_4k = 5.0, 150
    info = machine()
    info["driver_short_slice"] = short_slice()
    e = Engine(["--frames=null"], frames=False)
    got = e.wait_type("ready", 10)
    info["libvlc"] = got[1]["version"] if got else "engine did not start"
    e.quit()
    fig = {}
    steps = {"frames": frame_path, "host": host_side, "4k": four_k, "latency": control_latency, "burst": burst,
             "startup": startup, "memory": memory, "seek": seek_step, "speed": speed_step,
             "preview": preview_step}
    began = now()
    failed = []
    for name in args.only.split(","):
        t = now()
        print(f"bench: {name}...", file=sys.stderr, flush=True)
        try:
            steps[name](fig)
        except Exception as err:  # a figure that could not be taken stays empty, and the run fails
            failed.append(name)
            print(f"bench: {name} failed: {err!r}", file=sys.stderr, flush=True)
        print(f"bench: {name} took {now() - t:.0f} s", file=sys.stderr, flush=True)
    info["load_average_end"] = os.getloadavg()
    info["bench_seconds"] = round(now() - began, 1)
    text, results = table(fig, info)
    print(text)
    def rounded(v):
        return float(f"{v:.4g}") if isinstance(v, float) else v

    fig = {k: rounded(v) for k, v in fig.items()}
    info["load_average_start"] = [round(x, 2) for x in info["load_average_start"]]
    info["load_average_end"] = [round(x, 2) for x in info["load_average_end"]]
    for r in results:
        r["value"] = rounded(r["value"])
    with open(args.json, "w") as f:
        json.dump({"machine": info, "figures": fig, "goals": results}, f, indent=1)
        f.write("\n")
    if failed:
        sys.exit(f"bench: {', '.join(failed)} failed: their figures are missing")


main()
