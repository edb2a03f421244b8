#!/usr/bin/python3
"""What the extension costs a PHP web application, measured side by side.

`php -S` servers run the same script (bench/bench.php) on this machine at the
same time, opcache on in all of them: one without the extension, and ones with
it loaded (registration block written, stand-in aggregator listening on
loopback, ten user functions of the script listed in the point file). The
requests to them are interleaved, so all see the same machine load.

Both servers are pinned to the same CPU. Figures are medians over many
requests; ratios and differences are medians of the pairs measured back to
back:
- per call of an unlisted function: the script's own loop time, divided by the
  number of calls, with and without the extension;
- per call of a listed function that is faster than the threshold, against an
  unlisted call in the same server;
- a page: a request of a few thousand calls, user and internal (a layout
  and a table rendered through templates, string and array work), nineteen of
  them calls of listed functions: the server's own CPU time per request
  against the server without the extension, with the extension loaded but the
  probe not registered, collecting at the default threshold, and collecting
  at threshold 0 (every listed call kept);
- per request: the fixed cost of a collected request (activation,
  deactivation, encoding, the send to the aggregator): the server's own CPU time
  per request that makes no call, on the same server with collection switched
  on and off by the registration byte; and, for reference, the client latency
  against the server without the extension.

Usage (from the repository, after building into <build>):
    /usr/bin/python3 bench/run_benchmark.py --build build
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "extension"))
import qxharness  # noqa: E402

# Ten user functions: the trivial listed one and nine of the page's.
POINTS = """
[listed]
method=listedFast
layer=Bench
""" + "".join("[p%d]\nmethod=%s\nlayer=Bench\n" % (i, name) for i, name in enumerate(
    ["renderPage", "loadItems", "sortItems", "renderTable", "summarize", "renderSection", "renderSidebar",
     "renderHeader", "renderFooter"]))

# Every server runs with opcache, as production sites do.
OPCACHE = {"zend_extension": "opcache", "opcache.enable": 1, "opcache.enable_cli": 0,
           "opcache.file_update_protection": 0, "opcache.validate_timestamps": 0}

# A configuration that lists internal functions only: no user function is
# observed at all.
POINTS_INTERNAL_ONLY = """
[sleep]
method=usleep
layer=Bench
"""

# The database query of bench.php, listed: the PDO connection (so its queries
# are attributed) and the query itself.
POINTS_SQL = """
[pdo connect]
class=PDO
method=__construct
layer=Bench
[pdo query]
class=PDO
method=query
layer=Bench
"""

TARGET_UNLISTED_RATIO = 1.02
TARGET_FIXED_US = 100.0
TARGET_LISTED_EXTRA_US = 1.0
# Page, against no extension.
TARGET_PAGE = {"loaded, not registered": 1.01, "collecting, default threshold": 1.03,
               "collecting, threshold 0": 1.05}


def get(port, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=60) as resp:
        return resp.read().decode()


def loop_ns_per_call(port, mode, calls):
    elapsed, _ = get(port, "/bench.php?mode=%s&n=%d" % (mode, calls)).split()
    return int(elapsed) / calls


def latency_us(port):
    start = time.perf_counter()
    get(port, "/bench.php?mode=empty")
    return (time.perf_counter() - start) * 1e6


def cpu_us_per_request(port, requests, path="/bench.php?mode=empty"):
    """CPU time the server spends per request: two readings of its own CPU
    time around `requests` requests. Unlike client latency this is not
    blurred by the machine's wake-up and scheduling delays."""
    before = int(get(port, "/bench.php?mode=cpu"))
    for _ in range(requests):
        get(port, path)
    after = int(get(port, "/bench.php?mode=cpu"))
    return (after - before) / (requests + 1)


def pinned(cmd, cpu):
    """The command run on one CPU, so both servers share the same core and
    see the same load from the rest of the machine."""
    if cpu is None or not shutil.which("taskset"):
        return cmd
    return ["taskset", "-c", str(cpu)] + cmd


class PinnedSite(qxharness.QuilletSite):
    cpu = None

    def start_aggregator(self, extra_args=(), **kwargs):
        """The stand-in aggregator runs off the servers' CPU, as a real one runs
        on another machine: its work must not land in the servers' caches. It
        counts the frames without decoding them: in Python that costs about
        half a millisecond of CPU per block, which slowed the server it
        competes with for the machine (a real aggregator runs elsewhere)."""
        result = super().start_aggregator(tuple(extra_args) + ("--frames-only",), **kwargs)
        if self.cpu is not None and shutil.which("taskset") and (os.cpu_count() or 1) > 1:
            others = ",".join(str(c) for c in range(os.cpu_count()) if c != self.cpu)
            subprocess.run(["taskset", "-a", "-c", "-p", others, str(self.aggregator.proc.pid)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        return result

    def server_command(self, port, overrides=None, load_extension=True):
        cmd = super().server_command(port, overrides, load_extension)
        # PDO on SQLite for the database query (php -n loads no module).
        cmd = cmd[:2] + ["-d", "extension=pdo", "-d", "extension=pdo_sqlite"] + cmd[2:]
        return pinned(cmd, self.cpu)


class CallgrindSite(qxharness.QuilletSite):
    """A site whose server runs under callgrind, counting instructions."""
    out_file = None
    with_extension = True

    def server_command(self, port, overrides=None, load_extension=True):
        return (["valgrind", "--tool=callgrind", "--callgrind-out-file=" + self.out_file]
                + super().server_command(port, overrides, self.with_extension))


def prepare(site, points):
    """Gives a site the point file, the bench script and a stand-in aggregator."""
    site.write_point_file(points)
    with open(os.path.join(HERE, "bench.php")) as f:
        site.write_script("bench.php", f.read())
    site.start_aggregator()


def page_instructions(build, registered, with_extension, settings=None, counts=(3, 13)):
    """Instructions the server executes per page request: two runs that differ
    only in the number of requests, so start-up and shutdown cancel out.
    Unlike CPU time this does not move with the machine's load; it leaves out
    the kernel's work (the send to the aggregator) and cache effects."""
    totals = []
    for count in counts:
        site = CallgrindSite(build_dir=build, log_level=0)
        site.out_file = os.path.join(site.root, "callgrind.out")
        site.with_extension = with_extension
        try:
            prepare(site, POINTS)
            site.write_block(registered=registered)
            port = site.start_server(overrides=dict(OPCACHE, **(settings or {})), timeout=120)
            for _ in range(count):
                get(port, "/bench.php?mode=page")
            site.stop_server()
            with open(site.out_file) as f:
                lines = [line for line in f if line.startswith(("summary:", "totals:"))]
            totals.append(int(lines[0].split()[1]))
        finally:
            site.close()
    return (totals[1] - totals[0]) / (counts[1] - counts[0])


def start_plain_server(site, port):
    cmd = site.server_command(port, overrides=OPCACHE, load_extension=False)
    out = open(os.path.join(site.root, "plain-server.out"), "w")
    env = dict(os.environ)
    env.pop("PHP_CLI_SERVER_WORKERS", None)
    proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, env=env,
                            start_new_session=True, cwd=site.root)
    if not qxharness.wait_for_port(port, qxharness.DEFAULT_TIMEOUT, proc):
        qxharness.stop_process(proc)
        raise RuntimeError("php -S without the extension did not start")
    return proc, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build"),
                        help="build folder holding extension/Quillet.so (default: build)")
    parser.add_argument("--calls", type=int, default=200000, help="calls per loop request")
    parser.add_argument("--loops", type=int, default=15, help="loop requests per server and mode")
    parser.add_argument("--requests", type=int, default=600, help="empty requests per server")
    parser.add_argument("--queries", type=int, default=1000, help="database queries per loop request")
    parser.add_argument("--page-rounds", type=int, default=8,
                        help="rounds of page batches per configuration and set of servers")
    parser.add_argument("--page-batch", type=int, default=40, help="page requests per batch")
    parser.add_argument("--page-servers", type=int, default=8,
                        help="times the page's servers are started anew, each measured for --page-rounds rounds")
    parser.add_argument("--instructions", action="store_true",
                        help="also count the page's instructions under callgrind (takes a few minutes)")
    parser.add_argument("--cpu", type=int, default=max(0, (os.cpu_count() or 1) - 1),
                        help="CPU both servers are pinned to (default: the last one; -1: no pinning)")
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    if not os.path.exists(os.path.join(build, "extension", "Quillet.so")):
        sys.exit("no extension/Quillet.so under %s: build first" % build)

    site = PinnedSite(build_dir=build, log_level=0)
    site.cpu = None if args.cpu < 0 else args.cpu
    internal_site = PinnedSite(build_dir=build, log_level=0)
    internal_site.cpu = site.cpu
    # Every listed query reported (threshold 0): the work of building its
    # events (their encoding and send at the request's end are not in the loop).
    reported_site = PinnedSite(build_dir=build, log_level=0)
    reported_site.cpu = site.cpu
    zero_site = PinnedSite(build_dir=build, log_level=0)
    zero_site.cpu = site.cpu
    plain = None
    plain_out = None
    try:
        prepare(site, POINTS + POINTS_SQL)
        site.write_block(registered=1)
        on_port = site.start_server(overrides=OPCACHE)
        prepare(internal_site, POINTS_INTERNAL_ONLY)
        internal_port = internal_site.start_server(overrides=OPCACHE)
        prepare(zero_site, POINTS)
        zero_port = zero_site.start_server(overrides=dict(OPCACHE, **{"qx.slow_function_threshold": 0}))
        prepare(reported_site, POINTS_SQL)
        reported_port = reported_site.start_server(overrides={"qx.slow_sql_threshold": 0,
                                                              "qx.max_functions": 5000})
        off_port = qxharness.free_port()
        plain, plain_out = start_plain_server(site, off_port)

        # Warm-up: the worker's connection to the aggregator, the compiled script.
        page = "/bench.php?mode=page"
        for port in (on_port, off_port, internal_port, reported_port, zero_port):
            for _ in range(20):
                latency_us(port)
                get(port, page)
            loop_ns_per_call(port, "unlisted", 1000)
            loop_ns_per_call(port, "sql", 100)
        if get(off_port, page) != get(on_port, page):
            raise RuntimeError("the page differs with the extension")

        # The page: per round, each configuration next to the server without
        # the extension. Not registered is the same server with the
        # registration byte at 0.
        # One configuration after the other; within one, the pair's order
        # alternates between rounds, so that neither side always runs right
        # after the other.
        # Two server processes running the same code differ by a few percent
        # (where their memory lies, how it maps to the caches): each set of
        # servers is started again several times, and the ratios of all of
        # them make the median.
        page_cpu = {name: [] for name in TARGET_PAGE}
        page_plain = {name: [] for name in TARGET_PAGE}
        for generation in range(args.page_servers):
            if generation > 0:
                site.stop_server()
                zero_site.stop_server()
                qxharness.stop_process(plain)
                plain_out.close()
                on_port = site.start_server(overrides=OPCACHE)
                zero_port = zero_site.start_server(overrides=dict(OPCACHE, **{"qx.slow_function_threshold": 0}))
                off_port = qxharness.free_port()
                plain, plain_out = start_plain_server(site, off_port)
                site.set_registered(1)
                for port in (on_port, zero_port, off_port):
                    for _ in range(20):
                        get(port, page)
            configurations = (("loaded, not registered", 0, on_port), ("collecting, default threshold", 1, on_port),
                              ("collecting, threshold 0", 1, zero_port))
            for name, registered, port in configurations:
                site.set_registered(registered)
                for _ in range(5):  # the first requests after the switch settle the state
                    get(port, page)
                for round_number in range(args.page_rounds):
                    pair = [(page_plain[name], off_port), (page_cpu[name], port)]
                    for figures, measured in (pair if round_number % 2 == 0 else reversed(pair)):
                        figures.append(cpu_us_per_request(measured, args.page_batch, page))
        site.set_registered(1)
        blocks_before = sum(1 for r in site.records() if r.get("record") == "blockEnd")

        unlisted = {"off": [], "on": []}
        work = {"off": [], "on": []}
        internal_only = {"off": [], "on": []}
        listed_on = []
        # The same query: without the extension, with it but the query not
        # listed, listed (faster than qx.slow_sql_threshold), listed and reported.
        sql = {"off": [], "unlisted": [], "listed": [], "reported": []}
        queries = min(args.queries, 4000)
        for _ in range(args.loops):
            sql["off"].append(loop_ns_per_call(off_port, "sql", queries))
            sql["unlisted"].append(loop_ns_per_call(internal_port, "sql", queries))
            sql["listed"].append(loop_ns_per_call(on_port, "sql", queries))
            sql["reported"].append(loop_ns_per_call(reported_port, "sql", queries))
            internal_only["off"].append(loop_ns_per_call(off_port, "unlisted", args.calls))
            internal_only["on"].append(loop_ns_per_call(internal_port, "unlisted", args.calls))
            unlisted["off"].append(loop_ns_per_call(off_port, "unlisted", args.calls))
            unlisted["on"].append(loop_ns_per_call(on_port, "unlisted", args.calls))
            listed_on.append(loop_ns_per_call(on_port, "listed", args.calls))
            work["off"].append(loop_ns_per_call(off_port, "work", args.calls // 4))
            work["on"].append(loop_ns_per_call(on_port, "work", args.calls // 4))

        fixed = {"off": [], "on": []}
        for _ in range(args.requests):
            fixed["off"].append(latency_us(off_port))
            fixed["on"].append(latency_us(on_port))
        # The same server with collection switched off by the registration
        # byte: what remains between the two is exactly the work of a collected
        # request (activation, deactivation, encoding, the send), free of the
        # differences between two server processes.
        same_server = {"off": [], "on": []}
        batches = max(1, args.requests // 50)
        for _ in range(batches):
            site.set_registered(0)
            same_server["off"].append(cpu_us_per_request(on_port, 50))
            site.set_registered(1)
            same_server["on"].append(cpu_us_per_request(on_port, 50))

        time.sleep(0.5)
        blocks = sum(1 for r in site.records() if r.get("record") == "blockEnd") - blocks_before
    finally:
        if plain is not None:
            qxharness.stop_process(plain)
            plain_out.close()
        reported_site.close()
        internal_site.close()
        zero_site.close()
        site.close()

    def paired_ratio(pairs):
        return statistics.median(on / off for off, on in zip(pairs["off"], pairs["on"]))

    u_off = statistics.median(unlisted["off"])
    u_on = statistics.median(unlisted["on"])
    l_on = statistics.median(listed_on)
    w_off = statistics.median(work["off"])
    w_on = statistics.median(work["on"])
    f_off = statistics.median(fixed["off"])
    f_on = statistics.median(fixed["on"])

    unlisted_ratio = paired_ratio(unlisted)
    work_ratio = paired_ratio(work)
    internal_ratio = paired_ratio(internal_only)
    i_off = statistics.median(internal_only["off"])
    i_on = statistics.median(internal_only["on"])
    listed_extra_us = statistics.median(l - u for l, u in zip(listed_on, unlisted["on"])) / 1000.0
    fixed_extra_us = statistics.median(on - off for off, on in zip(fixed["off"], fixed["on"]))
    collected_extra_us = statistics.median(on - off for off, on in
                                           zip(same_server["off"], same_server["on"]))

    def verdict(ok):
        return "met" if ok else "MISSED"

    print("Quillet overhead, PHP %s, %d calls per loop, medians of %d loops and %d requests"
          % (subprocess.run([site.php, "-r", "echo PHP_VERSION;"], capture_output=True, text=True).stdout,
             args.calls, args.loops, args.requests))
    expected = args.loops * 4 + args.requests + batches * 52
    print("blocks received by the aggregator during the measurement: %d of %d requests" % (blocks, expected))
    if blocks < expected:
        print("WARNING: not every request was collected (was the registration block removed meanwhile?);"
              " the figures understate the cost")
    print()
    print("%-48s %12s %12s %10s" % ("median", "without", "with", "ratio"))
    print("%-48s %9.1f ns %9.1f ns %9.3fx" % ("unlisted call, ten user functions listed", u_off, u_on, unlisted_ratio))
    print("%-48s %9.1f ns %9.1f ns %9.3fx" % ("unlisted call with some work (3 internal calls)", w_off, w_on, work_ratio))
    print("%-48s %9.1f ns %9.1f ns %9.3fx" % ("unlisted call, only internal functions listed", i_off, i_on,
                                                internal_ratio))
    print("%-48s %12s %9.1f ns %9.3fx" % ("listed fast call (vs unlisted, same server)", "", l_on, l_on / u_on))
    print("%-48s %9.1f us %9.1f us %9.3fx" % ("request without calls (client latency)", f_off, f_on, f_on / f_off))
    cpu_off = statistics.median(same_server["off"])
    cpu_on = statistics.median(same_server["on"])
    print("%-48s %9.1f us %9.1f us %9.3fx" % ("server CPU per request (not collected/collected)",
                                                cpu_off, cpu_on, cpu_on / cpu_off))
    sql_med = {k: statistics.median(v) for k, v in sql.items()}
    for label, key in (("database query, no extension", "off"), ("database query, not listed", "unlisted"),
                       ("database query, listed (below threshold)", "listed"),
                       ("database query, listed and reported", "reported")):
        print("%-48s %12s %9.1f ns %9.3fx" % (label, "", sql_med[key], sql_med[key] / sql_med["off"]))
    print()
    listed_sql_us = statistics.median(l - u for l, u in zip(sql["listed"], sql["unlisted"])) / 1000.0
    reported_sql_us = statistics.median(r - u for r, u in zip(sql["reported"], sql["unlisted"])) / 1000.0
    print("listed database call: %+.3f us per call below the threshold, %+.3f us when reported"
          " (over the same query not listed)" % (listed_sql_us, reported_sql_us))
    print("page (a few thousand calls, 19 of them listed), server CPU per request, medians of %d batches of %d"
          " on %d sets of servers:" % (args.page_rounds * args.page_servers, args.page_batch, args.page_servers))
    print("%-48s %12s %12s %10s" % ("", "without", "with", "ratio"))
    for name, target in TARGET_PAGE.items():
        ratio = statistics.median(on / off for off, on in zip(page_plain[name], page_cpu[name]))
        print("%-48s %9.1f us %9.1f us %9.3fx  (target at most %+.0f%%: %s)"
              % (name, statistics.median(page_plain[name]), statistics.median(page_cpu[name]), ratio,
                 (target - 1) * 100, verdict(ratio <= target)))
    if args.instructions and shutil.which("valgrind"):
        plain_ir = page_instructions(build, 0, False)
        print("%-48s %12.0f" % ("page instructions, without the extension", plain_ir))
        # Under callgrind the page runs some fifty times slower, and calls
        # that take far less than the default threshold in real time would
        # pass it: the default threshold's row keeps no call, as in real time.
        for name, registered, settings in (("loaded, not registered", 0, None),
                                           ("collecting, default threshold", 1,
                                            {"qx.slow_function_threshold": 1000000}),
                                           ("collecting, threshold 0", 1, {"qx.slow_function_threshold": 0})):
            ir = page_instructions(build, registered, True, settings)
            print("%-48s %12.0f %+10.2f%%" % ("page instructions, " + name, ir, (ir / plain_ir - 1) * 100))
    print()
    print("unlisted calls: %+.2f%%, %+.1f ns per call (target at most +2%%: %s); with some work: %+.2f%%"
          % ((unlisted_ratio - 1) * 100, u_on - u_off, verdict(unlisted_ratio <= TARGET_UNLISTED_RATIO),
             (work_ratio - 1) * 100))
    print("unlisted calls when no user function is listed: %+.2f%% (target at most +2%%: %s)"
          % ((internal_ratio - 1) * 100, verdict(internal_ratio <= TARGET_UNLISTED_RATIO)))
    print("listed fast call: %+.3f us per call over an unlisted one (target under 1 us: %s)"
          % (listed_extra_us, verdict(listed_extra_us < TARGET_LISTED_EXTRA_US)))
    print("collected request: %+.1f us server CPU per request, same server collecting vs not"
          " (target under 100 us: %s)"
          % (collected_extra_us, verdict(collected_extra_us < TARGET_FIXED_US)))
    print("client latency against a server without the extension: %+.1f us (two server processes and"
          " the machine's wake-up delays show here too)" % fixed_extra_us)
    return 0


if __name__ == "__main__":
    sys.exit(main())
