"""A user class that extends an internal class whose methods are wrapped: the
engine copies the inherited method records for the subclass, and every copy
must still run the engine's own implementation (and may be timed)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite  # noqa: E402

POINTS = """
[format]
class=DateTime
method=format
layer=PHP
[modify]
class=DateTime
method=modify
layer=PHP
[construct]
class=PDO
method=__construct
layer=DB
[query]
class=PDO
method=query
layer=DB
[count]
class=ArrayObject
method=count
layer=PHP
"""

SCRIPTS = {
    "dates.php": """<?php
class D extends DateTime {}
class E extends D { public function format($f): string { return 'E:' . parent::format($f); } }
$d = new D('2020-01-02 03:04:05');
$d->modify('+1 day');
$e = new E('1999-12-31');
$plain = new DateTime('2001-02-03');
echo $d->format('Y-m-d'), '|', $e->format('Y'), '|', $plain->format('m'), '|', get_class($d);
""",
    "pdo.php": """<?php
class MyPDO extends PDO {}
$db = new MyPDO('sqlite::memory:');
$db->exec('create table t (v integer)');
$db->exec('insert into t values (7), (8)');
$sum = 0;
foreach ($db->query('select v from t') as $row) { $sum += $row['v']; }
$plain = new PDO('sqlite::memory:');
echo $sum, '|', $plain->query('select 5')->fetchColumn(), '|', get_class($db);
""",
    "arrayobject.php": """<?php
class Bag extends ArrayObject {}
$b = new Bag([1, 2, 3]);
echo count($b), '|', $b->count();
""",
}


class InternalSubclassTest(unittest.TestCase):

    def site(self, threshold):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        site.start(POINTS, SCRIPTS, {"qx.slow_function_threshold": threshold, "qx.slow_sql_threshold": threshold},
                   modules=("pdo", "pdo_sqlite"))
        return site

    def test_inherited_datetime_methods_run_and_are_timed(self):
        site = self.site(0)
        status, body, block = site.block_for("/dates.php")
        self.assertEqual((200, "2020-01-03|E:1999|02|D"), (status, body), site.diagnostics())
        # Inherited copies report the declaring class, as the engine names them.
        self.assertEqual(["DateTime::modify", "DateTime::format", "DateTime::format", "DateTime::format"],
                         block.names(), site.diagnostics())
        # The overriding user method is not listed; its parent:: call is,
        # one level deeper.
        depths = [c["depth"] for c in block.calls()]
        self.assertEqual([3, 3, 4, 3], depths)

    def test_pdo_subclass_constructs_and_queries(self):
        site = self.site(0)
        status, body, block = site.block_for("/pdo.php")
        self.assertEqual((200, "15|5|MyPDO"), (status, body), site.diagnostics())
        # The PDO methods are taken over by the database handler: a successful
        # connect is only registered, and the queries of both connections
        # (the subclass's too) are reported as database calls.
        self.assertEqual([("PDO::query", "select v from t"), ("PDO::query", "select ?")],
                         [(c["name"], c["sql"]) for c in block.calls()], site.diagnostics())

    def test_subclass_works_in_every_request_of_a_worker(self):
        site = self.site(50)
        for _ in range(3):
            status, body, block = site.block_for("/dates.php")
            self.assertEqual((200, "2020-01-03|E:1999|02|D"), (status, body))
            self.assertEqual([], block.calls())
        status, body, _ = site.block_for("/arrayobject.php")
        self.assertEqual((200, "3|3"), (status, body), site.diagnostics())


if __name__ == "__main__":
    qxharness.run_tests()
