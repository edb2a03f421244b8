"""Listed functions that must be captured whatever shape the code gives them:
trait methods (under the trait's or the using class's name), user methods
named like built-in functions, internal methods reached through built-in
subclasses, built-ins the compiler turns into dedicated operations; and the
probe's own calls into PHP, which are never the application's."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qxharness  # noqa: E402
from instrumentation_blocks import InstrumentedSite, points  # noqa: E402


SCRIPTS = {
    "traits.php": """<?php
trait Greets { public function hello() { return 'h'; } public function bye() { return 'b'; } }
trait Wraps { use Greets; public function wrap() { return '['; } }
class Person { use Greets; }
class Robot { use Wraps { wrap as enclose; } }
$p = new Person(); $r = new Robot();
echo $p->hello(), $p->bye(), $r->hello(), $r->enclose();
""",
    "builtin_names.php": """<?php
class Collection { public function count() { return 7; } }
class Util { public static function stat() { return 'st'; } }
$c = new Collection();
echo $c->count(), Util::stat(), count([1, 2]), stat(__FILE__) ? 'ok' : 'no';
""",
    "subclass.php": """<?php
$e = new RuntimeException('rt');
$f = new InvalidArgumentException('ia');
echo $e->getMessage(), $f->getMessage(), (new Exception('ex'))->getMessage();
""",
    "compiled.php": """<?php
function cb($v) { return $v; }
$a = [1, 2, 3]; $s = str_repeat('x', 5);
echo strlen($s), count($a), is_array($a) ? 'y' : 'n', array_key_exists(1, $a) ? 'k' : '-', call_user_func('cb', 'c');
""",
    "anonymous.php": """<?php
trait Greets { public function hello() { return 'h'; } }
function leaf() { return 'l'; }
function fails() { throw new class('anon') extends RuntimeException {}; }
$o = new class { use Greets; public function run($db) { var_dump($db->query('select nope')); return leaf(); } };
$db = new PDO('sqlite::memory:');
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
echo $o->hello(), $o->run($db);
try { fails(); } catch (RuntimeException $e) { echo '|', $e->getMessage(); }
""",
    "own_calls.php": """<?php
function thrower() { throw new Exception('boom'); }
try { thrower(); } catch (Exception $e) { echo 'caught'; }
""",
}


class ListedNamesTest(unittest.TestCase):

    def site(self, entries, overrides=None, modules=()):
        site = InstrumentedSite()
        self.addCleanup(site.close)
        settings = {"qx.slow_function_threshold": 0}
        settings.update(overrides or {})
        site.start(points(*entries), SCRIPTS, settings, modules=modules)
        return site

    def test_trait_methods_under_the_trait_or_the_using_class(self):
        site = self.site([("Greets", "hello"), ("Person", "bye"), ("Robot", "enclose")])
        _, body, block = site.block_for("/traits.php")
        self.assertEqual("hbh[", body)
        self.assertEqual(["Person::hello", "Person::bye", "Robot::hello", "Robot::enclose"], block.names(),
                         site.diagnostics())

    def test_user_methods_named_like_builtins_are_user_methods(self):
        site = self.site([("Collection", "count"), ("Util", "stat")])
        _, body, block = site.block_for("/builtin_names.php")
        self.assertEqual("7st2ok", body)
        self.assertEqual(["Collection::count", "Util::stat"], block.names(), site.diagnostics())
        self.assertNotIn("Wrapping function", site.read_log())

    def test_internal_method_reached_through_builtin_subclasses(self):
        site = self.site([("Exception", "getMessage")])
        _, body, block = site.block_for("/subclass.php")
        self.assertEqual("rtiaex", body)
        self.assertEqual(["Exception::getMessage"] * 3, block.names(), site.diagnostics())

    def test_builtins_the_compiler_replaces_are_captured_when_listed(self):
        site = self.site([(None, "strlen"), (None, "count"), (None, "is_array"), (None, "array_key_exists"),
                          (None, "call_user_func")])
        _, body, block = site.block_for("/compiled.php")
        self.assertEqual("53ykc", body)
        self.assertEqual(["strlen", "count", "is_array", "array_key_exists", "call_user_func"], block.names(),
                         site.diagnostics())

    def test_anonymous_class_names_are_sent_and_logged_as_php_prints_them(self):
        # The engine's name goes on after a NUL with the declaring file and line.
        site = self.site([("Greets", "hello"), (None, "leaf"), (None, "fails"), ("PDO", "__construct"),
                          ("PDO", "query")], modules=("pdo", "pdo_sqlite"))
        _, body, block = site.block_for("/anonymous.php")
        self.assertEqual("hbool(false)\nl|anon", body)
        calls = {c["name"]: c for c in block.calls()}
        self.assertIn("class@anonymous::hello", calls, site.diagnostics())
        leaf = block.locations[calls["leaf"]["location"]]
        self.assertEqual(("class@anonymous", "run"), (block.symbols[leaf["callerClassNameId"]],
                                                      block.symbols[leaf["callerMethodNameId"]]))
        self.assertEqual("RuntimeException@anonymous", calls["fails"]["type"])
        failed_sql = [c for c in block.sql_calls() if c["flags"] == 33]
        self.assertEqual(1, len(failed_sql), site.diagnostics())
        self.assertIn("class@anonymous::run()", failed_sql[0]["trace"])
        self.assertEqual([], [v for v in block.symbols.values() if "\x00" in v])
        self.assertEqual([], [c for c in block.calls() if "\x00" in (c["type"] or "") + (c["trace"] or "")])
        log = site.read_log()
        self.assertIn("class@anonymous::hello", log)
        self.assertNotIn("\x00", log)

    def test_probe_reading_an_exception_captures_nothing(self):
        site = self.site([(None, "thrower"), ("Exception", "getMessage"), ("Exception", "getTraceAsString")])
        _, body, block = site.block_for("/own_calls.php")
        self.assertEqual("caught", body)
        calls = block.calls()
        self.assertEqual(["thrower"], [c["name"] for c in calls], site.diagnostics())
        self.assertEqual((33, "boom"), (calls[0]["flags"], calls[0]["message"]))


if __name__ == "__main__":
    qxharness.run_tests()
