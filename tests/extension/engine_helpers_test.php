<?php
// Checks the object identity side table and resource ids inside the engine.
// Run with the qx_engine_helpers_test module loaded; prints "OK" when every
// check passes, else the failures, and exits non-zero.
declare(strict_types=1);
error_reporting(E_ALL);

$failures = [];
$notices = [];
set_error_handler(function (int $no, string $msg) use (&$notices) { $notices[] = "$no: $msg"; return true; });

function check(bool $ok, string $what): void {
    global $failures;
    if (!$ok) { $failures[] = $what; }
}

class Plain {}
final class Magic {
    public function __set($n, $v) { throw new LogicException("__set ran for $n"); }
    public function __get($n) { throw new LogicException("__get ran for $n"); }
    public function __isset($n) { throw new LogicException("__isset ran for $n"); }
}
readonly class Frozen { public function __construct(public int $x) {} }
final class Sealed { public int $a = 1; }

// First identities of the process, stable on repeat.
$a = new Plain();
$b = new Plain();
check(qx_test_known_id($a) === -1, "no identity before the first request for one");
check(qx_test_object_id($a) === 8765, "first identity is 8765");
check(qx_test_object_id($b) === 8766, "second identity is 8766");
check(qx_test_object_id($a) === 8765, "asking again keeps the identity");
check(qx_test_known_id($b) === 8766, "known identity is read back");

// The object itself is never touched.
check(get_object_vars($a) === [], "no property added to a plain object");
ob_start(); var_dump($a); $dump = ob_get_clean();
check(strpos($dump, '__vorn') === false, "dump shows no identity property");
try {
    $m = new Magic();
    $mid = qx_test_object_id($m);
    check($mid === 8767, "object with magic accessors gets an identity");
} catch (Throwable $e) { check(false, "magic accessors ran: " . $e->getMessage()); }
try {
    $f = new Frozen(3);
    check(qx_test_object_id($f) === 8768, "readonly class object gets an identity");
    check(get_object_vars($f) === ['x' => 3], "readonly object unchanged");
} catch (Throwable $e) { check(false, "readonly class threw: " . $e->getMessage()); }
$s = new Sealed();
check(qx_test_object_id($s) === 8769, "class without dynamic properties gets an identity");

// References are followed.
$r = new Plain();
$ref = &$r;
check(qx_test_object_id($ref) === qx_test_object_id($r), "a reference has its object's identity");

// An identity goes with its object: a later object at the same address starts fresh.
$last = qx_test_object_id($r);
unset($ref, $r);
$fresh = new Plain();
check(qx_test_known_id($fresh) === -1, "a new object has no identity of a freed one");
check(qx_test_object_id($fresh) === $last + 1, "the counter moves on");

// Many objects, all distinct.
$ids = [];
$keep = [];
for ($i = 0; $i < 200; $i++) { $o = new Plain(); $keep[] = $o; $ids[] = qx_test_object_id($o); }
check(count(array_unique($ids)) === 200, "200 objects have 200 identities");

// A clone is another object with its own identity.
$c = clone $a;
check(qx_test_object_id($c) !== 8765, "a clone has its own identity");

// Non-objects.
$before = qx_test_object_id(new Plain());
check(qx_test_object_id(12) === -1, "an integer has no identity");
check(qx_test_object_id("x") === -1, "a string has no identity");
check(qx_test_object_id(null) === -1, "null has no identity");
check(qx_test_object_id(new Plain()) === $before + 1, "non-objects do not move the counter");

// Resources.
$fh = fopen('php://memory', 'r');
check(qx_test_resource_id($fh) === (int)$fh, "a resource gives its handle number");
check(qx_test_resource_id(12) === -1, "an integer is not a resource");
check(qx_test_resource_id() === -1, "no value gives -1");
$rr = &$fh;
check(qx_test_resource_id($rr) === (int)$fh, "a reference to a resource gives its handle");

check($notices === [], "no notice or deprecation: " . implode('; ', $notices));

if ($failures) {
    echo "FAILED:\n  " . implode("\n  ", $failures) . "\n";
    exit(1);
}
echo "OK\n";
