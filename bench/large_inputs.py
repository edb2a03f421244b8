#!/usr/bin/python3
"""What long texts handed to the probe cost a request.

A request makes three failing `PDO::query` calls (SQLite in memory) with a
SQL text of `SELECT '` followed by `\\'` repeated, or 100 calls of a listed
function that each throw an exception with a long message, caught by the
script. The texts are 1 MB and 4 MB; failed queries are always reported, and
each exception's details (up to `qx.max_exceptions`) are kept.

`php -S` servers run the same script: one without the extension, one with it
collecting (stand-in aggregator on loopback), and with `--compare` one more
with another build of the extension. The servers are measured in interleaved
rounds; a server's CPU time is read from /proc/<pid>/task/*/schedstat around
each round's requests, and the figures are medians over the rounds.

Usage (from the repository, after building into <build>; the registration
block is shared with the end-to-end tests, hence the lock):
    flock /tmp/quillet-qx-agent-block.lock /usr/bin/python3 bench/large_inputs.py --build build \\
        [--compare other/Quillet.so] [--rounds 15]
"""

import argparse
import glob
import os
import random
import statistics
import sys
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "extension"))
import qxharness  # noqa: E402
import run_benchmark  # noqa: E402

# The page benchmark's listed query, and the function that throws.
POINTS = run_benchmark.POINTS_SQL + """[thrower]
method=thrower
layer=Bench
"""

SCRIPT = r"""<?php
function thrower($m) { throw new RuntimeException($m); }
$n = (int)($_GET['n'] ?? 0);
if (($_GET['mode'] ?? '') === 'sql') {
    $db = new PDO('sqlite::memory:');
    $sql = "SELECT '" . str_repeat("\\'", intdiv($n, 2));
    for ($i = 0; $i < 3; $i++) { try { $db->query($sql); } catch (PDOException $e) {} }
} else {
    $m = str_repeat('m', $n);
    for ($i = 0; $i < 100; $i++) { try { thrower($m); } catch (RuntimeException $e) {} }
}
echo 'ok';
"""

CASES = [("sql", 1 << 20), ("sql", 4 << 20), ("exception", 1 << 20), ("exception", 4 << 20)]


class Site(qxharness.QuilletSite):
    with_extension = True

    def server_command(self, port, overrides=None, load_extension=True):
        cmd = super().server_command(port, overrides, self.with_extension)
        # php -n loads no module: PDO on SQLite for the queries.
        return cmd[:2] + ["-d", "extension=pdo", "-d", "extension=pdo_sqlite"] + cmd[2:]


def cpu_ns(pid):
    total = 0
    for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that ended in between
    return total


def get(port, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=60) as resp:
        body = resp.read().decode(errors="replace")
    if body != "ok":
        raise RuntimeError("unexpected answer: " + body[:200])


def start(site, extension=None, points=POINTS):
    if extension:
        site.extension = extension
    site.write_point_file(points)
    site.write_script("large.php", SCRIPT)
    if site.with_extension:
        site.start_aggregator(("--frames-only",))
        site.write_block(registered=1)
    return site.start_server(timeout=120)


def instructions(build, extension, case, counts=(1, 3)):
    """Instructions the server executes per request of `case` (callgrind): two
    runs that differ only in the number of requests, so start-up and shutdown
    cancel out. Deterministic, unlike CPU time; it leaves out the kernel's
    work (the page faults of the script's own copies among it)."""
    totals = []
    for count in counts:
        site = Site(build_dir=build, log_level=0)
        out_file = os.path.join(site.root, "callgrind.out")
        site.with_extension = extension is not None
        plain_command = site.server_command
        site.server_command = lambda port, overrides=None, load_extension=True: (
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_file]
            + plain_command(port, overrides, load_extension))
        try:
            start(site, extension)
            path = "/large.php?mode=%s&n=%d" % case
            for _ in range(count):
                get(site.server_port, path)
            site.stop_server()
            with open(out_file) as f:
                lines = [line for line in f if line.startswith(("summary:", "totals:"))]
            totals.append(int(lines[0].split()[1]))
        finally:
            site.close()
    return (totals[1] - totals[0]) / (counts[1] - counts[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("--compare", help="another build's Quillet.so, measured beside this one")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--requests", type=int, default=4, help="requests per server, case and round")
    parser.add_argument("--only", choices=["sql", "exception"], help="measure only these requests")
    parser.add_argument("--instructions", action="store_true",
                        help="count each request's instructions under callgrind instead (needs valgrind)")
    args = parser.parse_args()
    cases = [case for case in CASES if args.only in (None, case[0])]
    build = os.path.abspath(args.build)
    if args.instructions:
        servers = [("without the extension", None), ("this build", os.path.join(build, "extension", "Quillet.so"))]
        if args.compare:
            servers.append(("compared build", os.path.abspath(args.compare)))
        print("%-24s %-24s %16s %16s" % ("request", "server", "instructions", "over without"))
        for case in cases:
            label = "%s, %d MB" % ("3 failing queries" if case[0] == "sql" else "100 exceptions", case[1] >> 20)
            base = None
            for name, extension in servers:
                count = instructions(build, extension, case)
                base = count if base is None else base
                print("%-24s %-24s %16.0f %+16.0f" % (label, name, count, count - base), flush=True)
        return

    sites = {}
    try:
        sites["without the extension"] = Site(build_dir=build, log_level=0)
        sites["without the extension"].with_extension = False
        start(sites["without the extension"])
        # The same build collecting with nothing listed: what the extension's
        # presence alone costs these requests (the script's own copies of the
        # long texts fault in fresh memory, and where that lands moves with
        # whatever else the process has mapped).
        sites["this build, none listed"] = Site(build_dir=build, log_level=0)
        start(sites["this build, none listed"], points="")
        sites["this build"] = Site(build_dir=build, log_level=0)
        start(sites["this build"])
        if args.compare:
            sites["compared build"] = Site(build_dir=build, log_level=0)
            start(sites["compared build"], os.path.abspath(args.compare))

        results = {(name, case): [] for name in sites for case in cases}
        for name, site in sites.items():
            for mode, size in cases:
                get(site.server_port, "/large.php?mode=%s&n=%d" % (mode, size))  # warm up
        for _ in range(args.rounds):
            for case in cases:
                order = list(sites.items())
                random.shuffle(order)
                for name, site in order:
                    path = "/large.php?mode=%s&n=%d" % case
                    before = cpu_ns(site.server.pid)
                    for _ in range(args.requests):
                        get(site.server_port, path)
                    results[(name, case)].append((cpu_ns(site.server.pid) - before) / args.requests / 1e6)

        print("%-24s %-24s %14s %14s" % ("request", "server", "CPU (ms)", "over without"))
        for case in cases:
            base = statistics.median(results[("without the extension", case)])
            label = "%s, %d MB" % ("3 failing queries" if case[0] == "sql" else "100 exceptions", case[1] >> 20)
            for name in sites:
                value = statistics.median(results[(name, case)])
                print("%-24s %-24s %14.2f %+14.2f" % (label, name, value, value - base))
    finally:
        for site in sites.values():
            site.close()


if __name__ == "__main__":
    main()
