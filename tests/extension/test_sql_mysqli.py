"""mysqli against a private MariaDB inside a real `php -S`: connects register
their link, slow or failed queries, statement executions and transactions on
a known link become remote method events with the link's DIAG_ARG text, failed
connects become plain failed calls, in both report modes (exceptions, the
default, and silent), and the script's own results are never disturbed."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
import mariadb_server  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

FUNCTIONS = ["mysqli_connect", "mysqli_real_connect", "mysqli_query", "mysqli_real_query", "mysqli_multi_query",
             "mysqli_prepare", "mysqli_stmt_init", "mysqli_stmt_prepare", "mysqli_stmt_execute",
             "mysqli_rollback", "mysqli_commit", "mysqli_begin_transaction"]
METHODS = [("mysqli", "__construct"), ("mysqli", "real_connect"), ("mysqli", "query"), ("mysqli", "real_query"),
           ("mysqli", "multi_query"), ("mysqli", "prepare"), ("mysqli", "stmt_init"), ("mysqli", "rollback"),
           ("mysqli", "commit"), ("mysqli", "begin_transaction"), ("mysqli_stmt", "prepare"),
           ("mysqli_stmt", "execute")]
POINTS = "".join("[%s]\nmethod=%s\nlayer=DB\n" % (f, f) for f in FUNCTIONS) + \
    "".join("[%s%s]\nclass=%s\nmethod=%s\nlayer=DB\n" % (c, m, c, m) for c, m in METHODS)

# Connection parameters reach the scripts as constants.
HEADER = r"""<?php
const H = '127.0.0.1'; const U = '%(user)s'; const P = '%(password)s'; const D = '%(database)s'; const PORT = %(port)d;
const NOPORT = %(noport)d;
function drain($m) { do { if ($r = $m->store_result()) { $r->free(); } } while ($m->more_results() && $m->next_result()); }
"""

SCRIPTS = {
    "queries.php": r"""
$m = new mysqli(H, U, P, D, PORT);
$m->query('SELECT 1');                                   // fast: nothing
$m->query('SELECT SLEEP(0.06), 42');
$m->real_query("SELECT SLEEP(0.06), 'bob'"); $m->store_result();
$m->multi_query('SELECT SLEEP(0.06); SELECT 2'); drain($m);
$p = mysqli_connect(H, U, P, D, PORT);
mysqli_query($p, 'SELECT SLEEP(0.06)');
mysqli_real_query($p, 'SELECT SLEEP(0.06)'); mysqli_store_result($p);
mysqli_multi_query($p, 'SELECT SLEEP(0.06); SELECT 3'); drain($p);
try { $m->query('SELECT * FROM missing'); } catch (mysqli_sql_exception $e) { echo get_class($e), ':', $e->getMessage(), '|'; }
mysqli_report(MYSQLI_REPORT_OFF);
var_dump(mysqli_query($p, 'SELECT nope FROM items'));
var_dump($m->query("SELECT 1\0 trailing"));
echo 'done';
""",
    "statements.php": r"""
$m = new mysqli(H, U, P, D, PORT);
$m->query('DELETE FROM items');
$a = $m->prepare('SELECT SLEEP(0.06), ?'); $v = 42; $a->bind_param('i', $v);
$a->execute(); $a->store_result();
$b = mysqli_prepare($m, 'SELECT SLEEP(0.06)'); mysqli_stmt_execute($b); mysqli_stmt_store_result($b);
$c = $m->stmt_init(); $c->prepare("SELECT SLEEP(0.06), 'x'"); $c->execute(); $c->store_result();
$d = mysqli_stmt_init($m); mysqli_stmt_prepare($d, 'INSERT INTO items VALUES (1)'); mysqli_stmt_execute($d);
try { mysqli_stmt_execute($d); } catch (mysqli_sql_exception $e) { echo $e->getMessage(), '|'; }
try { $m->prepare('SELECT * FROM missing_one'); } catch (mysqli_sql_exception $e) { echo $e->getMessage(), '|'; }
mysqli_report(MYSQLI_REPORT_OFF);
var_dump(mysqli_prepare($m, 'SELEC 1'));
$e = $m->stmt_init(); var_dump($e->prepare('SELECT * FROM missing_two'));
try { $e->execute(); } catch (Error $x) { echo get_class($x), '|'; }
echo 'done';
""",
    "transactions.php": r"""
set_error_handler(function ($n, $text) { echo "[$text]"; return true; });   // nothing of the probe's may show
$m = new mysqli(H, U, P, D, PORT);
$m->begin_transaction(); $m->query('INSERT INTO items VALUES (7)'); $m->rollback();
mysqli_begin_transaction($m); mysqli_query($m, 'INSERT INTO items VALUES (8)'); mysqli_commit($m);
mysqli_rollback($m);
try { mysqli_rollback('not a link'); } catch (TypeError $e) { echo 'TypeError|'; }
$m->close();
try { $m->rollback(); } catch (Error $e) { echo get_class($e), ':', $e->getMessage(), '|'; }
echo 'done';
""",
    "connects.php": r"""
try { new mysqli(H, U, 'wrong', D, PORT); } catch (mysqli_sql_exception $e) { echo $e->getCode(), '|'; }
$fresh = new mysqli();                        // prepares a link, connects nothing
echo $fresh->connect_errno ? 'stale|' : 'clean|';  // mysqli keeps the last connect error
$fresh->real_connect(H, U, P, D, PORT);
$fresh->query('SELECT SLEEP(0.06)');
mysqli_report(MYSQLI_REPORT_OFF);
var_dump(@mysqli_connect(H, 'j' . "\u{00fc}" . 'rgen', 'x', D, PORT));
var_dump(@mysqli_connect(H, U, P, D, NOPORT));
$l = mysqli_init(); var_dump(@mysqli_real_connect($l, H, U, P, 'no_such_db', PORT));
$r = mysqli_init(); mysqli_real_connect($r, H, U, P, D, PORT); mysqli_query($r, 'SELECT SLEEP(0.06), 3');
class Db extends mysqli { public function __construct() { parent::__construct(H, U, P, D, PORT); } }
class Plain extends mysqli {}
$db = new Db(); $db->query('SELECT SLEEP(0.06), 1');
$pl = new Plain(H, U, P, D, (string)PORT); $pl->query('SELECT SLEEP(0.06), 2');   // the port as digits
echo get_class($db), get_class($pl);
""",
    "quiet.php": r"""
mysqli_report(MYSQLI_REPORT_OFF);
var_dump(@mysqli_connect(H, U, 'wrong', D, PORT));
echo 'done';
""",
    "mode0.php": r"""
$m = new mysqli(H, U, P, D, PORT);
$m->query('SELECT SLEEP(0.06)');
try { $m->prepare('SELECT * FROM missing'); } catch (mysqli_sql_exception $e) { echo 'caught|'; }
$s = $m->prepare('SELECT 5');
echo 'done';
""",
}


class MysqliTest(unittest.TestCase):
    db = None

    @classmethod
    def setUpClass(cls):
        if not mariadb_server.available():
            raise unittest.SkipTest("MariaDB is not installed (scripts/install-deps.sh)")
        cls.db = mariadb_server.MariaDBServer().start()
        cls.db.sql("CREATE TABLE items (id INT PRIMARY KEY)")

    @classmethod
    def tearDownClass(cls):
        if cls.db is not None:
            cls.db.stop()

    def start(self, overrides):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        settings = {"qx.slow_sql_threshold": 50}
        settings.update(overrides)
        header = HEADER % {"user": self.db.user, "password": self.db.password, "database": self.db.database,
                           "port": self.db.port, "noport": qxharness.free_port()}
        site.start(POINTS, {name: header + body for name, body in SCRIPTS.items()}, settings,
                   modules=("mysqlnd", "mysqli"))
        return site

    def target(self):
        return ("DIAG_ARG:type=MYSQLI&db_type=mysql&db_ds={0}&db_db={0}&target=127.0.0.1"
                "&conn_string=php:mysql://127.0.0.1:{1}/{0}").format(self.db.database, self.db.port)

    def test_queries_statements_and_transactions(self):
        site = self.start({"qx.sql_mode": 3})
        status, body, block = site.block_for("/queries.php")
        self.assertEqual(200, status, site.diagnostics())
        self.assertIn("mysqli_sql_exception:Table '%s.missing' doesn't exist|" % self.db.database, body)
        self.assertTrue(body.endswith("done"), body)
        calls = block.sql_calls()
        self.assertEqual([
            ("mysqli::query", "SELECT SLEEP(0.06), 42", 0),
            ("mysqli::real_query", "SELECT SLEEP(0.06), 'bob'", 0),
            ("mysqli::multi_query", "SELECT SLEEP(0.06); SELECT 2", 0),
            ("mysqli_query", "SELECT SLEEP(0.06)", 0),
            ("mysqli_real_query", "SELECT SLEEP(0.06)", 0),
            ("mysqli_multi_query", "SELECT SLEEP(0.06); SELECT 3", 0),
            ("mysqli::query", "SELECT * FROM missing", 33),
            ("mysqli_query", "SELECT nope FROM items", 33),
            ("mysqli::query", "SELECT 1", 33),
        ], [(c["name"], c["sql"], c["flags"]) for c in calls], site.diagnostics())
        self.assertTrue(all(c["target"] == self.target() and c["layer_type"] == "sql" for c in calls))
        thrown, silent, nul = calls[6], calls[7], calls[8]
        self.assertEqual(("mysqli_sql_exception", "Table '%s.missing' doesn't exist" % self.db.database),
                         (thrown["type"], thrown["message"]))
        self.assertEqual("Function failure", silent["type"])
        self.assertIn("Unknown column 'nope'", silent["message"])
        self.assertRegex(silent["trace"], r"^mysqli_query\(\)\r\n\t\{main\}, .*queries\.php:\d+\r\n\t$")
        self.assertEqual("Function failure", nul["type"])
        self.assertNotIn(self.db.password, "".join(str(c) for c in calls) + site.read_log())

        status, body, block = site.block_for("/statements.php")
        self.assertEqual(200, status, site.diagnostics())
        self.assertIn("Duplicate entry '1' for key 'PRIMARY'|Table '%s.missing_one' doesn't exist|"
                      % self.db.database, body)
        self.assertTrue(body.endswith("bool(false)\nbool(false)\nError|done"), body)
        self.assertEqual([
            ("mysqli_stmt::execute", "SELECT SLEEP(0.06), ?", 0),
            ("mysqli_stmt_execute", "SELECT SLEEP(0.06)", 0),
            ("mysqli_stmt::execute", "SELECT SLEEP(0.06), 'x'", 0),
            ("mysqli_stmt_execute", "INSERT INTO items VALUES (1)", 33),
            ("mysqli::prepare", "SELECT * FROM missing_one", 33),
            ("mysqli_prepare", "SELEC 1", 33),
            ("mysqli_stmt::execute", "SELECT * FROM missing_two", 33),
        ], [(c["name"], c["sql"], c["flags"]) for c in block.sql_calls()], site.diagnostics())
        duplicate, thrown, silent, unprepared = block.sql_calls()[3:]
        self.assertEqual(("Error", "mysqli_stmt object is not fully initialized"),
                         (unprepared["type"], unprepared["message"]))
        self.assertEqual(("mysqli_sql_exception", "Duplicate entry '1' for key 'PRIMARY'"),
                         (duplicate["type"], duplicate["message"]))
        self.assertEqual("mysqli_sql_exception", thrown["type"])
        self.assertEqual("Function failure", silent["type"])
        self.assertIn("You have an error in your SQL syntax", silent["message"])
        self.assertTrue(silent["message"].endswith("..."), silent["message"])

        # Every transaction call is reported at threshold 0; a closed link's
        # failure reaches the script unchanged and is reported with it.
        site.stop_server()
        site.start_server(overrides={"qx.slow_sql_threshold": 0, "qx.sql_mode": 2})
        status, body, block = site.block_for("/transactions.php")
        self.assertEqual((200, "TypeError|Error:mysqli object is already closed|done"), (status, body),
                         site.diagnostics())
        self.assertEqual([
            ("mysqli::begin_transaction", "BEGIN", 0), ("mysqli::query", "INSERT INTO items VALUES (?)", 0),
            ("mysqli::rollback", "ROLLBACK", 0),
            ("mysqli_begin_transaction", "BEGIN", 0), ("mysqli_query", "INSERT INTO items VALUES (?)", 0),
            ("mysqli_commit", "COMMIT", 0), ("mysqli_rollback", "ROLLBACK", 0),
            ("mysqli::rollback", "ROLLBACK", 33),
        ], [(c["name"], c["sql"], c["flags"]) for c in block.sql_calls()], site.diagnostics())
        closed = block.sql_calls()[-1]
        self.assertEqual(("Error", "mysqli object is already closed"), (closed["type"], closed["message"]))

    def test_connects(self):
        site = self.start({"qx.sql_mode": 1})
        status, body, block = site.block_for("/connects.php")
        self.assertEqual(200, status, site.diagnostics())
        self.assertEqual("1045|stale|bool(false)\nbool(false)\nbool(false)\nDbPlain", body, site.diagnostics())
        calls = block.calls()
        self.assertEqual([
            ("mysqli::__construct", False, 33, "mysqli_sql_exception"),
            ("mysqli::query", True, 0, None),
            ("mysqli_connect", False, 33, "Function failure"),
            ("mysqli_connect", False, 33, "Function failure"),
            ("mysqli_real_connect", False, 33, "Function failure"),
            ("mysqli_query", True, 0, None),
            ("mysqli::query", True, 0, None),
            ("mysqli::query", True, 0, None),
        ], [(c["name"], c["remote"], c["flags"], c["type"] or None) for c in calls], site.diagnostics())
        denied, fresh, unicode_user, refused, no_db, procedural, sub, plain = calls
        self.assertIn("Access denied for user '%s'" % self.db.user, denied["message"])
        self.assertEqual((fresh["sql"], fresh["target"]), ("SELECT", self.target()))
        # The server's text comes through byte for byte (UTF-8, not re-encoded).
        self.assertIn("Access denied for user 'j\u00fcrgen'", unicode_user["message"])
        self.assertIn("Connection refused", refused["message"])
        self.assertIn("to database 'no_such_db'", no_db["message"])
        self.assertEqual([self.target()] * 3, [procedural["target"], sub["target"], plain["target"]])
        self.assertTrue(all(c["depth"] == 3 for c in calls))
        log = site.read_log()
        for text in ("Error in function: mysqli::__construct():", "Error in function: mysqli_connect():",
                     "Error in function: mysqli_real_connect():"):
            self.assertIn("[DBG1] " + text, log)
        self.assertEqual(1, log.count("Error in function: mysqli::__construct():"))

        # A failed connect while the request is not collected: the log lines only.
        site.set_registered(0)
        before = len(site.blocks())
        self.assertEqual(200, site.request("/quiet.php")[0])
        self.assertTrue(site.wait_log("Error in function: mysqli_connect():", count=3), site.diagnostics())
        self.assertEqual(before, len(site.blocks()))

    def test_mode_zero_reports_nothing(self):
        site = self.start({"qx.sql_mode": 0, "qx.slow_sql_threshold": 0})
        status, body, block = site.block_for("/mode0.php")
        self.assertEqual((200, "caught|done"), (status, body), site.diagnostics())
        self.assertEqual([], block.calls())


if __name__ == "__main__":
    qxharness.run_tests()
