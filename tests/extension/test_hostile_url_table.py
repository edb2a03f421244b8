"""What other local users, or a damaged file, can leave at the URL table's
names: the semaphore's file in /dev/shm (anyone may create it while no server
runs) and the table's file. No such file may crash or hang a worker; the
request is served and collected, without the table when it cannot be trusted."""

import fcntl
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402

SEMAPHORE = qxharness.URL_SEMAPHORE_PATH
NOBODY = 65534


class HostileUrlTableTest(unittest.TestCase):

    def setUp(self):
        self.site = qxharness.QuilletSite()
        self.addCleanup(self.site.close)
        self.addCleanup(self.remove_semaphore)
        self.site.write_script("index.php", "<?php echo 'served';")
        self.site.start_aggregator()
        self.site.write_block()
        self.table = os.path.join(self.site.install_dir, "tmp", "zshm_UrlTableShm")
        # As while a server runs: start-up then leaves what it finds at the
        # table's names in place (and a start-up as another user than root
        # could not remove a stranger's file from /dev/shm anyway).
        self.in_use = open(self.table + ".lock", "w")
        self.addCleanup(self.in_use.close)
        fcntl.flock(self.in_use, fcntl.LOCK_SH)

    def remove_semaphore(self):
        try:
            os.unlink(SEMAPHORE)
        except FileNotFoundError:
            pass

    def serve(self, path="/index.php"):
        """One request through php-cgi; asserts it was served."""
        proc = self.site.run_cgi("index.php", path=path)
        self.assertEqual(0, proc.returncode, "php-cgi ended with %d\n%s" % (proc.returncode, self.site.diagnostics()))
        self.assertTrue(proc.stdout.endswith(b"served"), proc.stdout)
        return proc

    def test_strangers_semaphore_file_is_refused_and_requests_go_on(self):
        # As another user before the server starts: an empty file, then one
        # of a semaphore's size with arbitrary bytes, both open to everyone.
        for content in (b"", os.urandom(32)):
            self.remove_semaphore()
            with open(SEMAPHORE, "wb") as f:
                f.write(content)
            os.chmod(SEMAPHORE, 0o666)
            os.chown(SEMAPHORE, NOBODY, -1)
            self.serve()
        self.site.wait_blocks(2)
        refused = [l for l in self.site.log_lines("[ERROR]") if SEMAPHORE in l]
        self.assertEqual(2, len(refused), self.site.diagnostics())
        self.assertIn("owned by uid %d" % NOBODY, refused[0])
        self.assertFalse(os.path.exists(self.table), "the table was used without its lock")

    def test_fifo_in_the_tables_place_does_not_hang_workers(self):
        os.mkfifo(self.table, 0o666)
        self.serve()
        self.site.wait_blocks(1)
        damaged = [l for l in self.site.log_lines("[ERROR]") if "is damaged and is not used" in l]
        self.assertEqual(1, len(damaged), self.site.diagnostics())
        self.assertIn("not a regular file", damaged[0])

    def test_table_cut_short_under_load_kills_no_worker(self):
        self.site.start_server(workers=2)
        statuses = []
        for i in range(60):
            if i == 20:
                os.truncate(self.table, 0)
            status, body, _ = self.site.request("/index.php?n=%d" % i)
            statuses.append((status, body))
        self.assertEqual([(200, "served")] * 60, statuses, self.site.diagnostics())
        self.assertIsNone(self.site.server.poll(), "the server died\n" + self.site.diagnostics())
        # A worker that had mapped the table finds it cut; one whose first
        # request comes after the cut finds it too short to open. Which
        # worker takes which request is the server's choice.
        self.assertTrue(any("was cut to 0 bytes" in l or "file is too short (0 bytes)" in l
                            for l in self.site.log_lines("[ERROR]")),
                        self.site.diagnostics())

    def test_semaphore_left_taken_by_a_killed_holder_is_taken_over(self):
        self.serve()  # makes the semaphore and the table
        # A holder killed inside its critical section, as a worker killed by
        # SIGBUS or the OOM killer while it held the semaphore.
        holder = subprocess.run([sys.executable, "-c", KILLED_HOLDER], timeout=10)
        self.assertEqual(-9, holder.returncode)
        start = time.monotonic()
        self.serve("/index.php?first")
        first = time.monotonic() - start
        start = time.monotonic()
        self.serve("/index.php?second")
        second = time.monotonic() - start
        self.site.wait_blocks(3)
        warnings = [l for l in self.site.log_lines("[WARNING]") if "was left taken" in l]
        self.assertEqual(1, len(warnings), self.site.diagnostics())
        self.assertFalse([l for l in self.site.log_lines("[ERROR]") if "semaphore" in l.lower()],
                         self.site.diagnostics())
        self.assertLess(second, first)
        self.assertLess(second, 0.9, "the next worker waited for the semaphore again")


KILLED_HOLDER = """
import ctypes, os, signal
libc = ctypes.CDLL(None, use_errno=True)
libc.sem_open.restype = ctypes.c_void_p
libc.sem_open.argtypes = [ctypes.c_char_p, ctypes.c_int]
sem = libc.sem_open(b"/UrlTableSem", 0)
assert sem not in (None, 0) and libc.sem_wait(ctypes.c_void_p(sem)) == 0
os.kill(os.getpid(), signal.SIGKILL)
"""


if __name__ == "__main__":
    qxharness.run_tests()
