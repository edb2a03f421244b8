"""The extension loads into the real engine, registers its directives, reads
them at start-up, and fails safe when its configuration is unusable: the page
is always served."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402

DIRECTIVES = {
    "qx.log_file": "/tmp/qxagent_ext.log",
    "qx.log_level": "0",
    "qx.events_channel_ip": "127.0.0.1",
    "qx.events_channel_port": "2626",
    "qx.point_file": "",
    "qx.slow_function_threshold": "50",
    "qx.slow_sql_threshold": "50",
    "qx.max_exceptions": "100",
    "qx.exception_max_frames": "100",
    "qx.use_event_channel_null": "0",
    "qx.max_functions_depth": "50",
    "qx.max_functions": "1000",
    "qx.sql_mode": "2",
    "qx.max_sqls": "100",
    "qx.max_uris": "1000",
    "qx.install_dir": "/opt/qx",
    "qx.exception_max_message_length": "100",
    "qx.enable_crossvm": "1",
    "qx.crossvm_sampling": "45",
}

HELLO = "<?php http_response_code(201); echo 'hello ', $_GET['n'] ?? 'nobody';"


class LoadTest(unittest.TestCase):

    def setUp(self):
        self.site = qxharness.QuilletSite()
        self.addCleanup(self.site.close)
        self.site.write_script("hello.php", HELLO)

    def assertPageServed(self):
        status, body, _ = self.site.request("/hello.php?n=ann")
        self.assertEqual(201, status, self.site.diagnostics())
        self.assertEqual("hello ann", body)

    # ---- Loading -------------------------------------------------------------

    def test_engine_lists_the_extension_in_both_roles(self):
        out = self.site.run_php("", overrides={}).stdout  # warm-up: start-up works at all
        proc = qxharness.subprocess.run(
            [self.site.php, "-n", "-d", "zend_extension=" + self.site.extension,
             "-d", "qx.install_dir=" + self.site.install_dir, "-d", "qx.log_file=" + self.site.log_file, "-m"],
            capture_output=True, text=True, timeout=30)
        self.assertEqual(0, proc.returncode, proc.stderr)
        zend_part = proc.stdout.split("[Zend Modules]")[1]
        php_part = proc.stdout.split("[Zend Modules]")[0]
        self.assertIn("Vorn QX Agent", zend_part)
        self.assertIn("Vorn QX Agent", php_part)
        self.assertNotIn("Warning", proc.stdout + proc.stderr + out)

    def test_engine_extension_record_names_version_author_and_copyright(self):
        proc = qxharness.subprocess.run(
            [self.site.php, "-n", "-d", "zend_extension=" + self.site.extension,
             "-d", "qx.install_dir=" + self.site.install_dir, "-d", "qx.log_file=" + self.site.log_file, "-v"],
            capture_output=True, text=True, timeout=30)
        self.assertIn("with Vorn QX Agent v1.0.336, Copyright (c) Quillet developers, by Quillet developers",
                      proc.stdout)

    def test_loads_after_another_engine_extension_without_deepbind(self):
        # Nothing of the library's exported records is written at load time,
        # so binding its symbols to the engine extension loaded before it
        # (opcache exports the same record names) changes nothing.
        preload = os.path.join(self.site.build_dir, "tests", "extension", "qx_no_deepbind.so")
        env = dict(os.environ, LD_PRELOAD=preload)
        proc = qxharness.subprocess.run(
            [self.site.php, "-n", "-d", "zend_extension=opcache", "-d", "zend_extension=" + self.site.extension,
             "-d", "qx.install_dir=" + self.site.install_dir, "-d", "qx.log_file=" + self.site.log_file, "-v"],
            capture_output=True, text=True, timeout=30, env=env)
        self.assertEqual(0, proc.returncode, proc.stdout + proc.stderr)
        self.assertIn("with Zend OPcache v", proc.stdout)
        self.assertIn("with Vorn QX Agent v1.0.336", proc.stdout)

    def test_phpinfo_shows_one_row_with_the_version(self):
        proc = self.site.run_php("phpinfo(INFO_MODULES);")
        self.assertEqual(0, proc.returncode, proc.stderr)
        rows = [l for l in proc.stdout.splitlines() if l.startswith("Vorn QX Agent =>")]
        self.assertEqual(["Vorn QX Agent => 1.0.336"], rows)

    def test_directives_are_registered_with_their_defaults(self):
        code = "foreach (%s as $k) { echo $k, '=', var_export(ini_get($k), true), \"\\n\"; }" % (
            "[" + ",".join("'%s'" % k for k in DIRECTIVES) + "]")
        proc = self.site.run_php(code, overrides={"qx.install_dir": None, "qx.log_file": None,
                                                  "qx.log_level": None})
        got = dict(re.findall(r"^(qx\.[a-z_]+)='(.*)'$", proc.stdout, re.M))
        self.assertEqual(DIRECTIVES, got, proc.stdout + proc.stderr)
        proc = self.site.run_php("echo count(array_filter(array_keys(ini_get_all()), fn($k) => str_starts_with($k, 'qx.')));")
        self.assertEqual("19", proc.stdout.strip())

    def test_directives_from_the_command_line_are_read(self):
        proc = self.site.run_php("echo ini_get('qx.max_functions'), ' ', ini_get('qx.events_channel_ip');",
                                 overrides={"qx.max_functions": "7", "qx.events_channel_ip": "10.1.2.3"})
        self.assertEqual("7 10.1.2.3", proc.stdout.strip())

    # ---- Start-up under the two server interfaces ---------------------------------

    def test_cli_reads_configuration_and_hooks_nothing(self):
        # The command line writes only to a log that is already there.
        open(self.site.log_file, "w").close()
        proc = self.site.run_php("echo 'ran';")
        self.assertEqual("ran", proc.stdout)
        log = self.site.read_log()
        self.assertIn("[DBG1] CrossVM enabled = 1", log)
        self.assertIn("[DBG1] Installation dir: " + self.site.install_dir, log)
        self.assertNotIn("Extension successfully loaded", log)
        self.assertNotIn("Loading Point-File", log)
        self.assertNotIn("PHP Rinit Called", log)

    def test_builtin_web_server_is_hooked_and_serves_pages(self):
        self.site.start_server()
        self.assertPageServed()
        self.assertTrue(self.site.wait_log("Extension successfully loaded"), self.site.diagnostics())
        self.assertTrue(self.site.wait_log("PHP Rinit Called"), self.site.diagnostics())
        self.assertTrue(self.site.wait_log("Rshutdown is called"), self.site.diagnostics())

    def test_directives_changed_at_run_time_do_not_change_the_extension(self):
        self.site.write_script("quiet.php", "<?php ini_set('qx.log_level', '0'); echo ini_get('qx.log_level');")
        self.site.start_server()
        self.assertEqual((200, "0"), self.site.request("/quiet.php")[:2])
        # The level read at start-up (4) still holds after the script lowered it.
        self.assertTrue(self.site.wait_log("Rshutdown is called"), self.site.diagnostics())

    def test_log_file_macro_names_a_file_in_the_install_dir(self):
        self.site.start_server(overrides={"qx.log_file": "$(INSTALL_DIR)/ext-macro.log"})
        self.assertPageServed()
        path = os.path.join(self.site.install_dir, "ext-macro.log")
        with open(path) as f:
            self.assertIn("Extension successfully loaded", f.read())

    def test_out_of_bounds_and_non_numeric_directives_are_logged(self):
        self.site.start_server(overrides={"qx.max_functions": "7000", "qx.max_uris": "-1",
                                          "qx.slow_function_threshold": "fast",
                                          "qx.enable_crossvm": "256"})
        self.assertPageServed()
        log = self.site.read_log()
        self.assertIn("[WARNING] Directive qx.max_functions: 7000 is out of bounds, using 5000", log)
        self.assertIn("[WARNING] Directive qx.max_uris: -1 is out of bounds, using 1000", log)
        self.assertIn("[WARNING] Directive qx.slow_function_threshold: 'fast' is not a number, read as 0", log)
        self.assertIn("[WARNING] Directive qx.enable_crossvm: 256 is not 0 or 1, read as off", log)
        self.assertIn("[DBG1] CrossVM enabled = 0", log)

    # ---- Unusable configuration: loaded, inactive, pages served -------------------

    def test_empty_install_dir_is_missing(self):
        self.site.start_server(overrides={"qx.install_dir": ""})
        self.assertPageServed()
        self.assertIn("[ERROR] Missing directive 'qx.install_dir'", self.site.server_output())
        self.assertFalse(os.path.exists(self.site.log_file))

    def test_log_in_a_missing_folder_leaves_the_extension_inactive(self):
        missing = os.path.join(self.site.root, "no", "such", "ext.log")
        self.site.start_server(overrides={"qx.log_file": missing})
        self.assertPageServed()
        self.assertPageServed()
        out = self.site.server_output()
        self.assertEqual(1, out.count("[ERROR] Failed to open log file.Log open error: "), out)
        self.assertIn("No such file or directory", out)

    def test_empty_log_file_leaves_the_extension_inactive(self):
        self.site.start_server(overrides={"qx.log_file": ""})
        self.assertPageServed()
        self.assertIn("[ERROR] Failed to open log file.", self.site.server_output())

    def test_unwritable_log_file_leaves_the_extension_inactive(self):
        # A folder cannot be opened for appending, whoever runs the test.
        folder = os.path.join(self.site.root, "a-folder")
        os.makedirs(folder)
        self.site.start_server(overrides={"qx.log_file": folder})
        self.assertPageServed()
        self.assertIn("[ERROR] Failed to open log file.Log open error: Is a directory", self.site.server_output())

    def test_missing_install_folder_still_serves(self):
        self.site.start_server(overrides={"qx.install_dir": os.path.join(self.site.root, "absent")})
        self.assertPageServed()
        self.assertTrue(self.site.wait_log("Installation dir:"), self.site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
