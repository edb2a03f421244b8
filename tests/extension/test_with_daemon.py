"""The whole system: agent-daemon registers against the stand-in aggregator,
which opens collection in the web server's workers; when the daemon stops it
withdraws the registration and collection stops."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402


class WithDaemonTest(unittest.TestCase):

    def setUp(self):
        self.site = qxharness.QuilletSite()
        self.addCleanup(self.site.close)
        self.daemon = os.path.join(self.site.build_dir, "daemon", "agent-daemon")
        if not os.access(self.daemon, os.X_OK):
            self.skipTest("agent-daemon is not built")
        self.site.remove_block()
        self.site.write_script("page.php", "<?php echo 'page';")
        # The block is the daemon's to write and remove; still remove it at the end.
        self.site.block_written = True

    def start_daemon(self, registration_port):
        with open(os.path.join(self.site.install_dir, "etc", "qx-daemon.ini"), "w") as f:
            f.write("[daemon]\n"
                    "log_file=%s\n"
                    "log_level=3\n"
                    "probe_name=E2EProbe\n"
                    "register_url=http://127.0.0.1:%d/commander/registrar/register\n"
                    "health_check_url=http://127.0.0.1:%d/page.php\n"
                    "retry_interval=1\n" % (os.path.join(self.site.root, "daemon.log"),
                                            registration_port, self.site.server_port))
        proc = subprocess.Popen([self.daemon, "--path", self.site.install_dir],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        self.addCleanup(qxharness.stop_process, proc)
        return proc

    def registered(self):
        try:
            with open(qxharness.BLOCK_PATH, "rb") as f:
                return f.read(1) == b"\x01"
        except FileNotFoundError:
            return False

    def test_daemon_registration_opens_and_closes_collection(self):
        self.site.start_aggregator(extra_args=["--http-port", "0"])
        registration = [r for r in self.site.records()
                        if r.get("record") == "listening" and r.get("service") == "registration"]
        if not registration:
            records = self.site.wait_records(
                lambda rs: any(r.get("service") == "registration" for r in rs), 5)
            registration = [r for r in records if r.get("service") == "registration"]
        self.assertTrue(registration, self.site.diagnostics())
        self.site.start_server()
        daemon = self.start_daemon(registration[0]["port"])

        deadline = qxharness.time.monotonic() + 20
        while not self.registered() and qxharness.time.monotonic() < deadline:
            qxharness.time.sleep(0.1)
        self.assertTrue(self.registered(), self.site.diagnostics())

        self.assertEqual(200, self.site.request("/page.php?after=registration")[0])
        blocks = self.site.wait_blocks(1)
        after = [b for b in blocks if b.attribute("HTTP_query") == "after=registration"]
        if not after:
            self.fail("no block after registration\n" + self.site.diagnostics())
        hs = self.site.handshakes()[-1]
        self.assertEqual("E2EProbe", hs["probeName"])
        self.assertTrue(hs["probeOID"].startswith("E2EProbe."), hs)

        # The daemon stops: it withdraws the registration; the worker that had
        # the block open reads the withdrawn flag and collects nothing more.
        daemon.terminate()
        daemon.wait(10)
        self.assertFalse(os.path.exists(qxharness.BLOCK_PATH))
        self.assertEqual(200, self.site.request("/page.php?after=withdrawal")[0])
        self.assertTrue(self.site.wait_log("Quillet is disabled"), self.site.diagnostics())
        self.assertFalse([b for b in self.site.blocks() if b.attribute("HTTP_query") == "after=withdrawal"])


if __name__ == "__main__":
    qxharness.run_tests()
