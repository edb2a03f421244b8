"""Another start-up with the same settings beside a running web server (a
configuration test such as `php-fpm -t`, `-m` or `-i`, a second server) goes
through module start-up. It must leave the running server's URL table and its
semaphore alone: removing them split the workers between the old table, which
they keep mapped, and new ones, each under its own semaphore."""

import concurrent.futures
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402


def request_each_worker(site, path, workers, limit=40):
    """Requests `path` (a script that prints its process id after a short
    wait) `workers` at a time until `workers` processes answered; returns the
    ids. One request at a time may always find the same worker idle."""
    pids = set()
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        for _ in range(limit):
            for status, body, _ in pool.map(lambda _: site.request(path), range(workers)):
                if status == 200:
                    pids.add(body.strip())
            if len(pids) >= workers:
                break
    return pids


class UrlTableInUseTest(unittest.TestCase):

    def test_start_up_beside_a_running_server_leaves_its_table_and_semaphore(self):
        site = qxharness.QuilletSite()
        self.addCleanup(site.close)
        site.write_script("first.php", "<?php usleep(20000); echo getmypid();")
        site.write_script("second.php", "<?php usleep(20000); echo getmypid();")
        site.start_aggregator()
        site.write_block()
        site.start_server(workers=2)
        # php -S's first process may answer too, before it settles to
        # watching its workers: two or more processes answer.
        self.assertGreaterEqual(len(request_each_worker(site, "/first.php", 2)), 2, site.diagnostics())

        table = os.path.join(site.install_dir, "tmp", "zshm_UrlTableShm")
        self.assertTrue(os.path.exists(table), site.diagnostics())
        table_inode = os.stat(table).st_ino
        semaphore_inode = os.stat(qxharness.URL_SEMAPHORE_PATH).st_ino

        # A full start-up and shutdown of the extension under a web server
        # interface, as a configuration test makes: the server stops at once
        # on its missing document root.
        command = site.server_command(qxharness.free_port())
        command[command.index("-t") + 1] = os.path.join(site.root, "missing")
        check = subprocess.run(command, capture_output=True, text=True, timeout=30, cwd=site.root)
        self.assertNotEqual(0, check.returncode, check.stdout + check.stderr)
        self.assertTrue(site.wait_log("Installation dir:", count=2), site.diagnostics())

        self.assertTrue(os.path.exists(table), "the start-up removed the URL table\n" + site.diagnostics())
        self.assertEqual(table_inode, os.stat(table).st_ino)
        self.assertTrue(os.path.exists(qxharness.URL_SEMAPHORE_PATH), "the start-up removed the semaphore")
        self.assertEqual(semaphore_inode, os.stat(qxharness.URL_SEMAPHORE_PATH).st_ino)

        # Both workers go on with the one table: what they register now is
        # in the file at its place.
        self.assertGreaterEqual(len(request_each_worker(site, "/second.php", 2)), 2, site.diagnostics())
        with open(table, "rb") as f:
            content = f.read()
        self.assertIn(b"/first.php", content)
        self.assertIn(b"/second.php", content)
        self.assertEqual([], site.log_lines("[ERROR]"), site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
