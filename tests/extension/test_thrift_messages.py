"""No aggregator listens: every collected request fails to connect. The
event channel's library writes nothing to the server's standard error (its
error log under a real server); its message goes to the extension's log,
limited like the probe's own failure lines."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402


def thrift_lines(text):
    return [l for l in text.splitlines() if "Thrift:" in l]


class ThriftMessagesTest(unittest.TestCase):

    def setUp(self):
        self.site = qxharness.QuilletSite()
        self.addCleanup(self.site.close)
        self.site.write_script("index.php", "<?php echo 'served';")
        self.site.write_block()
        self.port = qxharness.free_port()  # nobody listens there

    def test_one_worker_logs_the_first_message_only(self):
        site = self.site
        site.start_server(overrides={"qx.events_channel_port": self.port})
        for _ in range(6):
            status, body, _ = site.request("/index.php")
            self.assertEqual((200, "served"), (status, body), site.diagnostics())
        self.assertTrue(site.wait_log("Failed to handshake with PA!"), site.diagnostics())

        self.assertEqual([], thrift_lines(site.server_output()), site.diagnostics())
        logged = thrift_lines(site.read_log())
        self.assertEqual(1, len(logged), site.diagnostics())
        self.assertIn(" [DBG1] Thrift: TSocket::open() ", logged[0])
        self.assertIn("<Host: 127.0.0.1 Port: %d>: Connection refused" % self.port, logged[0])

    def test_each_process_of_a_start_up_and_one_request(self):
        for _ in range(3):
            run = self.site.run_cgi("index.php", overrides={"qx.events_channel_port": self.port})
            self.assertIn(b"served", run.stdout, run.stderr)
            self.assertEqual([], thrift_lines(run.stderr.decode("utf-8", "replace")))
        self.assertEqual(3, len(thrift_lines(self.site.read_log())), self.site.read_log())


if __name__ == "__main__":
    qxharness.run_tests()
