"""PDO on SQLite inside a real `php -S`: connections, queries, prepared
statements, transactions and failures become remote method events with the
connection's DIAG_ARG text and the SQL text reduced by qx.sql_mode; the
script's own results and exceptions are never disturbed."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

METHODS = [("PDO", "__construct"), ("PDO", "query"), ("PDO", "exec"), ("PDO", "prepare"),
           ("PDOStatement", "execute"), ("PDO", "rollBack"), ("PDO", "beginTransaction"), ("PDO", "commit")]
POINTS = "".join("[%s%s]\nclass=%s\nmethod=%s\nlayer=DB\n" % (c, m, c, m) for c, m in METHODS) + \
    "[inner]\nmethod=inner\nlayer=App\n"

SQLITE_DIAG = "DIAG_ARG:type=PDO&db_type=sqlite&db_ds=&db_db=&target=&conn_string=php:///"

SCRIPTS = {
    "calls.php": r"""<?php
$db = new PDO('sqlite::memory:', 'someone', 'sqlite-secret');
$db->exec('create table t (id integer, name text)');
$db->exec("insert into t values (42, 'bob'), (7, 'amy')");
function inner($db) { return $db->query('select count(*) from t')->fetchColumn(); }
echo inner($db);
$a = $db->prepare('select name from t where id = ?');
$b = $db->prepare("select id from t where name = 'amy'");
$a->execute([42]); echo '|', $a->fetchColumn();
$b->execute(); echo '|', $b->fetchColumn();
$a->execute([7]); echo '|', $a->fetchColumn();
$q = $db->query('select 1'); $q->execute();
$db->beginTransaction(); $db->exec('delete from t'); $db->rollBack();
echo '|', $db->query('select count(*) from t')->fetchColumn();
""",
    "failures.php": r"""<?php
$db = new PDO('sqlite::memory:');
try { $db->query('select nope from missing'); } catch (PDOException $e) { echo get_class($e), ':', $e->getMessage(); }
try { $db->rollBack(); } catch (PDOException $e) { echo '|', $e->getMessage(); }
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
var_dump($db->exec('delete from missing'));
""",
    "classes.php": r"""<?php
class Stmt extends PDOStatement { protected function __construct() {} }
class Db extends PDO {
    public function __construct($dsn) { parent::__construct($dsn); $this->setAttribute(PDO::ATTR_STATEMENT_CLASS, ['Stmt', []]); }
    public function errorInfo(): array { echo '[user errorInfo]'; return parent::errorInfo(); }
}
class Sql { public static $n = 0; public function __toString(): string { self::$n++; return 'select 3'; } }
$db = new Db('sqlite::memory:');
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
$st = $db->prepare('select 2');
$st->execute();
echo get_class($st), ':', $st->fetchColumn();
echo '|', $db->query(new Sql())->fetchColumn(), ':', Sql::$n;
var_dump($db->query('select bad'));
// The probe keeps ids, not the objects: they go when the script drops them.
class Gone extends PDO { public function __destruct() { echo '[gone]'; } }
$g = new Gone('sqlite::memory:'); $s = $g->prepare('select 1'); $s->execute();
$s = null; $g = null; echo '|end';
""",
    "limit.php": r"""<?php
$db = new PDO('sqlite::memory:');
for ($i = 0; $i < 6; $i++) { $db->query("select $i"); }
for ($i = 0; $i < 6; $i++) { try { new PDO('nosuchdriver:x'); } catch (PDOException $e) {} }
echo 'done';
""",
    "abandon.php": r"""<?php
class S extends PDOStatement {
    protected function __construct() {
        if (isset($_GET['fatal'])) { $x = str_repeat('x', 512 << 20); }
        throw new RuntimeException('from the statement');
    }
}
$db = new PDO('sqlite::memory:');
$db->setAttribute(PDO::ATTR_STATEMENT_CLASS, ['S', []]);
try { $db->query('select 1'); } catch (RuntimeException $e) { echo 'caught ', $e->getMessage(); }
""",
    "long.php": r"""<?php
$db = new PDO('sqlite::memory:');
try { $db->query("SELECT '" . str_repeat("\\'", 2 << 20)); } catch (PDOException $e) { echo 'failed'; }
$st = $db->prepare("select 1 where 'x' <> '" . str_repeat('secret', 1 << 18) . "'");
$st->execute(); echo '|', $st->fetchColumn();
""",
    "modes.php": r"""<?php
$db = new PDO('sqlite::memory:');
$db->exec("create table t1 (id integer, name text)");
$db->query("select * from t1 where id = 42 and name = 'bob'");
try { $db->exec("select 1 -- \n[01/01/2026 - 00:00:00 p1] [ERROR] forged\r\n"); } catch (PDOException $e) {}
echo 'ok';
""",
}


def start(test, overrides):
    site = InstrumentedSite()
    test.addCleanup(site.close)
    settings = {"qx.slow_sql_threshold": 0}
    settings.update(overrides)
    site.start(POINTS, SCRIPTS, settings, modules=("pdo", "pdo_sqlite"))
    return site


class PdoSqliteTest(unittest.TestCase):

    def test_calls_statements_and_transactions(self):
        site = start(self, {"qx.sql_mode": 3})
        status, body, block = site.block_for("/calls.php")
        self.assertEqual((200, "2|bob|7|amy|2"), (status, body), site.diagnostics())
        calls = block.sql_calls()
        self.assertEqual([
            ("PDO::exec", "create table t (id integer, name text)"),
            ("PDO::exec", "insert into t values (42, 'bob'), (7, 'amy')"),
            ("PDO::query", "select count(*) from t"),
            ("PDOStatement::execute", "select name from t where id = ?"),
            ("PDOStatement::execute", "select id from t where name = 'amy'"),
            ("PDOStatement::execute", "select name from t where id = ?"),
            ("PDO::query", "select 1"),
            ("PDO::beginTransaction", "BEGIN"),
            ("PDO::exec", "delete from t"),
            ("PDO::rollBack", "ROLLBACK"),
            ("PDO::query", "select count(*) from t"),
        ], [(c["name"], c["sql"]) for c in calls], site.diagnostics())
        # The connect is only registered; the statement that query() returned
        # was not prepared, so executing it again reports nothing.
        self.assertNotIn("PDO::__construct", block.names())
        for c in calls:
            self.assertEqual((SQLITE_DIAG, "sql", 0), (c["target"], c["layer_type"], c["flags"]))
            self.assertLessEqual(c["start"], c["end"])
            self.assertEqual(c["depth"], c["end_depth"])
        depths = [c["depth"] for c in calls]
        self.assertEqual([3, 3, 4, 3], depths[:4])  # inner() runs at 3, its query at 4
        log = site.read_log()
        self.assertIn("PDO::connect: connection string: " + SQLITE_DIAG, log)
        self.assertNotIn("sqlite-secret", log)
        self.assertNotIn("sqlite-secret", str(block.symbols))

    def test_failures_in_exception_and_silent_mode(self):
        site = start(self, {"qx.sql_mode": 2, "qx.slow_sql_threshold": 100000,
                            "qx.exception_max_message_length": 30})
        status, body, block = site.block_for("/failures.php")
        self.assertEqual("PDOException:SQLSTATE[HY000]: General error: 1 no such table: missing"
                         "|There is no active transaction"
                         "bool(false)\n", body, site.diagnostics())
        calls = block.sql_calls()
        self.assertEqual(["PDO::query", "PDO::rollBack", "PDO::exec"], [c["name"] for c in calls],
                         site.diagnostics())
        query, rollback, execute = calls
        def cut(text):
            return text[:30] + "..." if len(text) > 30 else text
        self.assertEqual((33, "PDOException", cut("SQLSTATE[HY000]: General error: 1 no such table: missing")),
                         (query["flags"], query["type"], query["message"]))
        self.assertIn("failures.php(3): PDO->query(", query["trace"])
        self.assertEqual((33, "PDOException", cut("There is no active transaction"), "ROLLBACK"),
                         (rollback["flags"], rollback["type"], rollback["message"], rollback["sql"]))
        self.assertEqual((33, "Function failure", "no such table: missing"),
                         (execute["flags"], execute["type"], execute["message"]))
        self.assertTrue(execute["trace"].startswith("PDO::exec()\r\n\t{main}, "), execute["trace"])
        self.assertTrue(execute["trace"].endswith("failures.php:6\r\n\t"), execute["trace"])
        self.assertIn("SQL error ( PDO::exec ):", site.read_log())

    def test_user_classes_and_arguments_that_are_not_strings(self):
        site = start(self, {"qx.sql_mode": 3})
        status, body, block = site.block_for("/classes.php")
        # The script's own errorInfo() override is not run by the probe, and
        # its Stringable SQL is converted once, by the engine's argument
        # parsing (which leaves the string in the argument the probe reads).
        self.assertEqual("Stmt:2|3:1bool(false)\n[gone]|end", body, site.diagnostics())
        calls = block.sql_calls()
        self.assertEqual([("PDOStatement::execute", "select 2", 0), ("PDO::query", "select 3", 0),
                          ("PDO::query", "select bad", 33), ("PDOStatement::execute", "select 1", 0)],
                         [(c["name"], c["sql"], c["flags"]) for c in calls], site.diagnostics())
        self.assertEqual(("Function failure", "no such column: bad"), (calls[2]["type"], calls[2]["message"]))

    def test_exception_and_fatal_error_inside_the_call(self):
        site = start(self, {})
        status, body, block = site.block_for("/abandon.php")
        self.assertEqual("caught from the statement", body, site.diagnostics())
        self.assertEqual([("PDO::query", 33, "RuntimeException", "from the statement")],
                         [(c["name"], c["flags"], c["type"], c["message"]) for c in block.sql_calls()])
        # A fatal error inside the call ends the script as the engine ends it
        # (the query itself is no failure of the database); the worker goes
        # on serving and reporting.
        status, body, block = site.block_for("/abandon.php?fatal=1")
        self.assertIn("Allowed memory size", body)
        self.assertNotIn("caught", body)
        self.assertEqual([("PDO::query", 0)], [(c["name"], c["flags"]) for c in block.sql_calls()])
        for _ in range(2):
            status, body, block = site.block_for("/abandon.php")
            self.assertEqual("caught from the statement", body, site.diagnostics())
            self.assertEqual([("PDO::query", 3, 33)],
                             [(c["name"], c["depth"], c["flags"]) for c in block.sql_calls()])

    def test_max_functions_bounds_queries_and_failed_connects(self):
        site = start(self, {"qx.max_functions": 2})
        status, body, block = site.block_for("/limit.php")
        self.assertEqual("done", body, site.diagnostics())
        # A limit of N lets N + 1 calls through; failed connects count too, so
        # none of them is reported once the queries used the limit up.
        self.assertEqual(["PDO::query"] * 3, block.names(), site.diagnostics())

        site.stop_server()
        site.start_server(overrides={"qx.max_functions": 2, "qx.slow_sql_threshold": 100000})
        status, body, block = site.block_for("/limit.php")
        failed = block.calls()
        self.assertEqual(["PDO::__construct"] * 3, [c["name"] for c in failed], site.diagnostics())
        for c in failed:
            self.assertEqual((33, "PDOException", 3, False), (c["flags"], c["type"], c["depth"], c["remote"]))
            self.assertEqual("could not find driver", c["message"])

    def test_long_texts_are_reduced_from_their_head(self):
        # Only the first 16 KiB are read: the unclosed quote may be a literal
        # and so is hidden, and so is the literal that the bound cuts.
        site = start(self, {"qx.sql_mode": 2})
        status, body, block = site.block_for("/long.php")
        self.assertEqual("failed|1", body, site.diagnostics())
        self.assertEqual([("PDO::query", "SELECT ?...", 33), ("PDOStatement::execute", "select ? where ? <> ?...", 0)],
                         [(c["name"], c["sql"], c["flags"]) for c in block.sql_calls()], site.diagnostics())

    def test_each_sql_mode(self):
        sql = "select * from t1 where id = 42 and name = 'bob'"
        expected = {0: None, 1: "SELECT", 2: "select * from t? where id = ? and name = ?", 3: sql, 7: sql}
        site = start(self, {"qx.sql_mode": 0})
        for mode, reduced in expected.items():
            if mode:
                site.stop_server()
                site.start_server(overrides={"qx.sql_mode": mode, "qx.slow_sql_threshold": 0})
            status, body, block = site.block_for("/modes.php")
            self.assertEqual("ok", body)
            queries = [c["sql"] for c in block.sql_calls() if c["name"] == "PDO::query"]
            self.assertEqual([] if reduced is None else [reduced], queries, "mode %d\n%s" % (mode, site.diagnostics()))
        # SQL texts reach the log (DBG2) without their line breaks.
        self.assertIn("forged", site.read_log())
        self.assertEqual([], [line for line in site.log_lines() if line.startswith("[01/01/2026")])


if __name__ == "__main__":
    qxharness.run_tests()
