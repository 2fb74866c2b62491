"""Single-file installers (.run, made by installer-pack). Three things:

  - start-up: the .run against the installer directory it was packed from
    (same program, the sample agent, the sample bundle), start to exit on
    the shipped road, each run after the same untimed clean-up;
  - peak memory of a .run's start with the sample bundle and with a 1 GiB
    one (a sparse stored entry), on untimed runs;
  - the start-up check at 1 GiB against the sample bundle: start to the
    agent's start, and the bytes the installer had read by then
    (/proc/PID/io rchar, copied by the agent), so that a check that read
    the bundle through shows in both.

Used by bench.py: road(bench, ...) measures with the bench's own helpers,
report(results, ...) prints.
"""

import os
import resource
import shutil
import struct
import subprocess
import zlib

MIB = 1 << 20
LARGE_BUNDLE_MIB = 1024
MEMORY_RUNS = 3

# The bench's agent, which also copies what its parent, the installer, has
# read and holds as it starts the agent.
AGENT_SCRIPT = """#!/bin/sh
# The .run bench's agent: notes when it started and installs nothing.
[ -z "${BENCH_AGENT_STAMP:-}" ] || date +%s%N > "$BENCH_AGENT_STAMP"
[ -z "${BENCH_AGENT_PARENT:-}" ] || cat "/proc/$PPID/io" "/proc/$PPID/status" > "$BENCH_AGENT_PARENT"
exit 0
"""


def make_large_bundle(bench):
    """A bundle of one stored entry of LARGE_BUNDLE_MIB MiB of zeros, written
    sparse: local header, a hole, then the central directory. Kept in the
    bench's archive directory."""
    os.makedirs(bench.archives, exist_ok=True)
    path = os.path.join(bench.archives, "bundle-%dMiB-sparse.zip" % LARGE_BUNDLE_MIB)
    size = LARGE_BUNDLE_MIB * MIB
    if os.path.exists(path) and os.path.getsize(path) > size:
        return path
    crc = 0
    zeros = bytes(8 * MIB)
    for _ in range(size // len(zeros)):
        crc = zlib.crc32(zeros, crc)
    name = b"data/zeros.bin"
    dos_time, dos_date = 0, (2020 - 1980) << 9 | 1 << 5 | 1
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 10, 0, 0, dos_time, dos_date, crc, size,
                        size, len(name), 0) + name
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x031E, 10, 0, 0, dos_time,
                          dos_date, crc, size, size, len(name), 0, 0, 0, 0,
                          0o100644 << 16, 0) + name
    directory_at = len(local) + size
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), directory_at, 0)
    partial = path + ".partial"
    with open(partial, "wb") as out:
        out.write(local)
        out.seek(directory_at)
        out.write(central + end)
    # Once, when made: unzip reads the entry through and checks its CRC.
    subprocess.run(["unzip", "-tqq", partial], check=True, stdout=subprocess.DEVNULL)
    os.replace(partial, path)
    return path


def make_agent(bench):
    os.makedirs(bench.archives, exist_ok=True)
    path = os.path.join(bench.archives, "agent-run-file.zip")
    staging = bench.fresh_dir("run-file-agent")
    with open(os.path.join(staging, "install"), "w", encoding="ascii") as script:
        script.write(AGENT_SCRIPT)
    if os.path.exists(path):
        os.unlink(path)
    subprocess.run(["zip", "-q", "-X", path, "install"], cwd=staging, check=True)
    return path


def pack(bench, bundle, agent, output):
    err = os.path.join(bench.scratch, "pack-stderr")
    _, _, status = bench.spawn(
        [os.path.join(bench.build, "installer-pack"), "--installer", bench.built_installer,
         "--bundle", bundle, "--agent", agent, output], bench.base_env, err)
    if status != 0:
        bench.fail("installer-pack %s" % os.path.basename(output), err)
    return output


def parent_io(path):
    """(rchar, VmHWM in KiB) from what the agent copied of its parent."""
    values = {}
    with open(path, encoding="ascii", errors="replace") as text:
        for line in text:
            key, _, value = line.partition(":")
            if key in ("rchar", "VmHWM"):
                values[key] = int(value.split()[0])
    return values.get("rchar"), values.get("VmHWM")


def road(bench, read_stamp):
    """The three measurements; results under "run_file"."""
    results = {}
    files = bench.fresh_dir("run-file")
    # The directory form and the .run packed from it: the same program, agent
    # and bundle.
    dist = os.path.join(files, "dist")
    os.makedirs(dist)
    # Named installer whatever the program measured is called (INSTALLER=).
    shutil.copy2(bench.built_installer, os.path.join(dist, "installer"))
    for path in (bench.built_bundle, bench.sample_agent):
        shutil.copy2(path, dist)
    sample_run = pack(bench, bench.built_bundle, bench.sample_agent,
                      os.path.join(files, "Sample.run"))
    env = bench.env("terminal", HOME=bench.fresh_dir("run-file-home"),
                    TMPDIR=bench.fresh_dir("run-file-tmp"))

    def cpu_of_children():
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        return usage.ru_utime + usage.ru_stime

    def shipped(program):
        """Start to exit (us), and the CPU time (us) of the installer and
        everything it waited for: on a busy machine the time also holds
        waits for a core and for the disk's journal."""
        def run():
            dest = bench.fresh_dir("run-file-dest")
            cpu = cpu_of_children()
            t0, t_exit, status = bench.spawn([program, "-destination", dest], env)
            cpu = cpu_of_children() - cpu
            if status != 0 or not os.listdir(dest):
                bench.fail("%s (shipped road)" % os.path.basename(program))
            bench.leftovers.append(dest)
            return {"wall": (t_exit - t0) / 1e3, "cpu": cpu * 1e6}
        return run

    # A footprint of 0: before each run, the last one's destination goes, the
    # disk is synced and the page cache warmed, whoever's turn it is.
    runs = [("directory", 0, shipped(os.path.join(dist, "installer"))),
            ("run", 0, shipped(sample_run))]
    results["startup_us"] = bench.timed_rounds(runs, 2 * bench.short_rounds, ".run start-up")

    # The bench's agent, with the sample bundle and with 1 GiB.
    agent = make_agent(bench)
    large_bundle = make_large_bundle(bench)
    contenders = {
        "small": pack(bench, bench.built_bundle, agent, os.path.join(files, "small.run")),
        "large": pack(bench, large_bundle, agent, os.path.join(files, "large.run")),
    }
    results["large_run_bytes"] = os.path.getsize(contenders["large"])
    results["large_run_allocated"] = os.stat(contenders["large"]).st_blocks * 512

    def start(name, timed):
        def run():
            work = bench.fresh_dir("run-file-start")
            tmp, home = os.path.join(work, "tmp"), os.path.join(work, "home")
            os.makedirs(tmp)
            os.makedirs(home)
            stamp, parent, rss, err = (os.path.join(work, n)
                                       for n in ("stamp", "parent", "rss", "stderr"))
            env = bench.env("terminal", HOME=home, TMPDIR=tmp, BENCH_AGENT_STAMP=stamp,
                            BENCH_AGENT_PARENT=parent)
            argv = [contenders[name]]
            if not timed:
                argv = ["/usr/bin/time", "-f", "%M", "-o", rss] + argv
            t0, _, status = bench.spawn(argv, env, err)
            started = read_stamp(stamp)
            if status != 0 or started is None:
                bench.fail(".run, %s bundle (status %d)" % (name, status), err)
            rchar, own = parent_io(parent)
            result = {"start": (started - t0) / 1e3, "rchar": rchar, "own": own}
            if not timed:
                with open(rss, encoding="ascii") as text:
                    result["tree"] = int(text.read().split()[-1])
            bench.leftovers.append(work)
            return result
        return run

    results["memory"] = bench.timed_rounds(
        [(name, 0, start(name, False)) for name in contenders], MEMORY_RUNS,
        ".run memory")
    results["check_us"] = bench.timed_rounds(
        [(name, 0, start(name, True)) for name in contenders], bench.short_rounds,
        ".run check at 1 GiB")
    bench.results["run_file"] = results
    return results


def report(results, lines, row, verdict, median):
    r = results.get("run_file")
    if not r:
        return
    s = r["startup_us"]
    lines.append("Single-file installer, shipped road with the sample agent: start to exit"
                 " (ms), median of %d" % len(s["run"]))
    row("", "time", "CPU")
    medians = {name: [median([x[field] for x in s[name]]) / 1e3 for field in ("wall", "cpu")]
               for name in ("directory", "run")}
    row("installer directory", *("%.2f" % v for v in medians["directory"]))
    row(".run packed from it", *("%.2f" % v for v in medians["run"]))
    wall, cpu = (medians["run"][i] - medians["directory"][i] for i in (0, 1))
    row(".run - directory", "%.2f" % wall, "%.2f" % cpu, "   " + verdict(wall <= 2, "<= 2 ms"))
    lines.append("  (CPU: user + system time of the installer and all it waited for, the"
                 " agent's")
    lines.append("   sh and unzip included)")
    lines.append("")
    m = r["memory"]
    lines.append(".run with the sample bundle and with %d MiB (sparse, %.1f MiB on disk):"
                 " peak resident" % (LARGE_BUNDLE_MIB, r["large_run_allocated"] / MIB))
    lines.append("  memory (KiB), median of %d untimed runs" % len(m["small"]))
    row("", "sample", "%d MiB" % LARGE_BUNDLE_MIB, "ratio", "   target")
    for label, field in (("installer alone (VmHWM)", "own"),
                         ("with children (time %M)", "tree")):
        a = median([x[field] for x in m["small"]])
        b = median([x[field] for x in m["large"]])
        row(label, "%d" % a, "%d" % b, "%.2f" % (b / a),
            "   " + verdict(b / a <= 1.05, "flat (<= 1.05)"))
    lines.append("")
    c = r["check_us"]
    small, large = (median([x["start"] for x in c[k]]) / 1e3 for k in ("small", "large"))
    read_small, read_large = (median([x["rchar"] for x in c[k]]) for k in ("small", "large"))
    lines.append(".run start to the agent's start (ms) and bytes the installer read by"
                 " then,")
    lines.append("  median of %d" % len(c["small"]))
    row("", "ms", "KiB read")
    row("sample bundle", "%.2f" % small, "%.0f" % (read_small / 1024))
    row("%d MiB bundle" % LARGE_BUNDLE_MIB, "%.2f" % large, "%.0f" % (read_large / 1024))
    row("%d MiB - sample" % LARGE_BUNDLE_MIB, "%.2f" % (large - small),
        "%.0f" % ((read_large - read_small) / 1024),
        "   " + verdict(read_large - read_small < MIB, "< 1 MiB more read"))
    lines.append("  (read: /proc/PID/io rchar of the installer as the agent starts: every"
                 " byte read,")
    lines.append("   the program's own pages and the agent's unpacking included)")
    lines.append("")
