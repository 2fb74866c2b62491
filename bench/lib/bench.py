#!/usr/bin/env python3
"""The measurements behind bench/run; see that script for how to run them.

Times are wall-clock (CLOCK_REALTIME, nanoseconds), taken in this process
just before a command is spawned and, at the other end, by whichever event
marks the end of the road being timed:
  - the end of a download: the downloaded archive closed after writing,
    seen through inotify on the installer's TMPDIR (curl: its exit);
  - the start of the agent: the agent's `install` writes `date +%s%N` into
    the file named by BENCH_AGENT_STAMP;
  - otherwise the command's exit.
Peak resident memory is GNU time's %M (ru_maxrss, KiB).
"""

import argparse
import ctypes
import fcntl
import json
import os
import pty
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

MIB = 1 << 20
RUN_TIMEOUT_SECONDS = 300
SHORT_ROUND_FACTOR = 10

AGENT_SCRIPT = """#!/bin/sh
# The benchmark's agent: notes when it started and installs nothing.
[ -z "${BENCH_AGENT_STAMP:-}" ] || date +%s%N > "$BENCH_AGENT_STAMP"
exit 0
"""

# Variables that would send a loopback download elsewhere or change how the
# installer shows itself; each run sets what it needs.
SCRUBBED_ENV = ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "http_proxy", "https_proxy",
                "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY",
                "QZ_INTERNAL_INSTALL_AGENT_URL", "__QZ_BOOTSTRAP_INSTALLER_UNITTEST__",
                "SSL_CERT_FILE", "SSL_CERT_DIR", "BENCH_AGENT_STAMP")

IN_CLOSE_WRITE = 0x00000008
IN_MOVED_TO = 0x00000080
IN_CREATE = 0x00000100
IN_ISDIR = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)


class BenchError(Exception):
    pass


class CloseWatch:
    """Notes the moment a file called `name` one directory below `top` is
    complete: the installer downloads into a fresh directory under its
    TMPDIR, into `name`.partial, and renames it to `name` when the transfer
    is complete (a file written in place would show as closed instead)."""

    def __init__(self, top, name):
        self.top = top
        self.name = os.fsencode(name)
        self.when = None
        self.fd = _libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.top_wd = self._watch(top, IN_CREATE)
        self.stop_r, self.stop_w = os.pipe()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _watch(self, path, mask):
        wd = _libc.inotify_add_watch(self.fd, os.fsencode(path), mask)
        if wd < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch " + path)
        return wd

    def _run(self):
        while True:
            ready, _, _ = select.select([self.fd, self.stop_r], [], [])
            now = time.time_ns()
            if self.fd not in ready:
                return
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                continue
            offset = 0
            while offset < len(data):
                wd, mask, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0")
                offset += 16 + length
                if wd == self.top_wd and mask & IN_CREATE and mask & IN_ISDIR:
                    try:
                        self._watch(os.path.join(self.top, os.fsdecode(name)),
                                    IN_CLOSE_WRITE | IN_MOVED_TO)
                    except OSError:
                        pass  # already gone again
                elif (mask & (IN_CLOSE_WRITE | IN_MOVED_TO) and name == self.name
                      and self.when is None):
                    self.when = now

    def close(self):
        os.write(self.stop_w, b"x")
        self.thread.join()
        for fd in (self.fd, self.stop_r, self.stop_w):
            os.close(fd)


class PtyDrain:
    """A terminal for a child's stderr, 80 columns wide, read until the
    child is gone so that it never blocks on a full buffer."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        self.received = 0
        self.thread = threading.Thread(target=self._run, daemon=True)

    def started(self):
        os.close(self.slave)
        self.thread.start()

    def _run(self):
        while True:
            try:
                data = os.read(self.master, 65536)
            except OSError:
                return  # EIO: the last writer has gone
            if not data:
                return
            self.received += len(data)

    def close(self):
        self.thread.join(timeout=10)
        os.close(self.master)


def read_stamp(path):
    try:
        with open(path, encoding="ascii") as stamp:
            return int(stamp.read().strip())
    except (OSError, ValueError):
        return None


def median(values):
    return statistics.median(values) if values else float("nan")


class Bench:
    def __init__(self, args):
        self.root = args.root
        self.build = args.build
        self.rounds = args.rounds
        self.short_rounds = args.rounds * SHORT_ROUND_FACTOR
        self.sizes = [int(s) for s in args.sizes_mib.split()]
        self.built_installer = os.path.join(self.build, "installer")
        self.built_bundle = os.path.join(self.build, "bundle.zip")
        self.sample_agent = os.path.join(self.build, "InstallAgent.zip")
        self.archives = os.path.join(self.build, "bench-archives")
        self.scratch = tempfile.mkdtemp(prefix="bench-", dir=self.build)
        self.children = []
        self.display = None
        self.results = {"rounds": self.rounds, "short_rounds": self.short_rounds}
        # An online installer directory: no agent archive beside the program.
        online = os.path.join(self.scratch, "online")
        os.makedirs(online)
        for path in (self.built_installer, self.built_bundle):
            shutil.copy2(path, online)
        self.installer = os.path.join(online, "installer")
        self.bundle = os.path.join(online, "bundle.zip")
        self.base_env = {k: v for k, v in os.environ.items() if k not in SCRUBBED_ENV}

    # -- fixtures ------------------------------------------------------------

    def make_archive(self, mib):
        """An agent archive of about `mib` MiB: the agent script and random
        bytes, stored (zip -0), so the download is as big as the archive."""
        os.makedirs(self.archives, exist_ok=True)
        name = "agent-small.zip" if mib == 0 else "agent-%dMiB.zip" % mib
        path = os.path.join(self.archives, name)
        if os.path.exists(path) and os.path.getsize(path) >= mib * MIB:
            return path
        staging = tempfile.mkdtemp(dir=self.scratch)
        with open(os.path.join(staging, "install"), "w", encoding="ascii") as script:
            script.write(AGENT_SCRIPT)
        members = ["install"]
        if mib:
            with open(os.path.join(staging, "payload.bin"), "wb") as payload:
                for _ in range(mib):
                    payload.write(os.urandom(MIB))
            members.append("payload.bin")
        partial = path + ".partial"
        if os.path.exists(partial):
            os.unlink(partial)
        subprocess.run(["zip", "-q", "-0", "-X", partial] + members, cwd=staging, check=True)
        os.replace(partial, path)
        shutil.rmtree(staging)
        return path

    def start_server(self, archive, etag):
        out = tempfile.TemporaryFile(dir=self.scratch)
        server = subprocess.Popen(
            [sys.executable, os.path.join(self.root, "tests/server/agent_server.py"),
             "--archive", archive, "--etag", etag, "--bind", "127.0.0.1",
             "--max-requests", "100000", "--lifetime", "3600"],
            stdout=subprocess.PIPE, stderr=out, stdin=subprocess.DEVNULL)
        self.children.append(server)
        line = server.stdout.readline().decode()
        if not line.startswith("PORT "):
            raise BenchError("the test server did not start: %r" % line)
        return "http://127.0.0.1:%d/agent" % int(line.split()[1])

    def start_xvfb(self):
        ready_r, ready_w = os.pipe()
        log = open(os.path.join(self.scratch, "xvfb.log"), "wb")
        xvfb = subprocess.Popen(
            # -noreset: a desktop's display outlives its clients; Xvfb would
            # otherwise reset after each run and make the next one wait.
            ["Xvfb", "-displayfd", str(ready_w), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             "-noreset"],
            pass_fds=(ready_w,), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.children.append(xvfb)
        os.close(ready_w)
        # The number and its newline come in two writes; closing the pipe
        # before the second would kill the server.
        text = b""
        deadline = time.monotonic() + 30
        while not text.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([ready_r], [], [], max(0, deadline - time.monotonic()))
            chunk = os.read(ready_r, 64) if ready else b""
            if not chunk:
                break
            text += chunk
        os.close(ready_r)
        number = text.decode().strip()
        if not number.isdigit():
            log.close()
            with open(os.path.join(self.scratch, "xvfb.log"), "rb") as text:
                raise BenchError("Xvfb did not start:\n" + text.read()[-2000:].decode(errors="replace"))
        self.display = ":" + number

    def stop_children(self):
        for child in reversed(self.children):
            if child.poll() is None:
                child.send_signal(signal.SIGTERM)
                try:
                    child.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
        self.children = []

    def env(self, mode, **extra):
        env = dict(self.base_env)
        if mode == "window":
            env["DISPLAY"] = self.display
        env.update(extra)
        return env

    def fresh_dir(self, name):
        path = os.path.join(self.scratch, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def warm(self, mib):
        """Writes and drops `mib` MiB of page cache just before a timed run.

        Under a hypervisor that takes back the guest's free pages (free page
        reporting), the first write into such a page costs ten times a
        normal one (3 s per GiB against 0.3 s here), and pages freed for two
        seconds are taken back. Without this, whichever contender runs after
        a pause pays for the machine, not for itself."""
        path = os.path.join(self.scratch, "warm")
        chunk = bytes(8 * MIB)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        try:
            for _ in range(mib // 8 + 1):
                os.write(fd, chunk)
        finally:
            os.close(fd)
        os.unlink(path)

    def clean(self, *paths):
        for path in paths:
            shutil.rmtree(path, ignore_errors=True)
        # Each run starts without the previous one's dirty pages being written back.
        os.sync()

    # -- one run -------------------------------------------------------------

    def spawn(self, argv, env, stderr_path=None, tty=False, cwd=None):
        """Runs argv to its end; returns (t0, t_exit, status)."""
        drain = PtyDrain() if tty else None
        err = open(stderr_path, "wb") if stderr_path else subprocess.DEVNULL
        try:
            t0 = time.time_ns()
            child = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL,
                                     stderr=drain.slave if drain else err)
            if drain:
                drain.started()
            try:
                status = child.wait(timeout=RUN_TIMEOUT_SECONDS)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
                raise BenchError("%s ran for more than %d s" % (argv[0], RUN_TIMEOUT_SECONDS))
            t_exit = time.time_ns()
        finally:
            if drain:
                drain.close()
            if stderr_path:
                err.close()
        return t0, t_exit, status

    def fail(self, what, stderr_path=None):
        text = ""
        if stderr_path and os.path.exists(stderr_path):
            with open(stderr_path, "rb") as err:
                text = err.read()[-2000:].decode(errors="replace")
        raise BenchError("%s failed\n%s" % (what, text))

    def installer_download(self, mode, url, mib):
        """A first run of the download road; mode is terminal (stderr to a
        file), tty (stderr on a terminal) or window."""
        run = self.fresh_dir("run")
        home, tmp = os.path.join(run, "home"), os.path.join(run, "tmp")
        os.makedirs(home)
        os.makedirs(tmp)
        stamp, rss, err = (os.path.join(run, n) for n in ("stamp", "rss", "stderr"))
        env = self.env(mode, HOME=home, TMPDIR=tmp, QZ_INTERNAL_INSTALL_AGENT_URL=url,
                       BENCH_AGENT_STAMP=stamp)
        watch = CloseWatch(tmp, "InstallAgent.zip")
        try:
            t0, _, status = self.spawn(["/usr/bin/time", "-f", "%M", "-o", rss, self.installer],
                                       env, None if mode == "tty" else err, tty=mode == "tty")
        finally:
            watch.close()
        started = read_stamp(stamp)
        if status != 0 or started is None or watch.when is None:
            self.fail("installer (%s, %d MiB, status %d)" % (mode, mib, status), err)
        payload = None
        for dirpath, _, files in os.walk(os.path.join(home, ".orvant")):
            if "payload.bin" in files:
                payload = os.path.getsize(os.path.join(dirpath, "payload.bin"))
        if payload != mib * MIB:
            self.fail("installer (%s, %d MiB): the cached agent is incomplete" % (mode, mib), err)
        if mode == "window":
            with open(err, "rb") as text:
                if b"Downloading" in text.read():
                    self.fail("installer (window): it showed no window", err)
        with open(rss, encoding="ascii") as peak:
            rss_kib = int(peak.read().split()[-1])
        self.clean(run)
        return {"transfer": (watch.when - t0) / 1e9, "road": (started - t0) / 1e9, "rss": rss_kib}

    def curl_download(self, url, mib):
        run = self.fresh_dir("run")
        out, err = os.path.join(run, "agent.zip"), os.path.join(run, "stderr")
        t0, t_exit, status = self.spawn(["curl", "-o", out, url], self.base_env, err)
        if status != 0 or os.path.getsize(out) < mib * MIB:
            self.fail("curl -o", err)
        self.clean(run)
        return {"transfer": (t_exit - t0) / 1e9}

    def hand_download(self, url, mib):
        """What the installer's download road does, as commands: download,
        unpack, start the agent."""
        run = self.fresh_dir("run")
        out, err, stamp = (os.path.join(run, n) for n in ("agent.zip", "stderr", "stamp"))
        script = ('curl -o "$1" "$2" && unzip -qq -o "$1" -d "$3" && '
                  'exec sh "$3/install" -installbundle "$4"')
        t0, _, status = self.spawn(
            ["sh", "-c", script, "sh", out, url, os.path.join(run, "agent"), self.bundle],
            self.env("terminal", BENCH_AGENT_STAMP=stamp), err)
        started = read_stamp(stamp)
        if status != 0 or started is None:
            self.fail("curl + unzip + sh (%d MiB)" % mib, err)
        self.clean(run)
        return {"road": (started - t0) / 1e9}

    # -- the roads -----------------------------------------------------------

    def rotated(self, runs, index):
        # Each round starts with another contender, so drift spreads evenly.
        shift = index % len(runs)
        return runs[shift:] + runs[:shift]

    def download_road(self, mib):
        archive = self.make_archive(mib)
        url = self.start_server(archive, '"bench-%d"' % mib)
        samples = {k: [] for k in ("curl", "terminal", "window", "tty", "hand")}
        # Each contender's page cache, warmed first: the download, and for
        # the whole road the unpacked agent too.
        runs = [
            ("curl", mib, lambda: self.curl_download(url, mib)),
            ("terminal", 2 * mib, lambda: self.installer_download("terminal", url, mib)),
            ("window", 2 * mib, lambda: self.installer_download("window", url, mib)),
            ("tty", 2 * mib, lambda: self.installer_download("tty", url, mib)),
        ]
        # The whole road by hand is dominated by unzip; the smallest size
        # shows the comparison at a fraction of the time.
        if mib == min(self.sizes):
            runs.append(("hand", 2 * mib, lambda: self.hand_download(url, mib)))
        # The server reads the archive from the page cache, as a real server
        # would from its own.
        with open(archive, "rb") as source:
            while source.read(64 * MIB):
                pass
        for index in range(self.rounds):
            for name, footprint, run in self.rotated(runs, index):
                self.warm(footprint + 64)
                samples[name].append(run())
            progress("  %d MiB: round %d of %d" % (mib, index + 1, self.rounds))
        self.stop_server()
        self.results["download_%d" % mib] = samples
        return samples

    def stop_server(self):
        # The download server is the last child started.
        server = self.children.pop()
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=10)

    def cache_hit_road(self):
        url = self.start_server(self.make_archive(0), '"bench-small"')
        home = self.fresh_dir("cache-home")
        tmp = self.fresh_dir("cache-tmp")
        stamp = os.path.join(self.scratch, "cache-stamp")
        err = os.path.join(self.scratch, "cache-stderr")
        # The first run fills the cache; every later one finds it current.
        # It has the window: the first GTK program on a display probes its
        # OpenGL visuals (loading Mesa) and leaves the answer on the root
        # window for every later one, as on a desktop where other programs
        # ran before the installer.
        env = self.env("window", HOME=home, TMPDIR=tmp, QZ_INTERNAL_INSTALL_AGENT_URL=url)
        _, _, status = self.spawn([self.installer], env, err)
        agent = None
        for dirpath, _, files in os.walk(home):
            if "install" in files and dirpath.endswith("installagent"):
                agent = os.path.join(dirpath, "install")
        if status != 0 or agent is None:
            self.fail("installer (filling the cache)", err)

        def installer(mode):
            if os.path.exists(stamp):
                os.unlink(stamp)
            env = self.env(mode, HOME=home, TMPDIR=tmp, QZ_INTERNAL_INSTALL_AGENT_URL=url,
                           BENCH_AGENT_STAMP=stamp)
            t0, _, status = self.spawn([self.installer], env, err)
            started = read_stamp(stamp)
            with open(err, "rb") as text:
                shown = text.read()
            if status != 0 or started is None or b"Downloading" in shown:
                self.fail("installer (%s, cache hit)" % mode, err)
            return (started - t0) / 1e3

        def headers():
            t0, t_exit, status = self.spawn(["curl", "-sI", url], self.base_env)
            if status != 0:
                self.fail("curl -sI")
            return (t_exit - t0) / 1e3

        def agent_alone():
            if os.path.exists(stamp):
                os.unlink(stamp)
            t0, _, status = self.spawn(["sh", agent, "-installbundle", self.bundle],
                                       self.env("terminal", BENCH_AGENT_STAMP=stamp))
            started = read_stamp(stamp)
            if status != 0 or started is None:
                self.fail("sh install")
            return (started - t0) / 1e3

        samples = {k: [] for k in ("terminal", "window", "curl", "agent")}
        runs = [("terminal", lambda: installer("terminal")), ("window", lambda: installer("window")),
                ("curl", headers), ("agent", agent_alone)]
        for index in range(self.short_rounds):
            for name, run in self.rotated(runs, index):
                samples[name].append(run())
        self.stop_server()
        self.results["cache_hit_us"] = samples
        return samples

    def shipped_road(self):
        dist = self.fresh_dir("dist")
        for path in (self.built_installer, self.built_bundle, self.sample_agent):
            shutil.copy2(path, dist)
        dest = self.fresh_dir("dest")
        home = self.fresh_dir("shipped-home")
        tmp = self.fresh_dir("shipped-tmp")
        env = self.env("terminal", HOME=home, TMPDIR=tmp)
        by_hand = ('d=$(mktemp -d "$TMPDIR/qzXXXXXX") && unzip -qq -o "$1" -d "$d" && '
                   'sh "$d/install" -installbundle "$2" -destination "$3"; '
                   's=$?; rm -rf "$d"; exit $s')

        def installer():
            t0, t_exit, status = self.spawn(
                [os.path.join(dist, "installer"), "-destination", dest], env)
            if status != 0:
                self.fail("installer (shipped road)")
            return (t_exit - t0) / 1e3

        def hand():
            t0, t_exit, status = self.spawn(
                ["sh", "-c", by_hand, "sh", os.path.join(dist, "InstallAgent.zip"),
                 os.path.join(dist, "bundle.zip"), dest], env)
            if status != 0:
                self.fail("unzip + sh install (shipped road)")
            return (t_exit - t0) / 1e3

        samples = {"installer": [], "hand": []}
        runs = [("installer", installer), ("hand", hand)]
        for index in range(self.short_rounds):
            for name, run in self.rotated(runs, index):
                samples[name].append(run())
        self.results["shipped_us"] = samples
        return samples

    # -- report --------------------------------------------------------------

    def report(self):
        lines = []

        def row(label, *cells):
            lines.append("    %-36s" % label + "".join("%11s" % c for c in cells))

        def verdict(ok, target):
            return "%s %s" % (target, "met" if ok else "MISSED")

        rounds, short = self.rounds, self.short_rounds
        lines.append("Download road: start to archive on disk, median of %d" % rounds)
        row("", "seconds", "MiB/s", "vs curl", "   target")
        for mib in self.sizes:
            s = self.results["download_%d" % mib]
            curl_t = median([r["transfer"] for r in s["curl"]])
            lines.append("  %d MiB" % mib)
            for label, key, target in (("curl -o", "curl", None),
                                       ("installer, terminal (stderr file)", "terminal", 0.95),
                                       ("installer, terminal (stderr tty)", "tty", 0.95),
                                       ("installer, window (Xvfb)", "window", 0.90)):
                t = median([r["transfer"] for r in s[key]])
                ratio = curl_t / t
                row(label, "%.3f" % t, "%.0f" % (mib / t), "%.3f" % ratio,
                    "" if target is None else "   " + verdict(ratio >= target, ">= %.2f" % target))
        lines.append("")
        lines.append("Whole download road: start to the agent's start, median of %d" % rounds)
        row("", "installer", "by hand", "ratio")
        for mib in self.sizes:
            s = self.results["download_%d" % mib]
            hand = median([r["road"] for r in s["hand"]]) if s["hand"] else None
            for label in ("terminal", "window"):
                t = median([r["road"] for r in s[label]])
                cells = ["%.3f" % t] + ([] if hand is None else ["%.3f" % hand, "%.2f" % (hand / t)])
                row("%d MiB, %s (s)" % (mib, label), *cells)
        lines.append("  (by hand: curl -o, unzip -qq -o, sh install; smallest size only)")
        lines.append("")
        lines.append("Peak resident memory (KiB), median of %d" % rounds)
        row("", *(["%d MiB" % m for m in self.sizes] + ["ratio", "   target"]))
        for label, key in (("installer, terminal (stderr file)", "terminal"),
                           ("installer, terminal (stderr tty)", "tty"),
                           ("installer, window (Xvfb)", "window")):
            peaks = [median([r["rss"] for r in self.results["download_%d" % m][key]])
                     for m in self.sizes]
            ratio = peaks[-1] / peaks[0]
            row(label, *(["%d" % p for p in peaks] +
                         ["%.2f" % ratio, "   " + verdict(ratio <= 1.05, "flat (<= 1.05)")]))
        lines.append("")
        c = self.results["cache_hit_us"]
        head, agent = median(c["curl"]), median(c["agent"])
        lines.append("Cache-hit road: start to the agent's start (ms), median of %d" % short)
        row("installer, terminal", "%.1f" % (median(c["terminal"]) / 1e3))
        row("installer, window (Xvfb)", "%.1f" % (median(c["window"]) / 1e3))
        row("curl -sI (headers only)", "%.1f" % (head / 1e3))
        row("sh install alone", "%.1f" % (agent / 1e3))
        row("terminal - (curl -sI + sh install)",
            "%.1f" % ((median(c["terminal"]) - head - agent) / 1e3))
        lines.append("")
        s = self.results["shipped_us"]
        inst, hand = median(s["installer"]), median(s["hand"])
        diff = (inst - hand) / 1e3
        lines.append("Shipped road: start to exit (ms), median of %d" % short)
        row("installer", "%.1f" % (inst / 1e3))
        row("by hand: unzip -qq -o, sh install", "%.1f" % (hand / 1e3))
        row("difference", "%.1f" % diff, "   " + verdict(diff <= 5, "<= 5 ms"))
        return "\n".join(lines)

    def run(self):
        print("bench: %s, %d rounds (%d for the short roads), sizes %s MiB" % (
            time.strftime("%Y-%m-%d %H:%M:%S"), self.rounds, self.short_rounds,
            " ".join(map(str, self.sizes))), flush=True)
        print("bench: source: " + source_state(self.root))
        print("bench: before: " + uptime(), flush=True)
        self.results["uptime_before"] = uptime()
        started = time.monotonic()
        self.start_xvfb()
        for mib in self.sizes:
            progress("archive of %d MiB" % mib)
            self.make_archive(mib)
        progress("cache-hit road")
        self.cache_hit_road()
        for mib in self.sizes:
            progress("download road, %d MiB" % mib)
            self.download_road(mib)
        progress("shipped road")
        self.shipped_road()
        self.results["uptime_after"] = uptime()
        self.results["seconds"] = time.monotonic() - started
        print("bench: after:  " + self.results["uptime_after"])
        print("bench: %.0f s" % self.results["seconds"], flush=True)
        print()
        table = self.report()
        print(table)
        with open(os.path.join(self.build, "bench-results.json"), "w", encoding="ascii") as out:
            json.dump(self.results, out, indent=1)
        with open(os.path.join(self.build, "bench-results.txt"), "w", encoding="utf-8") as out:
            out.write(table + "\n")


def source_state(root):
    """The commit measured, and whether the work tree differed from it."""
    try:
        commit = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True, check=True).stdout.strip()
        changed = subprocess.run(["git", "-C", root, "status", "--porcelain", "--", "src",
                                  "CMakeLists.txt"], capture_output=True, text=True,
                                 check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "not a git work tree"
    return commit + (" with uncommitted changes to src/ or CMakeLists.txt" if changed else "")


def uptime():
    return subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()


def progress(message):
    print("bench: " + message, file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sizes-mib", default="256 1024")
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    bench = Bench(args)

    def on_signal(signum, _frame):
        raise KeyboardInterrupt()

    signal.signal(signal.SIGTERM, on_signal)
    try:
        bench.run()
        return 0
    except BenchError as error:
        print("bench: " + str(error), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    finally:
        bench.stop_children()
        shutil.rmtree(bench.scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
