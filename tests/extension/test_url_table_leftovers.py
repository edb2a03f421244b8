"""Module start-up removes what an earlier run left of the URL table: its
named semaphore "/UrlTableSem" (here left taken, as by a worker killed while
holding it) and its file in the installation's tmp folder (here left damaged).
The first request then creates both afresh, without waiting or complaining."""

import _multiprocessing
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402

SEM_NAME = "/UrlTableSem"
SEM_KIND_SEMAPHORE = 1
TABLE_FILE_SIZE = 5246928


def unlink_semaphore():
    try:
        _multiprocessing.sem_unlink(SEM_NAME)
    except OSError:
        pass


class UrlTableLeftoversTest(unittest.TestCase):

    def setUp(self):
        # Runs after the site's clean-up (cleanups run last-in first-out), so
        # the semaphore the server made is gone as well.
        self.addCleanup(unlink_semaphore)
        self.site = qxharness.QuilletSite()
        self.addCleanup(self.site.close)
        self.site.write_script("page.php", "<?php echo 'page';")
        self.site.start_aggregator()
        self.site.write_block(registered=1)

    def test_taken_semaphore_and_damaged_table_of_an_earlier_run_are_removed(self):
        unlink_semaphore()
        stale_sem = _multiprocessing.SemLock(SEM_KIND_SEMAPHORE, 0, 1, SEM_NAME, False)
        self.addCleanup(lambda: stale_sem)  # keep the handle open for the whole test
        table = os.path.join(self.site.install_dir, "tmp", "zshm_UrlTableShm")
        with open(table, "wb") as f:
            f.write(b"\xff" * 4096)

        self.site.start_server()
        self.assertEqual(200, self.site.request("/page.php")[0])
        blocks = self.site.wait_blocks(1)
        self.assertEqual(1, len(blocks), self.site.diagnostics())

        log = self.site.read_log()
        self.assertNotIn("Timed out waiting for semaphore", log)
        self.assertNotIn("Shared memory is damaged", log)
        self.assertIn("Opening shared memory %s/tmp/UrlTableShm ... done" % self.site.install_dir, log)
        self.assertEqual([], self.site.log_lines("[ERROR]"), log)
        # A new table file, made by the first request.
        self.assertEqual(TABLE_FILE_SIZE, os.stat(table).st_size)


if __name__ == "__main__":
    qxharness.run_tests()
