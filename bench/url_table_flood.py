#!/usr/bin/python3
"""What a client that aims its paths at one bucket of the URL table costs
each request, against the same server without the extension.

The bucket of a path is a public function of its bytes (libstdc++'s
std::hash of the table's key, modulo 503), so paths that all land in one
bucket are computed offline. They are 8,000 bytes long; their first 1,024
bytes (the longest key the table stores) differ in their last eight. The
bucket is filled first, then three kinds of request are measured, each a
batch of new requests to a `php -S` with the extension collecting and to one
without it, interleaved:
- new: a path of the full bucket that is not in the table;
- known: the path stored last in that bucket (the whole chain is walked);
- other: a new path of the same length in some other bucket.
Cost is the server's own CPU time (/proc/<pid>/task/*/schedstat) per
request; figures are medians over the rounds of the difference with the
server without the extension.

Usage (from the repository, after building into <build>):
    /usr/bin/python3 bench/url_table_flood.py --build build
"""

import argparse
import glob
import os
import statistics
import subprocess
import sys
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "extension"))
import qxharness  # noqa: E402

MUL = (0xC6A4A793 << 32) + 0x5BD1E995
MASK = (1 << 64) - 1
SEED = 0xC70F6907
BUCKETS = 503
KEY_BYTES = 1024
PATH_BYTES = 8000


def shift_mix(v):
    return v ^ (v >> 47)


def mix_block(h, block):
    data = (shift_mix((int.from_bytes(block, "little") * MUL) & MASK) * MUL) & MASK
    return ((h ^ data) * MUL) & MASK


def aimed_keys(count, key_bytes=KEY_BYTES):
    """`count` keys of `key_bytes` bytes that share one bucket: the hash of a
    fixed prefix is computed once, each candidate adds its last block."""
    prefix = b"/index.php/" + b"a" * (key_bytes - 8 - len("/index.php/"))
    h = (SEED ^ (key_bytes * MUL)) & MASK
    for i in range(0, len(prefix), 8):
        h = mix_block(h, prefix[i:i + 8])
    keys, target, n = [], None, 0
    while len(keys) < count:
        tail = b"%08x" % n
        n += 1
        g = mix_block(h, tail)
        g = shift_mix((shift_mix(g) * MUL) & MASK)
        bucket = (g & 0xFFFFFFFF) % BUCKETS
        if target is None:
            target = bucket
        if bucket == target:
            keys.append((prefix + tail).decode())
    return keys, target


def cpu_ns(pid):
    total = 0
    for stat in glob.glob("/proc/%d/task/*/schedstat" % pid):
        with open(stat) as f:
            total += int(f.read().split()[0])
    return total


def get(port, path):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=30) as r:
        r.read()


def batch_us(site, paths):
    pid = site.server.pid
    before = cpu_ns(pid)
    for p in paths:
        get(site.server_port, p)
    return (cpu_ns(pid) - before) / 1000.0 / len(paths)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--extension", help="another build's Quillet.so, for a comparison")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--batch", type=int, default=20)
    parser.add_argument("--fill", type=int, default=100, help="aimed paths sent before measuring")
    parser.add_argument("--key-bytes", type=int, default=KEY_BYTES,
                        help="bytes of a path that make its key (%d; %d, the whole path, for a build that "
                             "stores whole paths)" % (KEY_BYTES, PATH_BYTES))
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    fill = args.fill
    keys, bucket = aimed_keys(fill + args.rounds * args.batch, args.key_bytes)
    pad = lambda key: key + ("/" + "z" * (PATH_BYTES - len(key) - 1) if len(key) < PATH_BYTES else "")  # noqa: E731

    sites = {}
    try:
        for name, load in (("with", True), ("without", False)):
            site = qxharness.QuilletSite(build_dir=build, log_level=1)
            if args.extension:
                site.extension = os.path.abspath(args.extension)
            sites[name] = site
            # A front controller reads its path: $_SERVER is built with or
            # without the extension.
            site.write_script("index.php", "<?php echo $_SERVER['REQUEST_URI'] === '' ? '' : 'ok';")
            if load:
                site.start_aggregator()
                site.write_block()
                site.start_server()
            else:
                site.server_port = qxharness.free_port()
                site.server = subprocess.Popen(site.server_command(site.server_port, load_extension=False),
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                               start_new_session=True, cwd=site.root)
                qxharness.wait_for_port(site.server_port, 10, site.server)
        for site in sites.values():
            for key in keys[:fill]:
                get(site.server_port, pad(key))
        table = os.path.join(sites["with"].install_dir, "tmp", "zshm_UrlTableShm")
        stored = [k for k in keys[:fill] if k.encode() in open(table, "rb").read()]
        print("bucket %d: %d of %d aimed paths stored" % (bucket, len(stored), fill))
        last_known = pad(stored[-1])

        results = {"new": [], "known": [], "other": []}
        fresh = iter(keys[fill:])
        other = iter(range(10 ** 9))
        for _ in range(args.rounds):
            kinds = {
                "new": [pad(next(fresh)) for _ in range(args.batch)],
                "known": [last_known] * args.batch,
                "other": [pad("/index.php/other-%d" % next(other)) for _ in range(args.batch)],
            }
            for kind, paths in kinds.items():
                with_us = batch_us(sites["with"], paths)
                without_us = batch_us(sites["without"], paths)
                results[kind].append((with_us, without_us))
        for kind, pairs in results.items():
            print("%-6s with %7.1f us  without %7.1f us  extra %7.1f us (medians over %d rounds of %d)"
                  % (kind, statistics.median(p[0] for p in pairs), statistics.median(p[1] for p in pairs),
                     statistics.median(p[0] - p[1] for p in pairs), args.rounds, args.batch))
    finally:
        for site in sites.values():
            site.close()


if __name__ == "__main__":
    main()
