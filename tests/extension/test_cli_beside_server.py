"""A command-line run of PHP (a cron job, a console command) on the machine of
a running web server loads the extension with the same settings. It collects
nothing, and it must leave the web server's shared URL table and its semaphore
alone: removing them split the workers between an old and a new table, each
guarded by its own semaphore, and reset the unique-URI count."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402


class CliBesideServerTest(unittest.TestCase):

    def test_cli_run_leaves_the_servers_url_table_and_semaphore(self):
        site = qxharness.QuilletSite()
        self.addCleanup(site.close)
        site.write_script("index.php", "<?php echo 'served';")
        site.write_block()
        site.start_server()
        status, body, _ = site.request("/index.php")
        self.assertEqual((200, "served"), (status, body), site.diagnostics())

        table = os.path.join(site.install_dir, "tmp", "zshm_UrlTableShm")
        self.assertTrue(os.path.exists(table), site.diagnostics())
        self.assertTrue(os.path.exists(qxharness.URL_SEMAPHORE_PATH), site.diagnostics())
        table_inode = os.stat(table).st_ino
        semaphore_inode = os.stat(qxharness.URL_SEMAPHORE_PATH).st_ino

        proc = site.run_php("echo 'cli';")
        self.assertEqual("cli", proc.stdout, proc.stderr)

        self.assertTrue(os.path.exists(table), "the CLI run removed the URL table\n" + site.diagnostics())
        self.assertEqual(table_inode, os.stat(table).st_ino)
        self.assertTrue(os.path.exists(qxharness.URL_SEMAPHORE_PATH), "the CLI run removed the semaphore")
        self.assertEqual(semaphore_inode, os.stat(qxharness.URL_SEMAPHORE_PATH).st_ino)

        # The server goes on with the same table.
        status, body, _ = site.request("/index.php")
        self.assertEqual((200, "served"), (status, body), site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
