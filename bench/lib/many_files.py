"""Agents made of many small files, like a language runtime with its
libraries: 5,000 and 20,000 files of about 150 MiB unpacked, deflated as zip
does by default. The whole download road of the installer (first download
into an empty cache) against curl -o + unzip -qq -o + sh install by hand, and
the shipped road against unzip + sh by hand, both with such an agent.

Used by bench.py: road(bench, files, ...) measures with the bench's own
helpers, report(results, ...) prints.
"""

import os
import random
import shutil
import zipfile

MIB = 1 << 20
FILE_COUNTS = (5000, 20000)
UNPACKED_MIB = 150


def make_archive(bench, files, agent_script):
    """The agent of `files` files, kept in the bench's archive directory."""
    os.makedirs(bench.archives, exist_ok=True)
    path = os.path.join(bench.archives, "agent-%dfiles.zip" % files)
    if os.path.exists(path):
        with zipfile.ZipFile(path) as archive:
            if (len(archive.namelist()) == files + 1
                    and archive.read("install").decode("ascii") == agent_script):
                return path
    rng = random.Random(files)
    size = UNPACKED_MIB * MIB // files
    # Half random, half text: compresses about as a runtime's files do.
    text = (b"def function_%d(argument):\n    return argument * 2\n" * 64)
    partial = path + ".partial"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as archive:
        script = zipfile.ZipInfo("install", (2020, 1, 1, 0, 0, 0))
        script.external_attr = 0o100755 << 16
        script.create_system = 3
        archive.writestr(script, agent_script, zipfile.ZIP_DEFLATED)
        for index in range(files):
            name = "lib/d%03d/f%05d.py" % (index % 200, index)
            random_part = rng.randbytes(size // 2)
            body = random_part + (text * (size // len(text) + 1))[:size - len(random_part)]
            entry = zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0))
            entry.external_attr = 0o100644 << 16
            entry.create_system = 3
            archive.writestr(entry, body, zipfile.ZIP_DEFLATED)
    os.replace(partial, path)
    return path


def road(bench, files, agent_script, shipped_by_hand, read_stamp):
    archive = make_archive(bench, files, agent_script)
    server = bench.start_server(archive, '"bench-%dfiles"' % files)
    url = server.url
    footprint = UNPACKED_MIB + os.path.getsize(archive) // MIB

    def download():
        run = bench.fresh_dir("many-run")
        home, tmp = os.path.join(run, "home"), os.path.join(run, "tmp")
        os.makedirs(home)
        os.makedirs(tmp)
        stamp, err = os.path.join(run, "stamp"), os.path.join(run, "stderr")
        env = bench.env("terminal", HOME=home, TMPDIR=tmp, QZ_INTERNAL_INSTALL_AGENT_URL=url,
                        BENCH_AGENT_STAMP=stamp)
        t0, _, status = bench.spawn([bench.installer], env, err)
        started = read_stamp(stamp)
        if status != 0 or started is None:
            bench.fail("installer (%d files, status %d)" % (files, status), err)
        bench.leftovers.append(run)
        return (started - t0) / 1e9

    def by_hand():
        run = bench.fresh_dir("many-hand")
        result = bench.hand_run(run, url, 0)
        bench.leftovers.append(run)
        return result["road"]

    dist = bench.fresh_dir("many-dist")
    for source in (bench.built_installer, bench.built_bundle):
        shutil.copy2(source, dist)
    shutil.copy2(archive, os.path.join(dist, "InstallAgent.zip"))
    shipped_tmp = bench.fresh_dir("many-shipped-tmp")
    shipped_env = bench.env("terminal", HOME=bench.fresh_dir("many-shipped-home"),
                            TMPDIR=shipped_tmp)

    def shipped():
        t0, t_exit, status = bench.spawn([os.path.join(dist, "installer")], shipped_env)
        if status != 0:
            bench.fail("installer (shipped road, %d files)" % files)
        return (t_exit - t0) / 1e9

    def shipped_hand():
        return shipped_by_hand(dist, bench.fresh_dir("many-dest"), shipped_env) / 1e6

    bench.read_into_page_cache(archive)
    runs = [("installer", footprint, download), ("hand", footprint, by_hand),
            ("shipped", footprint, shipped), ("shipped_hand", footprint, shipped_hand)]
    samples = bench.timed_rounds(runs, bench.rounds, "%d files" % files)
    server.stop()
    bench.results["many_%d" % files] = samples
    return samples


def report(results, lines, row, verdict, median):
    counts = [n for n in FILE_COUNTS if "many_%d" % n in results]
    if not counts:
        return
    lines.append("Agents of many files (%d MiB unpacked): start to the agent's start, or"
                 " to exit on the shipped road; seconds, median of %d"
                 % (UNPACKED_MIB, results["rounds"]))
    row("", "installer", "by hand", "by hand /", "   target")
    row("", "", "", "installer")
    for files in counts:
        s = results["many_%d" % files]
        for label, ours, theirs in (("download road", "installer", "hand"),
                                    ("shipped road", "shipped", "shipped_hand")):
            t, hand = median(s[ours]), median(s[theirs])
            row("%d files, %s" % (files, label), "%.3f" % t, "%.3f" % hand,
                "%.2f" % (hand / t), "   " + verdict(hand / t >= 1.0, ">= 1.00"))
    lines.append("  (by hand: curl -o, unzip -qq -o, sh install; shipped: mktemp -d,"
                 " unzip -qq -o, sh install, rm -rf)")
    lines.append("")
