"""PDO on a real MariaDB server (started by the test on a private socket and
port) inside a real `php -S`: slow and fast calls against qx.slow_sql_threshold,
prepared statements, transactions, driver errors, refused and rejected
connections; the connection's DIAG_ARG text never carries the password."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mariadb_server  # noqa: E402
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

METHODS = [("PDO", "__construct"), ("PDO", "query"), ("PDO", "exec"), ("PDO", "prepare"),
           ("PDOStatement", "execute"), ("PDO", "rollBack"), ("PDO", "beginTransaction")]
POINTS = "".join("[%s%s]\nclass=%s\nmethod=%s\nlayer=DB\n" % (c, m, c, m) for c, m in METHODS)

CALLS = r"""<?php
$db = new PDO('%(dsn)s', '%(user)s', '%(password)s');
$db->exec('CREATE TABLE IF NOT EXISTS t (id INT, name VARCHAR(20))');
echo $db->query('SELECT 1')->fetchColumn();
echo '|', $db->query("SELECT SLEEP(0.3), 'x'")->fetchColumn();
$st = $db->prepare('SELECT SLEEP(?)');
$st->execute([0.3]); echo '|', $st->fetchColumn();
$db->beginTransaction(); $db->exec("INSERT INTO t VALUES (1, 'a')"); $db->rollBack();
echo '|', $db->query('SELECT COUNT(*) FROM t')->fetchColumn();
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
var_dump($db->query('SELECT * FROM missing_table WHERE id = 5'));
$bad = $db->prepare('SELECT nope FROM t');
var_dump($bad->execute());
try { $db->rollBack(); } catch (PDOException $e) { echo $e->getMessage(); }
"""

CONNECTS = r"""<?php
try { new PDO('%(dsn)s', '%(user)s', 'wrong-password-xyz'); } catch (PDOException $e) { echo 'denied|'; }
try { new PDO('mysql:host=127.0.0.1;port=%(closed)d;dbname=x', 'u', 'p'); } catch (PDOException $e) { echo 'refused|'; }
$db = new PDO('%(socket_dsn)s', '%(user)s', '%(password)s');
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
var_dump($db->exec('DELETE FROM no_such_table'));
"""


@unittest.skipUnless(mariadb_server.available(), "mariadb-server is not installed")
class PdoMariaDBTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.db = mariadb_server.MariaDBServer().start()
        cls.site = InstrumentedSite()
        try:
            values = {"dsn": cls.db.pdo_dsn(), "socket_dsn": cls.db.pdo_dsn(over_socket=True),
                      "user": cls.db.user, "password": cls.db.password, "closed": qxharness.free_port()}
            scripts = {"calls.php": CALLS % values, "connects.php": CONNECTS % values}
            cls.site.start(POINTS, scripts, {"qx.slow_sql_threshold": 200, "qx.sql_mode": 2},
                           modules=("mysqlnd", "pdo", "pdo_mysql"))
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.site.close()
        cls.db.stop()

    def test_threshold_statements_transactions_and_driver_errors(self):
        site = self.site
        status, body, block = site.block_for("/calls.php")
        self.assertEqual("1|0|0|0bool(false)\nbool(false)\nThere is no active transaction", body,
                         site.diagnostics())
        calls = block.sql_calls()
        # Fast successful calls (the fast query, the table, the transaction
        # that was rolled back) stay below the threshold; slow and failed
        # ones are reported. The threshold leaves room for a loaded machine.
        self.assertEqual([
            ("PDO::query", "SELECT SLEEP(?), ?", 0),
            ("PDOStatement::execute", "SELECT SLEEP(?)", 0),
            ("PDO::query", "SELECT * FROM missing_table WHERE id = ?", 33),
            ("PDOStatement::execute", "SELECT nope FROM t", 33),
            ("PDO::rollBack", "ROLLBACK", 33),
        ], [(c["name"], c["sql"], c["flags"]) for c in calls], site.diagnostics())
        diag = ("DIAG_ARG:type=PDO&db_type=mysql&db_ds=qx_test&db_db=qx_test&target=127.0.0.1"
                "&conn_string=php:mysql://127.0.0.1:%d/qx_test" % self.db.port)
        for c in calls:
            self.assertEqual((diag, "sql", 3), (c["target"], c["layer_type"], c["depth"]))
        for slow in calls[:2]:
            self.assertGreaterEqual(slow["end"] - slow["start"], 200000)
        missing, bad_execute, rollback = calls[2:]
        self.assertEqual(("Function failure", "Table 'qx_test.missing_table' doesn't exist"),
                         (missing["type"], missing["message"]))
        self.assertIn("{main}, ", missing["trace"])
        self.assertEqual("Function failure", bad_execute["type"])
        self.assertIn("Unknown column 'nope'", bad_execute["message"])
        self.assertTrue(bad_execute["trace"].startswith("PDOStatement::execute()\r\n\t"), bad_execute["trace"])
        self.assertEqual(("PDOException", "There is no active transaction"), (rollback["type"], rollback["message"]))
        self.assertNotIn(self.db.password, site.read_log())

    def test_rejected_refused_and_socket_connections(self):
        site = self.site
        status, body, block = site.block_for("/connects.php")
        self.assertEqual("denied|refused|bool(false)\n", body, site.diagnostics())
        calls = block.calls()
        self.assertEqual(["PDO::__construct", "PDO::__construct", "PDO::exec"], [c["name"] for c in calls],
                         site.diagnostics())
        denied, refused, exec_call = calls
        for failed in (denied, refused):
            self.assertEqual((33, "PDOException", False, 3), (failed["flags"], failed["type"], failed["remote"],
                                                               failed["depth"]))
        self.assertIn("Access denied for user 'qx'", denied["message"])
        self.assertIn("[2002] Connection refused", refused["message"])
        self.assertEqual(("DIAG_ARG:type=PDO&db_type=mysql&db_ds=qx_test&db_db=qx_test&target="
                          "&conn_string=php:mysql://%s/qx_test" % self.db.socket, 33),
                         (exec_call["target"], exec_call["flags"]))
        log = site.read_log()
        self.assertNotIn("wrong-password-xyz", log)
        self.assertNotIn("wrong-password-xyz", str(block.symbols))
        self.assertIn("PDO::connect: connection string: DIAG_ARG:type=PDO&db_type=mysql&db_ds=x&db_db=x"
                      "&target=127.0.0.1&conn_string=php:mysql://127.0.0.1:", log)


if __name__ == "__main__":
    qxharness.run_tests()
