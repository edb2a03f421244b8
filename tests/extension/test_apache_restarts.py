"""Apache httpd with mod_php (prefork): the parent process starts the module,
forks the children, and at a restart shuts the module down and starts it
again in the same process. Graceful (SIGUSR1) and full (SIGHUP) restarts must
leave the engine as the next start-up expects: children started afterwards
serve and report, compiled code follows the point files read at the restart,
and no block is lost across a graceful restart or a graceful stop (SIGWINCH).
A configuration test (`apache2 -t`) leaves the URL table alone."""

import os
import signal
import subprocess
import time
import unittest

import qxharness
from qxharness import QuilletSite, free_port, wait_for_port

APACHE = "/usr/sbin/apache2"
MODULES = "/usr/lib/apache2/modules"
OPCACHE = "opcache.so"

POINT_FILE = "[ap work]\nmethod=ap_work\nlayer=Apache\n[ap rev]\nmethod=strrev\nlayer=Apache\n"
# The new entry comes first: every entry's position changes, so code compiled
# before the restart would name the wrong entries.
POINT_FILE_AFTER = "[ap later]\nmethod=ap_later\nlayer=Apache\n" + POINT_FILE

SCRIPT = """<?php
function ap_work() { $f = new Fiber(function () { Fiber::suspend(); }); $f->start(); $f->resume(); return 1; }
function ap_later() { return 2; }
echo ap_work() + ap_later(), " ", getmypid(), " ", strrev((string) getmypid()), "\\n";
"""


class ApacheSite:
    """Apache's own configuration, folders and logs inside a QuilletSite."""

    def __init__(self, site):
        self.site = site
        self.root = os.path.join(site.root, "apache")
        self.port = free_port()
        self.proc = None
        os.makedirs(os.path.join(self.root, "php"))
        # The children run as www-data: they read the site and write the URL table.
        for path in (site.root, site.docroot, self.root):
            os.chmod(path, 0o755)
        for sub in ("", "etc", "etc/functions.d"):
            os.chmod(os.path.join(site.install_dir, sub), 0o755)
        os.chmod(os.path.join(site.install_dir, "tmp"), 0o1777)
        self.error_log = os.path.join(self.root, "error.log")
        self.pid_file = os.path.join(self.root, "httpd.pid")
        self.config = os.path.join(self.root, "httpd.conf")

    def write_config(self, ini):
        self.file_cache = os.path.join(self.root, "file-cache")
        os.makedirs(self.file_cache)
        os.chmod(self.file_cache, 0o1777)
        with open(os.path.join(self.root, "php", "php.ini"), "w") as f:
            f.write("zend_extension=%s\n" % OPCACHE)
            f.write("zend_extension=%s\n" % self.site.extension)
            # Scripts written a moment ago are cached too.
            f.write("opcache.enable=1\nopcache.file_update_protection=0\n")
            f.write("opcache.file_cache=%s\n" % self.file_cache)
            for key, value in ini.items():
                f.write("%s=%s\n" % (key, value))
        with open(self.config, "w") as f:
            f.write("""ServerRoot "{root}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile {pid}
DefaultRuntimeDir {root}
Mutex file:{root} default
ErrorLog {log}
LogLevel info
User www-data
Group www-data
LoadModule mpm_prefork_module {modules}/mod_mpm_prefork.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule php_module {modules}/libphp8.2.so
StartServers 2
MinSpareServers 2
MaxSpareServers 4
MaxRequestWorkers 8
GracefulShutdownTimeout 10
DocumentRoot "{docroot}"
<Directory "{docroot}">
    Require all granted
</Directory>
<FilesMatch "\\.php$">
    SetHandler application/x-httpd-php
</FilesMatch>
PHPIniDir "{root}/php"
""".format(root=self.root, port=self.port, pid=self.pid_file, log=self.error_log,
           modules=MODULES, docroot=self.site.docroot))

    def env(self):
        env = dict(os.environ)
        # Only this configuration's php.ini: not the machine's conf.d.
        env["PHP_INI_SCAN_DIR"] = ""
        return env

    def config_test(self):
        return subprocess.run([APACHE, "-t", "-f", self.config], capture_output=True, text=True,
                              env=self.env(), timeout=30)

    def start(self):
        out = open(os.path.join(self.root, "stdout"), "w")
        self.proc = subprocess.Popen([APACHE, "-f", self.config, "-DFOREGROUND"], stdout=out,
                                     stderr=subprocess.STDOUT, env=self.env(),
                                     start_new_session=True)
        out.close()
        if not wait_for_port(self.port, 20, self.proc):
            raise RuntimeError("apache2 did not start:\n" + self.errors())

    def signal(self, signum):
        os.kill(self.proc.pid, signum)

    def request(self, path="/index.php", timeout=10):
        self.site.server_port = self.port
        return self.site.request(path, timeout=timeout)

    def wait_serving(self, timeout=20):
        """Waits until a request succeeds after a restart."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                status, body, _ = self.request(timeout=5)
                if status == 200:
                    return body
            except OSError:
                pass
            time.sleep(0.1)
        raise AssertionError("apache2 serves nothing after the restart:\n" + self.errors())

    def errors(self):
        try:
            with open(self.error_log, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def generation_started(self, count, timeout=20):
        """Waits until the error log tells of `count` (re)starts."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.errors().count("resuming normal operations") >= count:
                return True
            time.sleep(0.1)
        return False

    def stop(self):
        if self.proc is not None:
            qxharness.stop_process(self.proc, timeout=15)
            self.proc = None


@unittest.skipUnless(os.path.exists(APACHE) and os.path.exists(os.path.join(MODULES, "libphp8.2.so")),
                     "apache2 with mod_php is not installed")
@unittest.skipUnless(os.geteuid() == 0, "apache2 switches its children to www-data only when started as root")
class ApacheRestarts(unittest.TestCase):
    def setUp(self):
        self.site = QuilletSite(log_level=1)
        self.apache = ApacheSite(self.site)

    def tearDown(self):
        self.apache.stop()
        self.site.close()

    def pids_of(self, bodies):
        return {int(b.split()[1]) for b in bodies}

    def listed_names(self, block):
        names = (block.text(loc.get("calleeMethodNameToken")) for loc in block.locations)
        return sorted(n for n in names if n.startswith("ap_") or n == "strrev")

    def system_ids(self):
        """opcache's file cache keeps a folder per system id."""
        return set(os.listdir(self.apache.file_cache))

    def serve(self, count):
        for _ in range(count):
            self.assertEqual(self.apache.wait_serving().split()[0], "3")
        return count

    def test_restarts_keep_serving_and_reporting(self):
        site, apache = self.site, self.apache
        site.write_point_file(POINT_FILE)
        site.write_script("index.php", SCRIPT)
        site.start_aggregator()
        site.write_block(registered=1)
        apache.write_config(site.ini({"qx.slow_function_threshold": 0}))

        # A configuration test beside nothing running starts no PHP module
        # that could touch the URL table.
        table_dir = os.path.join(site.install_dir, "tmp")
        marker = os.path.join(table_dir, "zshm_UrlTableShm")
        with open(marker, "w") as f:
            f.write("left by an earlier run")
        result = apache.config_test()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertTrue(os.path.exists(marker), "apache2 -t removed the URL table")
        os.unlink(marker)

        apache.start()
        parent = apache.proc.pid
        self.assertTrue(apache.generation_started(1), apache.errors())
        sent = self.serve(6)
        first_ids = self.system_ids()
        self.assertEqual(len(first_ids), 1, first_ids)

        # Graceful restart right after the requests, with another point file:
        # nothing sent before is lost, and new children time the functions
        # the new point file lists, each under its own entry.
        site.write_point_file(POINT_FILE_AFTER)
        apache.signal(signal.SIGUSR1)
        self.assertTrue(apache.generation_started(2), apache.errors())
        blocks = site.wait_blocks(sent, timeout=20)
        self.assertEqual(len(blocks), sent, site.diagnostics() + apache.errors())
        for block in blocks:
            self.assertEqual(self.listed_names(block), ["ap_work", "strrev"])
        before = len(blocks)
        sent += self.serve(6)
        blocks = site.wait_blocks(sent, timeout=20)
        self.assertEqual(len(blocks), sent, site.diagnostics() + apache.errors())
        for block in blocks[before:]:
            self.assertEqual(self.listed_names(block), ["ap_later", "ap_work", "strrev"])
        # Code cached under the other point files is not taken back.
        restart_ids = self.system_ids() - first_ids
        self.assertEqual(len(restart_ids), 1, self.system_ids())

        # Full restart, back to the first point file: every child goes, the
        # module starts again, and the code follows the point file again.
        site.write_point_file(POINT_FILE)
        apache.signal(signal.SIGHUP)
        self.assertTrue(apache.generation_started(3), apache.errors())
        before = sent
        sent += self.serve(6)
        blocks = site.wait_blocks(sent, timeout=20)
        self.assertEqual(len(blocks), sent, site.diagnostics() + apache.errors())
        for block in blocks[before:]:
            self.assertEqual(self.listed_names(block), ["ap_work", "strrev"])
        ids = self.system_ids()
        self.assertEqual(len(ids - first_ids - restart_ids), 1, ids)

        # A second graceful restart, then a graceful stop right after the
        # requests: everything is delivered.
        apache.signal(signal.SIGUSR1)
        self.assertTrue(apache.generation_started(4), apache.errors())
        sent += self.serve(4)
        # The same point files give the same system id.
        self.assertEqual(self.system_ids(), ids)
        self.assertEqual(apache.proc.pid, parent)
        apache.signal(signal.SIGWINCH)
        try:
            apache.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.fail("apache2 did not stop gracefully:\n" + apache.errors())
        blocks = site.wait_blocks(sent, timeout=20)
        self.assertEqual(len(blocks), sent, site.diagnostics() + apache.errors())

        self.assertNotIn("exit signal", apache.errors())
        log = site.read_log()
        self.assertNotIn("system id", log)
        self.assertNotIn("may not follow the point files", log)


if __name__ == "__main__":
    qxharness.run_tests()
