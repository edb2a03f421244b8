"""An aggregator that accepts connections but never answers: the first
collected request pays the channel's time limit once; the next ones, during
the pause that follows such a slow failure, are served without waiting for
it, and only the first of them is logged. The worker keeps serving every
request."""

import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402


class SilentAggregatorTest(unittest.TestCase):

    def test_requests_after_a_slow_failed_handshake_do_not_wait_for_it(self):
        # Listening but never accepting: the kernel completes the connection,
        # nothing is ever sent back.
        silent = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen(64)
        port = silent.getsockname()[1]

        site = qxharness.QuilletSite()
        self.addCleanup(site.close)
        with open(os.path.join(site.docroot, "index.php"), "w") as f:
            f.write("<?php echo 'served';")
        site.write_block()
        site.start_server(overrides={"qx.events_channel_port": port})

        durations = []
        for _ in range(4):
            start = time.monotonic()
            status, body, _ = site.request("/index.php", timeout=10)
            durations.append(time.monotonic() - start)
            self.assertEqual((200, "served"), (status, body), site.diagnostics())

        # The time-out and the first request not tried are logged; the
        # requests not tried after it, within the interval, are not.
        failures = [l for l in site.log_lines("[ERROR]") if "Failed to handshake with PA!" in l]
        self.assertEqual(2, len(failures), site.diagnostics())
        self.assertNotIn("Not tried", failures[0])
        self.assertIn("Not tried", failures[1], site.diagnostics())
        # The first request waited for the identification; the others did not.
        self.assertGreaterEqual(durations[0], 0.4, durations)
        for d in durations[1:]:
            self.assertLess(d, 0.3, (durations, site.diagnostics()))


if __name__ == "__main__":
    qxharness.run_tests()
