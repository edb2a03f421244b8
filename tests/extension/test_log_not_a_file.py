"""The extension's log lies in world-writable /tmp by default: anyone can put a
FIFO at its path. Nobody reads it, so it takes 64 KiB of lines and then blocks
every write, and with it every worker. Only a regular file is used as the log:
anything else is a log that cannot be opened, and the extension is loaded but
inactive and says so on standard error."""

import errno
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402


class LogNotAFileTest(unittest.TestCase):

    def test_full_fifo_as_log_does_not_hold_the_request(self):
        site = qxharness.QuilletSite(log_level=4)
        self.addCleanup(site.close)
        site.write_script("index.php", "<?php echo 'served';")
        os.mkfifo(site.log_file, 0o666)
        # Held open and never read, filled to the brim: the next write blocks.
        fd = os.open(site.log_file, os.O_RDWR | os.O_NONBLOCK)
        self.addCleanup(os.close, fd)
        try:
            while True:
                os.write(fd, b"x" * 4096)
        except OSError as e:
            self.assertEqual(errno.EAGAIN, e.errno)

        # Well below the harness's default: a hang shows as a time-out.
        proc = site.run_cgi("index.php", timeout=8)
        self.assertEqual(0, proc.returncode, proc.stderr)
        self.assertTrue(proc.stdout.endswith(b"served"), proc.stdout)
        self.assertIn(b"[ERROR] Failed to open log file.Log open error: not a regular file", proc.stderr)


if __name__ == "__main__":
    qxharness.run_tests()
