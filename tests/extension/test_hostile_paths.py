"""What a client reaches with the request path alone: thousands of distinct,
long paths to a front controller. The unique-URI limit must not switch
collection off for the paths already known, and a worker must not keep a
copy of every long path it saw."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402

PATHS = 3000
PATH_BYTES = 8192
# What the probe may add to a worker's growth over all the requests (about
# 20 MB when every path was kept whole).
MAX_GROWTH_KB = 6 * 1024
# A front controller reads its path. `php -S` itself keeps some memory for
# each request whose $_SERVER is built (as the probe builds it too), so the
# growth is measured against the same server without the extension.
SCRIPT = "<?php echo $_SERVER['REQUEST_URI'] === '' ? '' : 'ok';"


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for %d" % pid)


class HostilePathsTest(unittest.TestCase):

    def growth_kb(self, site):
        for _ in range(20):
            self.assertEqual(200, site.request("/index.php")[0])
        before = rss_kb(site.server.pid)
        for i in range(PATHS):
            path = "/index.php/%d/" % i
            path += "x" * (PATH_BYTES - len(path))
            self.assertEqual(200, site.request(path)[0])
        return before, rss_kb(site.server.pid) - before

    def test_distinct_long_paths_neither_stop_collection_nor_grow_the_worker(self):
        plain = qxharness.QuilletSite(log_level=1)
        self.addCleanup(plain.close)
        plain.write_script("index.php", SCRIPT)
        plain.server_port = qxharness.free_port()
        plain.server = subprocess.Popen(plain.server_command(plain.server_port, load_extension=False),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        start_new_session=True, cwd=plain.root)
        self.assertTrue(qxharness.wait_for_port(plain.server_port, 10, plain.server))
        plain_before, plain_grown = self.growth_kb(plain)

        site = qxharness.QuilletSite(log_level=1)
        self.addCleanup(site.close)
        site.write_script("index.php", SCRIPT)
        site.start_aggregator()
        site.write_block()
        site.start_server()
        before, grown = self.growth_kb(site)
        print("worker RSS after %d paths of %d bytes: without the extension %d kB, grown by %d kB; "
              "with it %d kB, grown by %d kB" % (PATHS, PATH_BYTES, plain_before, plain_grown, before, grown))
        self.assertLess(grown - plain_grown, MAX_GROWTH_KB)

        # A known path is still collected, past the limit.
        self.assertEqual(200, site.request("/index.php")[0])
        warning = "[WARNING] The URL table holds qx.max_uris = 1000 collapsed paths:"
        self.assertTrue(site.wait_log(warning), site.diagnostics())
        self.assertEqual(1, site.read_log().count(warning))

        def collected(blocks):
            return [b.text(e["uriToken"]) or "" for b in blocks for e in b.events if "uriToken" in e]

        def index_count(records):
            return collected(qxharness.blocks_from_records(records)).count("/index.php")

        # 20 openings and ends before, one of each after.
        self.assertTrue(site.wait_records(lambda rs: index_count(rs) >= 42), site.diagnostics())
        uris = collected(site.blocks())
        self.assertLessEqual(max(len(u.encode()) for u in uris), 1024)
        self.assertLessEqual(len(set(uris)), 1001 + 1)


if __name__ == "__main__":
    unittest.main()
