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
Peak resident memory is GNU time's %M (ru_maxrss, KiB): the largest of the
program's own and of the children it waited for. On the signed road also
the installer's own peak alone, VmHWM, which the agent reads from its
parent's /proc entry as it starts. Bytes a server sent are the test
server's own count (--stats), read once it has stopped.
"""

import argparse
import ctypes
import fcntl
import json
import os
import pty
import re
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
import zipfile

import many_files
import run_file

MIB = 1 << 20
RUN_TIMEOUT_SECONDS = 300
SHORT_ROUND_FACTOR = 10
# The name the installer downloads the agent archive under, in a fresh
# directory below its TMPDIR.
DOWNLOAD_NAME = "InstallAgent.download.zip"
# The cache-hit road against a server that sends the body at once: an agent
# about as big as a real one, so that what a server pushes unasked shows.
EAGER_HIT_MIB = 64
# Untimed runs of the download road under strace, per size: the durability
# step's share of the road.
TRACED_RUNS = 3
SYNC_CALLS = ("syncfs", "fsync", "fdatasync", "sync", "sync_file_range")
ROADS = ("cache-hit", "eager-hit", "download", "resume", "shipped", "signed", "many-files",
         "run-file")
# The signed road: a first download of an agent as big as a large real one,
# and the memory of the shipped road with a huge and a small agent, on
# untimed runs.
SIGNED_DOWNLOAD_MIB = 256
SIGNED_MEMORY_MIB = (1, 1024)
SIGNED_MEMORY_RUNS = 3
# What the C and C++ runtimes are made of: the only libraries the shipped
# road of a build without keys may need.
RUNTIME_LIBRARIES = ("libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1",
                     "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1", "libdl.so.2",
                     "libpthread.so.0", "librt.so.1")

AGENT_SCRIPT = """#!/bin/sh
# The benchmark's agent: notes when it started and installs nothing.
[ -z "${BENCH_AGENT_STAMP:-}" ] || date +%s%N > "$BENCH_AGENT_STAMP"
# What its parent, the installer, holds as it starts the agent: its own peak
# memory so far and the files it has mapped.
[ -z "${BENCH_AGENT_PARENT:-}" ] || cat "/proc/$PPID/status" "/proc/$PPID/maps" > "$BENCH_AGENT_PARENT"
exit 0
"""

# Variables that would send a loopback download elsewhere or change how the
# installer shows itself; each run sets what it needs.
SCRUBBED_ENV = ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "http_proxy", "https_proxy",
                "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY",
                "QZ_INTERNAL_INSTALL_AGENT_URL", "__QZ_BOOTSTRAP_INSTALLER_UNITTEST__",
                "SSL_CERT_FILE", "SSL_CERT_DIR", "BENCH_AGENT_STAMP", "BENCH_AGENT_PARENT")

SHIPPED_BY_HAND = ('d=$(mktemp -d "$TMPDIR/qzXXXXXX") && unzip -qq -o "$1" -d "$d" && '
                   'sh "$d/install" -installbundle "$2" -destination "$3"; '
                   's=$?; rm -rf "$d"; exit $s')

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


class TestServer:
    """A running tests/server/agent_server.py and its counters."""

    def __init__(self, process, url, stats_path):
        self.process = process
        self.url = url
        self.stats_path = stats_path

    def read_stats(self):
        try:
            with open(self.stats_path, encoding="ascii") as stats:
                return json.load(stats)
        except (OSError, ValueError):
            return None

    def stop(self):
        """Stops the server once its counters have been still for a moment
        (a body the client walked away from is counted when the send fails)
        and returns them as they stand at its exit."""
        last, still_since = None, time.monotonic()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            now = self.read_stats()
            if now != last:
                last, still_since = now, time.monotonic()
            elif time.monotonic() - still_since >= 0.3:
                break
            time.sleep(0.05)
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise BenchError("the test server did not stop on SIGTERM")
        return self.read_stats() or {}


def read_stamp(path):
    try:
        with open(path, encoding="ascii") as stamp:
            return int(stamp.read().strip())
    except (OSError, ValueError):
        return None


def cached_payload(home):
    """The size of the cached agent's payload.bin under `home`, or None."""
    for dirpath, _, files in os.walk(os.path.join(home, ".orvant")):
        if "payload.bin" in files and "installagent" in dirpath.split(os.sep):
            return os.path.getsize(os.path.join(dirpath, "payload.bin"))
    return None


def cache_validation_file(home):
    """The cache's .validatestring under `home` (beside installagent/), or None."""
    for dirpath, dirs, files in os.walk(os.path.join(home, ".orvant")):
        if ".validatestring" in files and "installagent" in dirs:
            return os.path.join(dirpath, ".validatestring")
    return None


def sync_time(trace):
    """(calls, seconds) of the durability calls in an strace -f -T file; a
    call cut in two by another thread's line counts on its resumed half."""
    calls, seconds = 0, 0.0
    with open(trace, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            match = re.search(r"(?:^|\s)(?:<\.\.\. )?(\w+)(?:\(| resumed>).*<([0-9.]+)>\s*$", line)
            if match and match.group(1) in SYNC_CALLS:
                calls += 1
                seconds += float(match.group(2))
    return calls, seconds


def agent_script_of(path):
    """The `install` script inside the zip archive at `path`, or None."""
    try:
        with zipfile.ZipFile(path) as archive:
            return archive.read("install").decode("ascii")
    except (OSError, KeyError, UnicodeDecodeError, zipfile.BadZipFile):
        return None


def parent_view(path):
    """(VmHWM in KiB, the names of the shared libraries mapped) from what the
    agent copied of its parent's /proc status and maps, or (None, [])."""
    peak, libraries = None, set()
    try:
        with open(path, encoding="utf-8", errors="replace") as text:
            for line in text:
                if line.startswith("VmHWM:"):
                    peak = int(line.split()[1])
                fields = line.split()
                if len(fields) >= 6 and fields[5].startswith("/"):
                    name = os.path.basename(fields[5])
                    if ".so" in name:
                        libraries.add(name)
    except (OSError, ValueError):
        return None, []
    return peak, sorted(libraries)


def needed_libraries(binary):
    """The NEEDED entries of an ELF file's dynamic section (readelf -d)."""
    out = subprocess.run(["readelf", "-d", binary], capture_output=True, text=True,
                         check=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


def cmake_cache_value(build, name):
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    raise BenchError("%s is not in %s/CMakeCache.txt" % (name, build))


def median(values):
    return statistics.median(values) if values else float("nan")


class Bench:
    def __init__(self, args):
        self.root = os.path.abspath(args.root)
        self.build = os.path.abspath(args.build)
        self.rounds = args.rounds
        self.short_rounds = args.rounds * SHORT_ROUND_FACTOR
        self.sizes = [int(s) for s in args.sizes_mib.split()]
        self.built_installer = os.path.abspath(args.installer or
                                               os.path.join(self.build, "installer"))
        self.signed_program = args.signed_installer
        self.built_bundle = os.path.join(self.build, "bundle.zip")
        self.sample_agent = os.path.join(self.build, "InstallAgent.zip")
        self.archives = os.path.join(self.build, "bench-archives")
        self.scratch = tempfile.mkdtemp(prefix="bench-", dir=self.build)
        self.children = []
        self.leftovers = []
        self.failures = {}
        self.display = None
        self.xvfb = None
        self.roads = set(args.roads.split(","))
        self.signed_build = args.signed_build and os.path.abspath(args.signed_build)
        self.signing_key = args.signing_key and os.path.abspath(args.signing_key)
        self.stats_files = 0
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
        # An archive of an earlier version of this script may hold another agent.
        if (os.path.exists(path) and os.path.getsize(path) >= mib * MIB
                and agent_script_of(path) == AGENT_SCRIPT):
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

    def start_server(self, archive, etag, *options, max_requests=100000):
        """The test server on 127.0.0.1, serving `archive` with `etag`."""
        self.stats_files += 1
        stats = os.path.join(self.scratch, "stats-%d.json" % self.stats_files)
        out = tempfile.TemporaryFile(dir=self.scratch)
        process = subprocess.Popen(
            [sys.executable, os.path.join(self.root, "tests/server/agent_server.py"),
             "--archive", archive, "--etag", etag, "--bind", "127.0.0.1",
             "--max-requests", str(max_requests), "--lifetime", "3600",
             "--stats", stats] + list(options),
            stdout=subprocess.PIPE, stderr=out, stdin=subprocess.DEVNULL)
        self.children.append(process)
        line = process.stdout.readline().decode()
        if not line.startswith("PORT "):
            out.seek(0)
            raise BenchError("the test server did not start (%s): %r\n%s" % (
                " ".join(options), line, out.read()[-2000:].decode(errors="replace")))
        return TestServer(process, "http://127.0.0.1:%d/agent" % int(line.split()[1]), stats)

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
        self.xvfb = xvfb
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

    def prepare(self, footprint_mib):
        """Everything untimed that a download needs, called right before each
        timed download (and once after the last, for its files), whichever
        contender's turn it is: the previous run's files are removed, the
        disk is synced (so no run pays for another's write-back), then the
        page cache is warmed.

        A run never cleans up after itself. On this machine whoever writes a
        large file right after a large free pays about half a second of
        kernel time; cleaning up at the end of one's own run would hand that
        bill to whoever comes next, and with a fixed order it would decide
        the ratio. Here every contender meets the same sequence (free, sync,
        warm, go), and the rounds rotate who follows whom as well."""
        for path in self.leftovers:
            shutil.rmtree(path, ignore_errors=True)
        self.leftovers = []
        os.sync()
        self.warm(footprint_mib + 64)

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
            # A blocking wait, with the time limit kept by a timer: with a
            # timeout, Popen.wait polls with sleeps that double up to 50 ms,
            # which rounds every exit up to the next poll (7.5, 15.5, 31.5,
            # 63.5 ms ... after the start) and made ends seen by exit look
            # slower than ends stamped by the agent or seen through inotify.
            overdue = threading.Event()

            def kill():
                overdue.set()
                child.kill()

            timer = threading.Timer(RUN_TIMEOUT_SECONDS, kill)
            timer.start()
            try:
                status = child.wait()
            finally:
                timer.cancel()
            t_exit = time.time_ns()
            if overdue.is_set():
                raise BenchError("%s ran for more than %d s" % (argv[0], RUN_TIMEOUT_SECONDS))
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

    def run_installer(self, mode, url, mib, home, what, prefix=(), installer=None):
        """One run of the online installer with `home` as HOME and a fresh
        TMPDIR; mode is terminal (stderr to a file), tty (stderr on a
        terminal) or window. Checks that the agent started from a complete
        cache and returns the times (seconds) to the archive on disk (None
        when it was not downloaded) and to the agent's start, and the peak
        resident memory (KiB)."""
        run = os.path.join(os.path.dirname(home), "run")
        shutil.rmtree(run, ignore_errors=True)
        tmp = os.path.join(run, "tmp")
        os.makedirs(tmp)
        stamp, rss, err = (os.path.join(run, n) for n in ("stamp", "rss", "stderr"))
        env = self.env(mode, HOME=home, TMPDIR=tmp, QZ_INTERNAL_INSTALL_AGENT_URL=url,
                       BENCH_AGENT_STAMP=stamp)
        argv = list(prefix) + ["/usr/bin/time", "-f", "%M", "-o", rss,
                               installer or self.installer]
        watch = CloseWatch(tmp, DOWNLOAD_NAME)
        try:
            t0, _, status = self.spawn(argv, env, None if mode == "tty" else err,
                                       tty=mode == "tty")
        finally:
            watch.close()
        started = read_stamp(stamp)
        if status != 0 or started is None:
            self.fail("installer (%s, %s, status %d)" % (mode, what, status), err)
        if cached_payload(home) != mib * MIB:
            self.fail("installer (%s, %s): the cached agent is incomplete" % (mode, what), err)
        if mode == "window":
            with open(err, "rb") as text:
                if b"Downloading" in text.read():
                    self.fail("installer (window): it showed no window", err)
        with open(rss, encoding="ascii") as peak:
            rss_kib = int(peak.read().split()[-1])
        return {"transfer": None if watch.when is None else (watch.when - t0) / 1e9,
                "road": (started - t0) / 1e9, "rss": rss_kib}

    def installer_download(self, mode, url, mib, installer=None, label=None):
        """A first run of the download road: an empty cache."""
        home = os.path.join(self.fresh_dir("run-%s" % (label or mode)), "home")
        os.makedirs(home)
        what = "%d MiB" % mib + (", " + label if label else "")
        result = self.run_installer(mode, url, mib, home, what, installer=installer)
        if result["transfer"] is None:
            self.fail("installer (%s, %d MiB): no download seen" % (mode, mib))
        self.leftovers.append(os.path.dirname(home))
        return result

    def curl_download(self, url, mib):
        run = self.fresh_dir("run-curl")
        out, err = os.path.join(run, "agent.zip"), os.path.join(run, "stderr")
        t0, t_exit, status = self.spawn(["curl", "-o", out, url], self.base_env, err)
        if status != 0 or os.path.getsize(out) < mib * MIB:
            self.fail("curl -o", err)
        self.leftovers.append(run)
        return {"transfer": (t_exit - t0) / 1e9}

    # What the installer's download road does, as commands: download, unpack,
    # start the agent.
    HAND_SCRIPT = ('curl -o "$1" "$2" && unzip -qq -o "$1" -d "$3" && '
                   'exec sh "$3/install" -installbundle "$4"')

    def hand_run(self, run, url, mib):
        """The road by hand in `run`, over whatever an earlier run left there."""
        out, err, stamp = (os.path.join(run, n) for n in ("agent.zip", "stderr", "stamp"))
        if os.path.exists(stamp):
            os.unlink(stamp)
        t0, _, status = self.spawn(
            ["sh", "-c", self.HAND_SCRIPT, "sh", out, url, os.path.join(run, "agent"),
             self.bundle], self.env("terminal", BENCH_AGENT_STAMP=stamp), err)
        started = read_stamp(stamp)
        if status != 0 or started is None:
            self.fail("curl + unzip + sh (%d MiB)" % mib, err)
        return {"road": (started - t0) / 1e9}

    def hand_download(self, url, mib):
        run = self.fresh_dir("run-hand")
        result = self.hand_run(run, url, mib)
        self.leftovers.append(run)
        return result

    # -- the roads -----------------------------------------------------------

    def rotated(self, runs, index):
        # Each round starts with another contender, so drift spreads evenly.
        shift = index % len(runs)
        return runs[shift:] + runs[:shift]

    def timed_rounds(self, runs, rounds, what):
        """Runs every contender once per round, each round starting with
        another one; runs are (name, footprint in MiB or None, function).
        A footprint asks for prepare() before the run: the page cache the
        contender will fill (download, and for the whole road the unpacked
        agent too)."""
        samples = {name: [] for name, _, _ in runs}
        for index in range(rounds):
            for name, footprint, run in self.rotated(runs, index):
                if footprint is not None:
                    self.prepare(footprint)
                samples[name].append(run())
            if rounds <= 20:
                progress("  %s: round %d of %d" % (what, index + 1, rounds))
        if any(footprint is not None for _, footprint, _ in runs):
            self.prepare(0)  # the last run's files
        return samples

    def read_into_page_cache(self, archive):
        # The server reads the archive from the page cache, as a real server
        # would from its own.
        with open(archive, "rb") as source:
            while source.read(64 * MIB):
                pass

    def download_road(self, mib):
        archive = self.make_archive(mib)
        server = self.start_server(archive, '"bench-%d"' % mib)
        url = server.url
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
        self.read_into_page_cache(archive)
        samples = self.timed_rounds(runs, self.rounds, "%d MiB" % mib)
        server.stop()
        self.results["download_%d" % mib] = samples
        return samples

    def durability_road(self, mib):
        archive = self.make_archive(mib)
        server = self.start_server(archive, '"bench-%d"' % mib)
        self.read_into_page_cache(archive)
        self.results["durability_%d" % mib] = [self.traced_download(server.url, mib)
                                               for _ in range(TRACED_RUNS)]
        self.prepare(0)
        server.stop()

    def traced_download(self, url, mib):
        """An untimed first download under strace: the time the installer
        spends in the calls that make the new agent durable."""
        self.prepare(2 * mib)
        home = os.path.join(self.fresh_dir("run-traced"), "home")
        os.makedirs(home)
        trace = os.path.join(self.scratch, "run-traced", "strace")
        # --seccomp-bpf stops the installer only at the traced calls, so the
        # rest of the road runs at nearly its normal pace.
        prefix = ["strace", "-f", "--seccomp-bpf", "-qq", "-T", "-o", trace,
                  "-e", "trace=" + ",".join(SYNC_CALLS)]
        result = self.run_installer("terminal", url, mib, home, "%d MiB, strace" % mib, prefix)
        calls, seconds = sync_time(trace)
        self.leftovers.append(os.path.dirname(home))
        return {"road": result["road"], "calls": calls, "sync": seconds}

    def repeat_road(self, mib):
        """Downloads over an agent already there: the installer's cache holds
        a complete agent whose validation string is not the server's ETag,
        so each run downloads and replaces it (freeing the old one); by hand,
        the previous run's agent.zip and agent/ are still in place, so curl
        and unzip write over them."""
        archive = self.make_archive(mib)
        server = self.start_server(archive, '"bench-%d"' % mib)
        url = server.url
        self.read_into_page_cache(archive)
        home = os.path.join(self.fresh_dir("repeat-installer"), "home")
        os.makedirs(home)
        by_hand = self.fresh_dir("repeat-hand")
        # One untimed run each fills the places.
        self.prepare(2 * mib)
        self.run_installer("terminal", url, mib, home, "%d MiB, filling the cache" % mib)
        self.prepare(2 * mib)
        self.hand_run(by_hand, url, mib)
        validation = cache_validation_file(home)
        if validation is None:
            self.fail("installer (%d MiB): no validation string in the cache" % mib)

        def installer():
            with open(validation, "wb") as stale:
                stale.write(b'"bench-previous"')
            result = self.run_installer("terminal", url, mib, home, "%d MiB, repeated" % mib)
            with open(validation, "rb") as current:
                if current.read() != b'"bench-%d"' % mib:
                    self.fail("installer (%d MiB, repeated): the cache was not replaced" % mib)
            if result["transfer"] is None:
                self.fail("installer (%d MiB, repeated): no download seen" % mib)
            return result

        runs = [("installer", 2 * mib, installer),
                ("hand", 2 * mib, lambda: self.hand_run(by_hand, url, mib))]
        samples = self.timed_rounds(runs, self.rounds, "%d MiB repeated" % mib)
        server.stop()
        self.leftovers += [os.path.dirname(home), by_hand]
        self.prepare(0)
        self.results["repeat_%d" % mib] = samples
        return samples

    def resume_road(self, mib):
        """A download cut at half way, against a server that takes ranges
        (resumed) and one that does not (begun again); a fresh server for
        each run, since its plan applies to its first requests."""
        archive = self.make_archive(mib)
        self.read_into_page_cache(archive)
        etag = '"bench-%d"' % mib

        def cut(*options):
            server = self.start_server(archive, etag, "--plan", "cut:50%", *options,
                                       max_requests=20)
            home = os.path.join(self.fresh_dir("run-resume"), "home")
            os.makedirs(home)
            # Not before the server's start: its interpreter's start-up would
            # sit between the clean-up and the timed run.
            self.prepare(2 * mib)
            result = self.run_installer("terminal", server.url, mib, home, "%d MiB, cut" % mib)
            stats = server.stop()
            self.leftovers.append(os.path.dirname(home))
            result.update(bytes=stats.get("body_bytes_sent", 0), requests=stats.get("requests", 0))
            return result

        runs = [("ranges", None, lambda: cut("--ranges")), ("no_ranges", None, cut)]
        samples = self.timed_rounds(runs, self.rounds, "%d MiB cut and resumed" % mib)
        self.prepare(0)
        samples["archive_bytes"] = os.path.getsize(archive)
        self.results["resume_%d" % mib] = samples
        return samples

    def fill_cache(self, url, home, tmp, what):
        """Fills the cache in `home` with one untimed run. It has the window:
        the first GTK program on a display probes its OpenGL visuals
        (loading Mesa) and leaves the answer on the root window for every
        later one, as on a desktop where other programs ran before the
        installer."""
        err = os.path.join(self.scratch, "fill-stderr")
        env = self.env("window", HOME=home, TMPDIR=tmp, QZ_INTERNAL_INSTALL_AGENT_URL=url)
        _, _, status = self.spawn([self.installer], env, err)
        agent = None
        for dirpath, _, files in os.walk(home):
            if "install" in files and dirpath.endswith("installagent"):
                agent = os.path.join(dirpath, "install")
        if status != 0 or agent is None:
            self.fail("installer (filling the cache, %s)" % what, err)
        return agent

    def cached_start(self, mode, url, home, tmp, what):
        """One run that must find its cache current; microseconds to the
        agent's start."""
        stamp = os.path.join(self.scratch, "cache-stamp")
        err = os.path.join(self.scratch, "cache-stderr")
        if os.path.exists(stamp):
            os.unlink(stamp)
        env = self.env(mode, HOME=home, TMPDIR=tmp, QZ_INTERNAL_INSTALL_AGENT_URL=url,
                       BENCH_AGENT_STAMP=stamp)
        t0, _, status = self.spawn([self.installer], env, err)
        started = read_stamp(stamp)
        with open(err, "rb") as text:
            shown = text.read()
        if status != 0 or started is None or b"Downloading" in shown:
            self.fail("installer (%s, cache hit, %s)" % (mode, what), err)
        return (started - t0) / 1e3

    def cache_hit_road(self):
        server = self.start_server(self.make_archive(0), '"bench-small"')
        url = server.url
        home = self.fresh_dir("cache-home")
        tmp = self.fresh_dir("cache-tmp")
        stamp = os.path.join(self.scratch, "cache-stamp")
        # The first run fills the cache; every later one finds it current.
        agent = self.fill_cache(url, home, tmp, "small agent")

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

        runs = [("terminal", None, lambda: self.cached_start("terminal", url, home, tmp, "small")),
                ("window", None, lambda: self.cached_start("window", url, home, tmp, "small")),
                ("curl", None, headers), ("agent", None, agent_alone)]
        samples = self.timed_rounds(runs, self.short_rounds, "cache hit")
        server.stop()
        self.results["cache_hit_us"] = samples
        return samples

    def eager_hit_road(self):
        """Cache hits of an agent of EAGER_HIT_MIB MiB against servers that
        start sending the body with the headers: one that ignores
        If-None-Match (200 and the body) and one that answers it (304)."""
        archive = self.make_archive(EAGER_HIT_MIB)
        self.read_into_page_cache(archive)
        etag = '"bench-eager"'
        home = self.fresh_dir("eager-home")
        tmp = self.fresh_dir("eager-tmp")
        filler = self.start_server(archive, etag)
        self.fill_cache(filler.url, home, tmp, "%d MiB agent" % EAGER_HIT_MIB)
        filler.stop()
        plain = self.start_server(archive, etag)
        conditional = self.start_server(archive, etag, "--conditional")
        runs = [("plain", None, lambda: self.cached_start("terminal", plain.url, home, tmp,
                                                          "eager server")),
                ("conditional", None, lambda: self.cached_start("terminal", conditional.url,
                                                                home, tmp, "304"))]
        samples = self.timed_rounds(runs, self.short_rounds, "cache hit, eager server")
        for name, server in (("plain", plain), ("conditional", conditional)):
            stats = server.stop()
            samples[name + "_stats"] = stats
        self.results["eager_hit"] = samples
        return samples

    def shipped_by_hand(self, dist, dest, env):
        """The shipped road as commands: unzip into a fresh directory, run
        the agent, remove the directory. Start to exit, in microseconds."""
        t0, t_exit, status = self.spawn(
            ["sh", "-c", SHIPPED_BY_HAND, "sh", os.path.join(dist, "InstallAgent.zip"),
             os.path.join(dist, "bundle.zip"), dest], env)
        if status != 0:
            self.fail("unzip + sh install (shipped road)")
        return (t_exit - t0) / 1e3

    def shipped_road(self):
        dist = self.fresh_dir("dist")
        for path in (self.built_installer, self.built_bundle, self.sample_agent):
            shutil.copy2(path, dist)
        dest = self.fresh_dir("dest")
        home = self.fresh_dir("shipped-home")
        tmp = self.fresh_dir("shipped-tmp")
        env = self.env("terminal", HOME=home, TMPDIR=tmp)

        def installer():
            t0, t_exit, status = self.spawn(
                [os.path.join(dist, "installer"), "-destination", dest], env)
            if status != 0:
                self.fail("installer (shipped road)")
            return (t_exit - t0) / 1e3

        runs = [("installer", None, installer),
                ("hand", None, lambda: self.shipped_by_hand(dist, dest, env))]
        samples = self.timed_rounds(runs, self.short_rounds, "shipped")
        self.results["shipped_us"] = samples
        return samples

    # -- the signed road -----------------------------------------------------

    def signed_setup(self):
        """The build with the bench's key, in an online installer directory of
        its own, and a check that it does require a signature: a build
        without keys would be measured as if it checked."""
        if not self.signed_build or not self.signing_key:
            raise BenchError("the signed road needs --signed-build and --signing-key")
        self.release_tag = cmake_cache_value(self.signed_build, "INSTALLER_RELEASE_TAG")
        self.platform_tag = cmake_cache_value(self.signed_build, "INSTALLER_PLATFORM_TAG")
        online = self.fresh_dir("online-signed")
        shutil.copy2(os.path.abspath(self.signed_program or
                                     os.path.join(self.signed_build, "installer")),
                     os.path.join(online, "installer"))
        shutil.copy2(self.built_bundle, online)
        self.signed_installer = os.path.join(online, "installer")
        unsigned = self.fresh_dir("dist-no-signature")
        for path in (self.signed_installer, self.built_bundle, self.sample_agent):
            shutil.copy2(path, unsigned)
        _, _, status = self.spawn([os.path.join(unsigned, "installer")],
                                  self.env("terminal", HOME=self.fresh_dir("refusal-home"),
                                           TMPDIR=self.fresh_dir("refusal-tmp")))
        if status != 255:
            raise BenchError("the signed build started an agent without a signature"
                             " (status %d): it has no keys" % status)

    def signed_copy(self, archive, directory, name):
        """`archive` as `name` in `directory` (a hard link: no copy of a large
        file, and the bench's archives stay without .sig files), signed
        there with the bench's key into `name`.sig."""
        target = os.path.join(directory, name)
        try:
            os.link(archive, target)
        except OSError:
            shutil.copy2(archive, target)
        err = os.path.join(self.scratch, "sign-stderr")
        _, _, status = self.spawn(
            [os.path.join(self.build, "installer-sign"), "sign", "--release", self.release_tag,
             "--platform", self.platform_tag, self.signing_key, target], self.base_env, err)
        if status != 0 or not os.path.exists(target + ".sig"):
            self.fail("installer-sign sign %s" % name, err)
        return target

    def signed_shipped_road(self):
        """The shipped road of the signed build (the sample agent and its
        signature beside it) against the unsigned build's and the commands
        by hand, as on the shipped road."""
        dists = {}
        for name, installer in (("signed", self.signed_installer),
                                ("unsigned", self.built_installer)):
            dist = self.fresh_dir("dist-" + name)
            for path in (installer, self.built_bundle):
                shutil.copy2(path, dist)
            if name == "signed":
                self.signed_copy(self.sample_agent, dist, "InstallAgent.zip")
            else:
                shutil.copy2(self.sample_agent, dist)
            dists[name] = dist
        dest = self.fresh_dir("signed-dest")
        env = self.env("terminal", HOME=self.fresh_dir("signed-home"),
                       TMPDIR=self.fresh_dir("signed-tmp"))

        def installer(name):
            def run():
                t0, t_exit, status = self.spawn(
                    [os.path.join(dists[name], "installer"), "-destination", dest], env)
                if status != 0:
                    self.fail("installer (%s build, shipped road)" % name)
                return (t_exit - t0) / 1e3
            return run

        runs = [("signed", None, installer("signed")), ("unsigned", None, installer("unsigned")),
                ("hand", None, lambda: self.shipped_by_hand(dists["unsigned"], dest, env))]
        samples = self.timed_rounds(runs, self.short_rounds, "shipped, signed")
        self.results["signed_shipped_us"] = samples
        return samples

    def signed_download_road(self):
        """A first download of SIGNED_DOWNLOAD_MIB MiB by the signed build
        (the archive, then its .sig, then the check) against the unsigned
        build's, from one server that has the signature: the unsigned build
        never asks for it."""
        mib = SIGNED_DOWNLOAD_MIB
        archive = self.signed_copy(self.make_archive(mib), self.fresh_dir("signed-archive"),
                                   "agent.zip")
        server = self.start_server(archive, '"bench-signed-%d"' % mib,
                                   "--signature", archive + ".sig")
        url = server.url
        runs = [("signed", 2 * mib, lambda: self.installer_download(
                    "terminal", url, mib, installer=self.signed_installer, label="signed")),
                ("unsigned", 2 * mib, lambda: self.installer_download(
                    "terminal", url, mib, label="unsigned"))]
        self.read_into_page_cache(archive)
        samples = self.timed_rounds(runs, self.rounds, "%d MiB, signed" % mib)
        samples["server"] = server.stop()
        self.results["signed_download_%d" % mib] = samples
        return samples

    def signed_memory_road(self):
        """Untimed shipped runs with a bench agent of each size in
        SIGNED_MEMORY_MIB (signed build) and of the smallest (unsigned
        build), taking turns: peak memory of the installer with its
        children (GNU time) and alone (VmHWM, as the agent starts), and the
        libraries it has mapped by then."""
        runs = []
        for name, installer, mib in ([("signed", self.signed_installer, m)
                                      for m in SIGNED_MEMORY_MIB] +
                                     [("unsigned", self.built_installer, SIGNED_MEMORY_MIB[0])]):
            dist = self.fresh_dir("memory-%s-%d" % (name, mib))
            for path in (installer, self.built_bundle):
                shutil.copy2(path, dist)
            archive = self.make_archive(mib)
            if name == "signed":
                self.signed_copy(archive, dist, "InstallAgent.zip")
            else:
                os.link(archive, os.path.join(dist, "InstallAgent.zip"))
            runs.append(("%s_%d" % (name, mib), mib, lambda d=dist, n=name: self.memory_run(d, n)))
        samples = self.timed_rounds(runs, SIGNED_MEMORY_RUNS, "shipped memory, signed")
        self.results["signed_memory"] = samples
        return samples

    def memory_run(self, dist, name):
        run = self.fresh_dir("memory-run")
        tmp = os.path.join(run, "tmp")
        home = os.path.join(run, "home")
        os.makedirs(tmp)
        os.makedirs(home)
        rss, err, parent = (os.path.join(run, n) for n in ("rss", "stderr", "parent"))
        env = self.env("terminal", HOME=home, TMPDIR=tmp, BENCH_AGENT_PARENT=parent)
        _, _, status = self.spawn(
            ["/usr/bin/time", "-f", "%M", "-o", rss, os.path.join(dist, "installer")], env, err)
        peak, libraries = parent_view(parent)
        if status != 0 or peak is None:
            self.fail("installer (%s build, shipped road, memory)" % name, err)
        with open(rss, encoding="ascii") as text:
            tree = int(text.read().split()[-1])
        self.leftovers.append(run)
        return {"tree": tree, "own": peak, "libraries": libraries}

    def signed_road(self):
        self.signed_setup()
        self.results["needed"] = {
            "unsigned": needed_libraries(self.built_installer),
            "signed": needed_libraries(self.signed_installer)}
        progress("signed road: shipped")
        self.attempt("signed_shipped", self.signed_shipped_road)
        progress("signed road: %d MiB download" % SIGNED_DOWNLOAD_MIB)
        self.attempt("signed_download", self.signed_download_road)
        progress("signed road: memory of the shipped road, %d untimed runs each"
                 % SIGNED_MEMORY_RUNS)
        self.attempt("signed_memory", self.signed_memory_road)

    # -- report --------------------------------------------------------------

    def report(self):
        lines = []

        def row(label, *cells):
            lines.append(("    %-36s" % label + "".join("%11s" % c for c in cells)).rstrip())

        def verdict(ok, target):
            return "%s %s" % (target, "met" if ok else "MISSED")

        rounds, short = self.rounds, self.short_rounds
        downloads = [m for m in self.sizes if "download_%d" % m in self.results]
        smallest = min(self.sizes)
        if downloads:
            lines.append("Download road: start to archive on disk, median of %d" % rounds)
            row("", "seconds", "MiB/s", "vs curl", "   target")
        for mib in downloads:
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
        if downloads:
            lines.append("")
            lines.append("Whole download road: start to the agent's start, median of %d" % rounds)
            row("", "installer", "by hand", "ratio")
        for mib in downloads:
            s = self.results["download_%d" % mib]
            hand = median([r["road"] for r in s["hand"]]) if s.get("hand") else None
            for label in ("terminal", "window"):
                t = median([r["road"] for r in s[label]])
                cells = ["%.3f" % t] + ([] if hand is None else ["%.3f" % hand, "%.2f" % (hand / t)])
                row("%d MiB, %s (s)" % (mib, label), *cells)
            r = self.results.get("repeat_%d" % mib)
            if r:
                t, hand = median([x["road"] for x in r["installer"]]), median(
                    [x["road"] for x in r["hand"]])
                row("%d MiB, over an older agent (s)" % mib, "%.3f" % t, "%.3f" % hand,
                    "%.2f" % (hand / t))
        if downloads:
            lines.append("  (by hand: curl -o, unzip -qq -o, sh install; smallest size only."
                         " Over an older")
            lines.append("   agent: the cache holds a complete agent under another ETag,"
                         " replaced by")
            lines.append("   the download, and by hand the previous agent.zip and agent/"
                         " are written over)")
            lines.append("")
        traced = [m for m in downloads if self.results.get("durability_%d" % m)]
        if traced:
            lines.append("Durability: time in %s per download road (strace -T)," % "/".join(
                SYNC_CALLS[:3]))
            lines.append("  median of %d untimed runs, against the road's median above"
                         % TRACED_RUNS)
            row("", "calls", "sync (s)", "road (s)", "share")
        for mib in traced:
            d = self.results["durability_%d" % mib]
            road = median([r["road"] for r in self.results["download_%d" % mib]["terminal"]])
            in_sync = median([r["sync"] for r in d])
            row("%d MiB, terminal" % mib, "%d" % median([r["calls"] for r in d]),
                "%.3f" % in_sync, "%.3f" % road, "%.0f %%" % (100 * in_sync / road))
        if traced:
            lines.append("")
        if downloads:
            lines.append("Peak resident memory (KiB), median of %d" % rounds)
            row("", *(["%d MiB" % m for m in downloads] + ["ratio", "   target"]))
            for label, key in (("installer, terminal (stderr file)", "terminal"),
                               ("installer, terminal (stderr tty)", "tty"),
                               ("installer, window (Xvfb)", "window")):
                peaks = [median([r["rss"] for r in self.results["download_%d" % m][key]])
                         for m in downloads]
                ratio = peaks[-1] / peaks[0]
                row(label, *(["%d" % p for p in peaks] +
                             ["%.2f" % ratio, "   " + verdict(ratio <= 1.05, "flat (<= 1.05)")]))
            lines.append("")
        title = "Download cut at 50 %% and continued (%d MiB), median of %d" % (smallest, rounds)
        if "resume_%d" % smallest in self.results:
            r = self.results["resume_%d" % smallest]
            size = r["archive_bytes"]
            lines.append(title)
            row("", "seconds", "MiB sent", "/ archive", "requests")
            for label, key in (("Range + If-Range: 206, resumed", "ranges"),
                               ("no Accept-Ranges: begun again", "no_ranges")):
                sent = median([x["bytes"] for x in r[key]])
                row(label, "%.3f" % median([x["road"] for x in r[key]]), "%.1f" % (sent / MIB),
                    "%.2f" % (sent / size), "%d" % median([x["requests"] for x in r[key]]))
            lines.append("  (start to the agent's start, retry wait included; bytes: the"
                         " server's count)")
            lines.append("")
        if "cache_hit_us" in self.results:
            c = self.results["cache_hit_us"]
            head, agent = median(c["curl"]), median(c["agent"])
            lines.append("Cache-hit road: start to the agent's start (ms), median of %d" % short)
            row("installer, terminal", "%.1f" % (median(c["terminal"]) / 1e3))
            row("installer, window (Xvfb)", "%.1f" % (median(c["window"]) / 1e3))
            # A prompt cache hit opens no window: it costs what the terminal's does.
            ratio = median(c["window"]) / median(c["terminal"])
            row("window / terminal", "%.2f" % ratio, "  " + verdict(ratio <= 1.5, "<= 1.5"))
            row("curl -sI (headers only)", "%.1f" % (head / 1e3))
            row("sh install alone", "%.1f" % (agent / 1e3))
            row("terminal - (curl -sI + sh install)",
                "%.1f" % ((median(c["terminal"]) - head - agent) / 1e3))
            lines.append("")
        title = ("Cache hit, a server that sends the body at once (%d MiB agent), median of %d"
                 % (EAGER_HIT_MIB, short))
        if "eager_hit" in self.results:
            e = self.results["eager_hit"]
            lines.append(title)
            row("", "ms", "KiB/run", "requests")
            for label, key in (("If-None-Match ignored: 200 + body", "plain"),
                               ("If-None-Match answered: 304", "conditional")):
                stats = e[key + "_stats"]
                runs = max(1, len(e[key]))
                row(label, "%.1f" % (median(e[key]) / 1e3),
                    "%.0f" % (stats.get("body_bytes_sent", 0) / runs / 1024),
                    "%d" % stats.get("requests", 0))
            lines.append("  (terminal; bytes: the server's count over all runs, per run)")
            lines.append("")
        if "shipped_us" in self.results:
            s = self.results["shipped_us"]
            inst, hand = median(s["installer"]), median(s["hand"])
            diff = (inst - hand) / 1e3
            lines.append("Shipped road: start to exit (ms), median of %d" % short)
            row("installer", "%.1f" % (inst / 1e3))
            row("by hand: unzip -qq -o, sh install", "%.1f" % (hand / 1e3))
            row("difference", "%.1f" % diff, "   " + verdict(diff <= 5, "<= 5 ms"))
            lines.append("")
        self.report_signed(lines, row, verdict)
        many_files.report(self.results, lines, row, verdict, median)
        run_file.report(self.results, lines, row, verdict, median)
        if self.failures:
            lines.append("Not measured")
            for key, error in sorted(self.failures.items()):
                lines.append("    %s: %s" % (key, error.splitlines()[0]))
        return "\n".join(lines).rstrip("\n")

    def report_signed(self, lines, row, verdict):
        if "signed_shipped_us" in self.results:
            s = self.results["signed_shipped_us"]
            signed, unsigned, hand = (median(s[k]) / 1e3 for k in ("signed", "unsigned", "hand"))
            lines.append("Signed agents, shipped road: start to exit (ms), median of %d"
                         % self.short_rounds)
            row("installer, signed build", "%.1f" % signed)
            row("installer, unsigned build", "%.1f" % unsigned)
            row("by hand: unzip -qq -o, sh install", "%.1f" % hand)
            row("signed - by hand", "%.1f" % (signed - hand),
                "   " + verdict(signed - hand <= 5, "<= 5 ms"))
            row("signed - unsigned (the check)", "%.1f" % (signed - unsigned))
            lines.append("")
        key = "signed_download_%d" % SIGNED_DOWNLOAD_MIB
        if key in self.results:
            d = self.results[key]
            signed, unsigned = (median([r["road"] for r in d[k]]) for k in ("signed", "unsigned"))
            lines.append("Signed agents, download road, %d MiB, terminal: start to the agent's"
                         " start (s)," % SIGNED_DOWNLOAD_MIB)
            lines.append("  median of %d" % self.rounds)
            row("installer, signed build", "%.3f" % signed)
            row("installer, unsigned build", "%.3f" % unsigned)
            row("signed - unsigned (the check)", "%.3f" % (signed - unsigned),
                "%.1f %%" % (100 * (signed - unsigned) / unsigned))
            lines.append("  (the check: a second request, for the .sig, and the SHA-256 of the"
                         " archive;")
            lines.append("   the server answered %d requests for %d runs of each)"
                         % (d["server"].get("requests", 0), len(d["signed"])))
            lines.append("")
        if "signed_memory" in self.results:
            m = self.results["signed_memory"]
            small, large = SIGNED_MEMORY_MIB[0], SIGNED_MEMORY_MIB[-1]
            lines.append("Signed agents, shipped road: peak resident memory (KiB), median of %d"
                         " untimed runs" % SIGNED_MEMORY_RUNS)
            row("", "%d MiB" % small, "%d MiB" % large, "ratio", "   target")
            for label, field in (("signed, installer alone (VmHWM)", "own"),
                                 ("signed, with children (time %M)", "tree")):
                a = median([r[field] for r in m["signed_%d" % small]])
                b = median([r[field] for r in m["signed_%d" % large]])
                row(label, "%d" % a, "%d" % b, "%.2f" % (b / a),
                    "   " + verdict(b / a <= 1.05, "flat (<= 1.05)"))
            for label, field in (("unsigned, installer alone (VmHWM)", "own"),
                                 ("unsigned, with children (time %M)", "tree")):
                row(label, "%d" % median([r[field] for r in m["unsigned_%d" % small]]))
            lines.append("  (VmHWM: the installer's own peak as the agent starts, hashing and"
                         " unzip done;")
            lines.append("   %M: the largest of the installer and the children it waited"
                         " for, unzip among them)")
            lines.append("")
        if "needed" in self.results:
            n = self.results["needed"]
            lines.append("Signed agents: the libraries the installer needs")
            extra = [lib for lib in n["unsigned"] if lib not in RUNTIME_LIBRARIES]
            lines.append("    unsigned build, NEEDED: " + " ".join(n["unsigned"]))
            lines.append("      " + verdict(not extra, "nothing but the C and C++ runtimes"))
            lines.append("    signed build, NEEDED:   " + " ".join(n["signed"]))
            if "signed_memory" in self.results:
                m = self.results["signed_memory"]
                small = SIGNED_MEMORY_MIB[0]
                for name in ("unsigned", "signed"):
                    mapped = m["%s_%d" % (name, small)][0]["libraries"]
                    lines.append("    %s build, mapped on the shipped road: %s"
                                 % (name, " ".join(mapped)))
            lines.append("")

    def attempt(self, key, road):
        """Runs a road whose failure leaves the others worth reporting (an
        earlier build measured with --installer may lack what it needs)."""
        try:
            road()
        except BenchError as error:
            self.failures[key] = str(error)
            self.results.setdefault("failures", {})[key] = str(error)
            progress("not measured: " + str(error).splitlines()[0])
            self.stop_children_but_xvfb()

    def stop_children_but_xvfb(self):
        for child in list(self.children):
            if child is not self.xvfb and child.poll() is None:
                child.send_signal(signal.SIGTERM)
                child.wait(timeout=10)
        self.children = [c for c in self.children if c.poll() is None]

    def run(self):
        print("bench: %s, %d rounds (%d for the short roads), sizes %s MiB" % (
            time.strftime("%Y-%m-%d %H:%M:%S"), self.rounds, self.short_rounds,
            " ".join(map(str, self.sizes))), flush=True)
        print("bench: source: " + source_state(self.root))
        if self.built_installer != os.path.join(self.build, "installer"):
            print("bench: program measured: " + self.built_installer)
        if self.signed_program:
            print("bench: signed program measured: " + os.path.abspath(self.signed_program))
        print("bench: before: " + uptime(), flush=True)
        self.results["uptime_before"] = uptime()
        started = time.monotonic()
        self.start_xvfb()
        sizes = self.sizes + [EAGER_HIT_MIB]
        if "signed" in self.roads:
            sizes += [SIGNED_DOWNLOAD_MIB] + list(SIGNED_MEMORY_MIB)
        for mib in sorted(set(sizes)):
            progress("archive of %d MiB" % mib)
            self.make_archive(mib)
        if "cache-hit" in self.roads:
            progress("cache-hit road")
            self.cache_hit_road()
        if "eager-hit" in self.roads:
            progress("cache-hit road, eager server")
            self.attempt("eager_hit", self.eager_hit_road)
        if "download" in self.roads:
            for mib in self.sizes:
                progress("download road, %d MiB" % mib)
                self.download_road(mib)
                progress("download road, %d MiB, %d untimed runs under strace"
                         % (mib, TRACED_RUNS))
                self.attempt("durability_%d" % mib, lambda: self.durability_road(mib))
            mib = min(self.sizes)
            progress("download road, %d MiB, over an older agent" % mib)
            self.attempt("repeat_%d" % mib, lambda: self.repeat_road(mib))
        if "resume" in self.roads:
            mib = min(self.sizes)
            progress("download road, %d MiB, cut and continued" % mib)
            self.attempt("resume_%d" % mib, lambda: self.resume_road(mib))
        if "shipped" in self.roads:
            progress("shipped road")
            self.shipped_road()
        if "signed" in self.roads:
            progress("signed road")
            self.attempt("signed", self.signed_road)
        if "many-files" in self.roads:
            for files in many_files.FILE_COUNTS:
                progress("agents of %d files" % files)
                self.attempt("many_%d" % files, lambda: many_files.road(
                    self, files, AGENT_SCRIPT, self.shipped_by_hand, read_stamp))
        if "run-file" in self.roads:
            progress("single-file installer")
            self.attempt("run_file", lambda: run_file.road(self, read_stamp))
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
    # Another build of the program in its place (say, a copy of an earlier
    # one), for a before-and-after comparison under the same conditions.
    parser.add_argument("--installer", help="the program to measure (default: BUILD/installer)")
    parser.add_argument("--roads", default=",".join(ROADS),
                        help="the roads to measure, of " + ",".join(ROADS))
    # The build with keys, and the private key whose public half it trusts.
    parser.add_argument("--signed-build", help="a build configured with the signing key")
    parser.add_argument("--signing-key", help="the private key (PEM) for installer-sign")
    parser.add_argument("--signed-installer",
                        help="the signed program to measure (default: SIGNED_BUILD/installer);"
                             " it must trust the signing key")
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    if not set(args.roads.split(",")) <= set(ROADS):
        parser.error("--roads: one or more of " + ",".join(ROADS))
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
