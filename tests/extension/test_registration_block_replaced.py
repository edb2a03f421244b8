"""agent-daemon stopped removes the registration block; started again it makes
a new one. Workers that had opened the old block notice at their next request
that it is gone, collect nothing while no block exists, and collect again once
the new one says registered, without a restart of the web server."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402

WORKERS = 2


class RegistrationBlockReplacedTest(unittest.TestCase):

    def setUp(self):
        self.site = qxharness.QuilletSite()
        self.addCleanup(self.site.close)
        self.site.write_script("pid.php", "<?php echo getmypid();")
        self.site.start_aggregator()

    def serve_each_worker(self, limit=80):
        """Requests until every worker answered; returns the number of requests."""
        pids = set()
        made = 0
        while len(pids) < WORKERS and made < limit:
            status, body, _ = self.site.request("/pid.php")
            self.assertEqual(200, status, self.site.diagnostics())
            pids.add(body.strip())
            made += 1
        self.assertEqual(WORKERS, len(pids), self.site.diagnostics())
        return made

    def assert_collected(self, before, made):
        blocks = self.site.wait_blocks(before + made)
        self.assertEqual(before + made, len(blocks), self.site.diagnostics())
        return len(blocks)

    def assert_nothing_collected(self, before):
        for _ in range(4):
            self.assertEqual(200, self.site.request("/pid.php")[0])
        time.sleep(0.5)
        self.assertEqual(before, len(self.site.blocks()), self.site.diagnostics())

    def test_workers_follow_the_block_across_a_daemon_restart(self):
        site = self.site
        site.write_block(registered=1)
        site.start_server(workers=WORKERS)
        count = self.assert_collected(0, self.serve_each_worker())

        # The daemon stops: registration byte back to zero, block removed.
        site.set_registered(0)
        site.remove_block()
        self.assert_nothing_collected(count)

        # Started again: a new block, registered. Every worker collects.
        site.write_block(registered=1)
        count = self.assert_collected(count, self.serve_each_worker())

        # A block removed while it still says registered is not read either.
        site.remove_block()
        self.assert_nothing_collected(count)
        self.assertEqual([], site.log_lines("[ERROR]"), site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
