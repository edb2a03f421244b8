"""OCI8 inside a real `php -S`, against the test-only stand-in of the Oracle
extension (tests/oci8stub): connects and parses are remembered, slow
executions, rollbacks and commits on known links become remote method events
with the link's DIAG_ARG text, and every failed call becomes a plain failed
call carrying the error of the link or statement it worked on."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

FUNCTIONS = ["oci_connect", "oci_new_connect", "oci_pconnect", "oci_parse", "oci_execute", "oci_rollback",
             "oci_commit"]
POINTS = "".join("[%s]\nmethod=%s\nlayer=Oracle\n" % (f, f) for f in FUNCTIONS)

SCRIPTS = {
    "calls.php": r"""<?php
$c = oci_connect('scott', 'tiger', '//dbhost:1521/XE');
$fast = oci_parse($c, 'SELECT 1 FROM dual'); oci_execute($fast);
$slow = oci_parse($c, "SELECT name FROM users WHERE id = 42 AND note = 'x' AND DBMS_SESSION.SLEEP(0.06) IS NULL");
oci_execute($slow);
$n = oci_new_connect('app', 'app-secret');
oci_execute(oci_parse($n, 'BEGIN DBMS_SESSION.SLEEP(0.06); END;'));
// The last failed connect must not be taken for the errors that follow.
var_dump(@oci_pconnect('scott', 'wrong'));
var_dump(@oci_execute(oci_parse($c, 'SELECT * FROM no_such_table')));
var_dump(@oci_execute(oci_parse($c, "BEGIN raise_application_error(-20001, 'Gr\u{00f6}\u{00df}e falsch'); END;")));
echo json_encode(oci_error()['message']), "\n";    // what oci_error() without argument says now
var_dump(@oci_parse($c, ''));
$d = oci_connect('scott', 'tiger', '//dropping:1521/XE');
var_dump(@oci_rollback($d), @oci_commit($d), oci_rollback($c));
""",
    "transactions.php": r"""<?php
$c = oci_connect('scott', 'tiger', '//dbhost/ORCL');
oci_execute(oci_parse($c, "UPDATE t SET v = 'a' WHERE id = 1"), OCI_NO_AUTO_COMMIT);
oci_rollback($c); oci_commit($c);
$again = oci_connect('scott', 'tiger', '//dbhost/ORCL');    // the same link, registered again
oci_rollback($again);
echo $c === $again ? 'same' : 'other';
""",
    "loop.php": r"""<?php
$c = oci_connect('scott', 'tiger');
for ($i = 0; $i < 10; $i++) { @oci_execute(oci_parse($c, 'SELECT * FROM no_such_table')); }
oci_execute(oci_parse($c, 'BEGIN DBMS_SESSION.SLEEP(0.06); END;'));
echo 'done';
""",
}


def stub_module(site):
    path = os.path.join(site.build_dir, "tests", "oci8stub", "oci8.so")
    if not os.path.exists(path):
        raise unittest.SkipTest("the OCI8 stand-in was not built: " + path)
    return path


class OciTest(unittest.TestCase):

    def start(self, overrides):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        settings = {"qx.slow_sql_threshold": 50}
        settings.update(overrides)
        site.start(POINTS, SCRIPTS, settings, modules=(stub_module(site),))
        return site

    def test_executions_and_failures(self):
        site = self.start({"qx.sql_mode": 2})
        status, body, block = site.block_for("/calls.php")
        self.assertEqual((200, "bool(false)\n" * 3 + '"ORA-01017: invalid username\\/password; logon denied"\n'
                          + "bool(false)\n" * 3 + "bool(true)\n"), (status, body), site.diagnostics())
        calls = block.calls()
        self.assertEqual([
            ("oci_execute", True, 0), ("oci_execute", True, 0),
            ("oci_pconnect", False, 33), ("oci_execute", False, 33), ("oci_execute", False, 33),
            ("oci_parse", False, 33), ("oci_rollback", False, 33), ("oci_commit", False, 33),
        ], [(c["name"], c["remote"], c["flags"]) for c in calls], site.diagnostics())
        slow, no_link = calls[0], calls[1]
        self.assertEqual("SELECT name FROM users WHERE id = ? AND note = ? AND DBMS_SESSION.SLEEP(?) IS NULL",
                         slow["sql"])
        self.assertEqual("DIAG_ARG:type=OCI&db_type=oracle&db_ds=XE&db_db=XE&target=dbhost"
                         "&conn_string=php:oracle:thin:@dbhost:1521", slow["target"])
        self.assertEqual("DIAG_ARG:type=OCI&db_type=oracle&db_ds=&db_db=&target="
                         "&conn_string=php:oracle:thin:@", no_link["target"])
        self.assertEqual(("sql", 3), (slow["layer_type"], slow["depth"]))
        failures = calls[2:]
        self.assertEqual({"Function failure"}, {c["type"] for c in failures})
        self.assertEqual([
            "ORA-01017: invalid username/password; logon denied",
            "ORA-00942: table or view does not exist",
            "ORA-20001: Gr\u00f6\u00dfe falsch",
            "ORA-24333: zero iteration count",
            "ORA-03113: end-of-file on communication channel",
            "ORA-03113: end-of-file on communication channel",
        ], [c["message"] for c in failures])
        self.assertTrue(all(c["sql"] is None and c["layer_type"] == "method" and c["depth"] == 3
                            for c in failures))
        self.assertRegex(failures[1]["trace"], r"^oci_execute\(\)\r\n\t\{main\}, .*calls\.php:\d+\r\n\t$")
        log = site.read_log()
        self.assertIn("[DBG1] Error in function: oci_connect\n", log)   # the pconnect, by its family's name
        for name in ("oci_execute", "oci_parse", "oci_rollback", "oci_commit"):
            self.assertIn("[DBG1] Error in function: %s\n" % name, log)
        self.assertIn("[DBG1] Function failure:ORA-00942: table or view does not exist\n\toci_execute()", log)
        self.assertIn("[DBG1] Function failure:ORA-20001: Gr\u00f6\u00dfe falsch\n", log)
        self.assertNotIn("app-secret", log)

    def test_transactions_and_limits(self):
        site = self.start({"qx.sql_mode": 1, "qx.slow_sql_threshold": 0})
        status, body, block = site.block_for("/transactions.php")
        self.assertEqual((200, "same"), (status, body), site.diagnostics())
        self.assertEqual([
            ("oci_execute", "UPDATE"), ("oci_rollback", "ROLLBACK"), ("oci_commit", "COMMIT"),
            ("oci_rollback", "ROLLBACK"),
        ], [(c["name"], c["sql"]) for c in block.sql_calls()], site.diagnostics())
        self.assertEqual({(0, "DIAG_ARG:type=OCI&db_type=oracle&db_ds=ORCL&db_db=ORCL&target=dbhost"
                              "&conn_string=php:oracle:thin:@dbhost")},
                         {(c["flags"], c["target"]) for c in block.sql_calls()})

        # Failures count against qx.max_functions like every reported call.
        site.stop_server()
        site.start_server(overrides={"qx.max_functions": 3})
        status, body, block = site.block_for("/loop.php")
        self.assertEqual((200, "done"), (status, body), site.diagnostics())
        self.assertEqual([("oci_execute", 33)] * 4, [(c["name"], c["flags"]) for c in block.calls()])

        # qx.sql_mode 0: every call only runs.
        site.stop_server()
        site.start_server(overrides={"qx.sql_mode": 0})
        status, body, block = site.block_for("/loop.php")
        self.assertEqual((200, "done"), (status, body), site.diagnostics())
        self.assertEqual([], block.calls())


if __name__ == "__main__":
    qxharness.run_tests()
