"""The engine prints errno in some warnings without setting it first (the
plain wrapper refusing to include a folder): whatever the probe does on the
request's thread must leave errno as the script's own code left it."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

SCRIPTS = {
    # php -S looks for a missing page's file (ENOENT) before it serves
    # index.php in its place: the script begins with that errno.
    "index.php": "<?php include __DIR__;",
    # mkdir's own handler leaves EEXIST; usleep's leaves errno alone.
    "after_calls.php": "<?php @mkdir(__DIR__); usleep(1); include __DIR__;",
}


class ScriptErrnoTest(unittest.TestCase):

    def site(self, points=""):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        site.start(points, SCRIPTS, {"qx.slow_function_threshold": 0})
        return site

    def test_request_start_leaves_errno_alone(self):
        # The worker's first collected request connects to the aggregator
        # (a non-blocking connect: EINPROGRESS) before the script runs.
        site = self.site()
        status, body, _ = site.block_for("/no-such-page")
        self.assertEqual(200, status)
        self.assertIn("Failed to open stream: No such file or directory", body, site.diagnostics())

    def test_wrapped_calls_leave_errno_as_their_own_handlers_left_it(self):
        site = self.site("[m]\nmethod=mkdir\nlayer=FS\n[u]\nmethod=usleep\nlayer=FS\n")
        status, body, block = site.block_for("/after_calls.php")
        self.assertEqual(200, status)
        self.assertIn("Failed to open stream: File exists", body, site.diagnostics())
        self.assertEqual(["mkdir", "usleep"], block.names())


if __name__ == "__main__":
    qxharness.run_tests()
