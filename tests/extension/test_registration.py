"""Collection is gated on the registration block "QX_PHPAgent", and a missing
or failing aggregator never harms the page: every request is served with its
normal output and status, and the log says why it was not collected or sent."""

import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402

PAGE = "<?php http_response_code(202); echo 'page ', $_GET['n'] ?? '-';"


class StallingPeer:
    """Accepts connections and never answers."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.conns = []
        self.stopped = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stopped:
            try:
                conn, _ = self.sock.accept()
                self.conns.append(conn)
            except OSError:
                return

    def close(self):
        self.stopped = True
        for c in self.conns:
            c.close()
        self.sock.close()


class RegistrationTest(unittest.TestCase):

    def setUp(self):
        self.site = qxharness.QuilletSite()
        self.addCleanup(self.site.close)
        self.site.remove_block()
        self.site.write_script("page.php", PAGE)

    def serve(self, n):
        status, body, _ = self.site.request("/page.php?n=%s" % n)
        self.assertEqual(202, status, self.site.diagnostics())
        self.assertEqual("page %s" % n, body)

    def test_no_block_means_nothing_collected_and_retried_each_request(self):
        self.site.start_server()
        self.serve(1)
        self.serve(2)
        self.assertTrue(self.site.wait_log("Rshutdown is called", count=2), self.site.diagnostics())
        log = self.site.read_log()
        self.assertEqual(2, log.count("[DBG1] Failed to create shared memory:"), log)
        self.assertEqual(2, log.count("[DBG1] Extension is disabled"), log)
        self.assertEqual(2, log.count("[DBG1] Quillet is disabled"), log)
        self.assertNotIn("Registration is OK", log)
        # The block appears: the next request opens it.
        self.site.write_block(registered=0)
        self.serve(3)
        self.assertTrue(self.site.wait_log("Registration is NOT done yet, collection is disabled for this request"),
                        self.site.diagnostics())

    def test_unregistered_block_then_registration_turns_collection_on(self):
        self.site.write_block(registered=0)
        self.site.start_server(overrides={"qx.events_channel_port": qxharness.free_port()})
        self.serve(1)
        self.assertTrue(self.site.wait_log("Quillet is disabled"), self.site.diagnostics())
        log = self.site.read_log()
        self.assertIn("[DBG1] Registration is NOT done yet, collection is disabled for this request", log)
        self.assertNotIn("Collected HTTP Start Event", log)
        self.assertNotIn("handshake", log.lower())
        # The daemon registers: the byte is read live at every request.
        self.site.set_registered(1)
        self.serve(2)
        self.assertTrue(self.site.wait_log("Collected HTTP End Event"), self.site.diagnostics())
        self.assertIn("[DBG1] Registration is OK, enabling collection", self.site.read_log())

    def test_short_block_is_not_read_until_it_has_its_full_size(self):
        self.site.write_block(registered=1, size=100)
        self.site.start_server(overrides={"qx.events_channel_port": qxharness.free_port()})
        self.serve(1)
        self.serve(2)
        self.assertTrue(self.site.wait_log("Rshutdown is called", count=2), self.site.diagnostics())
        log = self.site.read_log()
        self.assertEqual(2, log.count("Failed to create shared memory:"), log)
        self.assertNotIn("Registration is OK", log)
        self.site.write_block(registered=1)
        self.serve(3)
        self.assertTrue(self.site.wait_log("Registration is OK, enabling collection"), self.site.diagnostics())

    def test_block_cut_short_after_it_was_opened_is_not_read(self):
        self.site.write_block(registered=1)
        self.site.start_server(overrides={"qx.events_channel_port": qxharness.free_port()})
        self.serve(1)
        self.assertTrue(self.site.wait_log("Registration is OK"), self.site.diagnostics())
        os.truncate(qxharness.BLOCK_PATH, 10)
        self.serve(2)
        self.serve(3)
        self.assertTrue(self.site.wait_log("Rshutdown is called", count=3), self.site.diagnostics())
        self.assertEqual(2, self.site.read_log().count("Registration block is not readable"), self.site.diagnostics())
        self.assertEqual(1, self.site.read_log().count("Registration is OK"))

    def test_aggregator_refusing_logs_the_handshake_failure_when_it_starts(self):
        port = qxharness.free_port()  # nothing listens there
        self.site.write_block(registered=1)
        self.site.start_server(overrides={"qx.events_channel_port": port})
        self.serve(1)
        self.serve(2)
        self.serve(3)
        self.assertTrue(self.site.wait_log("Collected HTTP End Event", count=3), self.site.diagnostics())
        # Every request fails alike: its repeats within the interval are not logged.
        errors = self.site.log_lines("[ERROR]")
        self.assertEqual(1, sum("Failed to handshake with PA!" in l for l in errors), errors)
        self.assertEqual(1, sum(l.endswith("[ERROR] 127.0.0.1 : %d" % port) for l in errors), errors)
        # Nothing is sent without a handshake, and nothing else fails.
        self.assertNotIn("Failed to report events", self.site.read_log())

    def test_aggregator_stalling_delays_but_never_breaks_the_page(self):
        peer = StallingPeer()
        self.addCleanup(peer.close)
        self.site.write_block(registered=1)
        self.site.start_server(overrides={"qx.events_channel_port": peer.port})
        started = time.monotonic()
        self.serve(1)
        self.assertLess(time.monotonic() - started, 10.0)
        self.assertTrue(self.site.wait_log("Failed to handshake with PA!"), self.site.diagnostics())

    def test_aggregator_address_that_is_no_address(self):
        self.site.write_block(registered=1)
        self.site.start_server(overrides={"qx.events_channel_ip": "no-such-host.invalid",
                                          "qx.events_channel_port": "-5"})
        self.serve(1)
        self.assertTrue(self.site.wait_log("Failed to handshake with PA!"), self.site.diagnostics())
        self.assertIn("[WARNING] Directive qx.events_channel_port: -5 is not a TCP port", self.site.read_log())

    def test_cli_never_touches_the_block(self):
        self.site.write_block(registered=1)
        open(self.site.log_file, "a").close()  # the command line creates no log
        proc = self.site.run_php("echo 'cli';")
        self.assertEqual("cli", proc.stdout)
        log = self.site.read_log()
        self.assertNotIn("PHP Rinit Called", log)
        self.assertNotIn("Registration", log)


if __name__ == "__main__":
    qxharness.run_tests()
