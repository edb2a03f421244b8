"""Compiled code from opcache's file cache: whether a user function is timed
follows the point files of the running server, not those of the server that
compiled and cached the code."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

# Not trivial enough for opcache's optimiser to inline.
SCRIPTS = {"both.php": "<?php function first($n) { return $n + 1; } function second($n) { return $n * 2; }"
                       " echo second(first(count($_GET)));"}


def points(name):
    return "[p]\nmethod=%s\nlayer=App\n" % name


class OpcacheFileCacheTest(unittest.TestCase):

    def test_restart_with_changed_point_file_follows_the_new_point_file(self):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        cache = os.path.join(site.root, "opcache")
        os.makedirs(cache)
        settings = {"qx.slow_function_threshold": 0, "zend_extension": "opcache", "opcache.enable": 1,
                    "opcache.file_cache": cache, "opcache.file_cache_only": 1,
                    # The scripts were just written; opcache skips files younger than this.
                    "opcache.file_update_protection": 0}
        site.start(points("first"), SCRIPTS, settings)
        _, body, block = site.block_for("/both.php")
        self.assertEqual("2", body)
        self.assertEqual(["first"], block.names(), site.diagnostics())
        cached = [f for _, _, files in os.walk(cache) for f in files]
        self.assertTrue(cached, "opcache wrote no file cache\n" + site.diagnostics())

        site.stop_server()
        site.write_point_file(points("second"))
        site.start_server(overrides=settings)
        for _ in range(2):
            _, body, block = site.block_for("/both.php")
            self.assertEqual("2", body)
            self.assertEqual(["second"], block.names(), site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
