"""Anyone on the machine can put a FIFO under the registration block's name
while agent-daemon is not running. Opening it the ordinary way waits for a
writer that never comes: every request of the site would hang. A worker opens
the block without blocking and uses it only when it is a regular file; the
request is served and not collected, and a later request tries again."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402

# Well below the harness's default: a hang shows as a time-out.
TIMEOUT = 8


def remove_fifo():
    try:
        if not os.path.isfile(qxharness.BLOCK_PATH):
            os.unlink(qxharness.BLOCK_PATH)
    except FileNotFoundError:
        pass


class RegistrationBlockNotAFileTest(unittest.TestCase):

    def setUp(self):
        self.site = qxharness.QuilletSite()
        self.addCleanup(self.site.close)
        self.addCleanup(remove_fifo)
        self.site.write_script("index.php", "<?php echo 'served';")
        self.site.start_aggregator()

    def replace_block_by_fifo(self):
        self.site.remove_block()
        os.mkfifo(qxharness.BLOCK_PATH, 0o666)

    def test_fifo_at_start_up_and_in_place_of_a_held_block(self):
        site = self.site
        # A process that starts while the name is a FIFO (php-cgi: start-up,
        # one request, shutdown).
        self.replace_block_by_fifo()
        proc = site.run_cgi("index.php", timeout=TIMEOUT)
        self.assertEqual(0, proc.returncode, proc.stderr)
        self.assertTrue(proc.stdout.endswith(b"served"), proc.stdout)
        self.assertTrue(site.wait_log("is not a regular file", timeout=1), site.diagnostics())
        remove_fifo()

        # A long-lived worker holding a registered block that is replaced by
        # a FIFO.
        site.write_block(registered=1)
        site.start_server()
        self.assertEqual((200, "served"), site.request("/index.php", timeout=TIMEOUT)[:2])
        self.assertEqual(1, len(site.wait_blocks(1)), site.diagnostics())
        self.replace_block_by_fifo()
        for _ in range(2):
            self.assertEqual((200, "served"), site.request("/index.php", timeout=TIMEOUT)[:2])
        time.sleep(0.5)
        self.assertEqual(1, len(site.blocks()), site.diagnostics())

        # A regular block under the name again: collected again.
        remove_fifo()
        site.write_block(registered=1)
        self.assertEqual((200, "served"), site.request("/index.php", timeout=TIMEOUT)[:2])
        self.assertEqual(2, len(site.wait_blocks(2)), site.diagnostics())
        self.assertEqual([], site.log_lines("[ERROR]"), site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
