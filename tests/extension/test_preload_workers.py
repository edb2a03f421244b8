"""Opcache preloading runs an internal request without a URL in the web
server's first process, before it forks its workers (and serves beside them). That run is not a request
of the site: it is not collected and makes no connection. Each worker has its
own connection to the aggregator, which therefore sees well-formed blocks, one
connection per worker, each carrying one process's blocks."""

import os
import pwd
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402

WORKERS = 4


def unprivileged_user():
    """Preloading as root happens in a short-lived child, not in the server's
    own process: as root the server runs as "nobody" (when there is one)."""
    if os.geteuid() != 0:
        return None
    try:
        return pwd.getpwnam("nobody")
    except KeyError:
        return None


class PreloadWorkersTest(unittest.TestCase):

    def test_preload_is_not_collected_and_each_worker_has_its_own_connection(self):
        site = qxharness.QuilletSite()
        self.addCleanup(site.close)
        preload = site.write_script("preload.php", "<?php function preloaded_helper() { return 'pre'; }")
        site.write_script("pid.php", "<?php echo getmypid(), ' ', preloaded_helper();")
        site.start_aggregator()
        site.write_block()

        user = unprivileged_user()
        if user is not None:
            for folder, _, files in os.walk(site.root):
                os.chmod(folder, 0o777)
                for name in files:
                    os.chmod(os.path.join(folder, name), 0o666)
        overrides = {
            "zend_extension": "opcache",
            "opcache.enable": "1",
            "opcache.enable_cli": "1",
            "opcache.preload": preload,
        }
        if os.geteuid() == 0:
            # Required as root; as root without "nobody" the preloading runs
            # in a child, which still must not be collected.
            overrides["opcache.preload_user"] = user.pw_name if user else "root"
        site.server_port = qxharness.free_port()
        env = dict(os.environ, PHP_CLI_SERVER_WORKERS=str(WORKERS))
        site.server_out = open(os.path.join(site.root, "server.out"), "w+")

        def drop_privileges():
            if user is not None:
                os.setgid(user.pw_gid)
                os.setgroups([])
                os.setuid(user.pw_uid)
        site.server = subprocess.Popen(site.server_command(site.server_port, overrides), env=env,
                                       stdout=site.server_out, stderr=subprocess.STDOUT,
                                       start_new_session=True, cwd=site.root, preexec_fn=drop_privileges)
        self.assertTrue(qxharness.wait_for_port(site.server_port, 15, site.server), site.diagnostics())

        pids = set()
        made = 0
        while len(pids) < WORKERS and made < 120:
            status, body, _ = site.request("/pid.php")
            self.assertEqual(200, status, site.diagnostics())
            pid, helper = body.split()
            self.assertEqual("pre", helper)
            pids.add(int(pid))
            made += 1
        self.assertEqual(WORKERS, len(pids), site.diagnostics())

        blocks = site.wait_blocks(made)
        self.assertEqual(made, len(blocks), site.diagnostics())
        self.assertFalse([r for r in site.records() if "error" in r.get("record", "").lower()],
                         site.diagnostics())
        by_connection = {}
        for block in blocks:
            start = block.events[0]
            self.assertEqual("httpFragmentStartEvent", start["type"])
            self.assertEqual("/pid.php", block.text(start["uriToken"]), site.diagnostics())
            by_connection.setdefault(block.connection, set()).update(
                e["threadId"] for e in block.events if "threadId" in e)
        # One connection per serving process (the first process serves too),
        # each carrying that process's blocks only.
        self.assertEqual(len(pids), len(by_connection), site.diagnostics())
        self.assertEqual(len(pids), len(site.handshakes()), site.diagnostics())
        self.assertEqual(pids, set().union(*by_connection.values()))
        for threads in by_connection.values():
            self.assertEqual(1, len(threads), site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
