<?php
// Checks the shared operations of the database handlers inside the engine.
// Run with the qx_sql_services_test module loaded; prints "OK" when every
// check passes, else the failures, and exits non-zero.
error_reporting(E_ALL);
$failures = [];
$notices = [];
set_error_handler(function (int $no, string $msg) use (&$notices) { $notices[] = "$no: $msg"; return true; });
function check(bool $ok, string $what): void { global $failures; if (!$ok) { $failures[] = $what; } }

#[AllowDynamicProperties]
class Props {
    public $name = "con\0nected";
    public $count = 12;
    public int $typed;
    private $hidden = 'private text';
    public $big = 0x1_0000_0005;
}
class Magic {
    public static $ran = 0;
    public $real = 'real';
    public function __get($n) { self::$ran++; return 'magic'; }
}
class Text { public function __toString(): string { throw new LogicException('converted'); } }

$p = new Props();
$p->dynamic = 'dyn';
check(qx_sql_props($p, 'name') === ['con', -7], 'a string is read up to its NUL');
check(qx_sql_props($p, 'count') === ['dflt', 12], 'an integer property');
check(qx_sql_props($p, 'big') === ['dflt', 5], 'an integer is cut to 32 bits');
check(qx_sql_props($p, 'typed') === ['dflt', -7], 'an uninitialised typed property gives the defaults');
check(qx_sql_props($p, 'hidden') === ['private text', -7], 'visibility does not matter');
check(qx_sql_props($p, 'dynamic') === ['dyn', -7], 'a dynamic property');
check(qx_sql_props($p, 'missing') === ['dflt', -7], 'a missing property');
check(qx_sql_props('text', 'name') === ['dflt', -7], 'not an object');
$m = new Magic();
check(qx_sql_props($m, 'real') === ['real', -7] && qx_sql_props($m, 'virtual') === ['dflt', -7], 'magic class');
check(Magic::$ran === 0, 'no magic getter runs');
$p->text = new Text();
check(qx_sql_props($p, 'text') === ['dflt', -7], 'an object property is no string and is not converted');

// An internal class's own properties are read through its handler, quietly;
// with a script's magic getter in the class, nothing is read at all.
if (extension_loaded('mysqli')) {
    $link = mysqli_init();
    check(qx_sql_props($link, 'connect_errno') === ['dflt', 0], 'mysqli: an integer of its own');
    check(qx_sql_props($link, 'error')[1] === -7, 'mysqli: a property not available yet');
    check(str_starts_with(qx_sql_props($link, 'client_info')[0], 'mysqlnd'), 'mysqli: a string of its own');
    $magicLink = new class extends mysqli { public function __get($n) { Magic::$ran++; return 'magic'; } };
    check(qx_sql_props($magicLink, 'client_info') === ['dflt', -7] && Magic::$ran === 0, 'mysqli subclass with __get');
} else {
    $failures[] = 'the mysqli module is not loaded';
}

function gives_text() { return "abc\0def"; }
function gives_int() { return 7; }
function throws() { throw new RuntimeException('inside'); }
check(qx_sql_call('gives_text') === [true, 'abc'], 'a string result up to its NUL');
check(qx_sql_call('gives_int') === [true, ''], 'another result gives an empty text');
check(qx_sql_call('no_such_function') === [false, ''], 'a missing function');
check(qx_sql_call('throws')[1] === '', 'a throwing function leaves nothing');
try {
    try { throw new DomainException('script'); }
    finally { qx_sql_call('throws'); qx_sql_call('gives_text'); }
} catch (Exception $e) { check(get_class($e) === 'DomainException', "the script's exception stays: " . get_class($e)); }

class Deep { public function run() { return qx_sql_backtrace(); } }
$line = __LINE__ + 1;
$trace = (new Deep())->run();
check($trace === "qx_sql_backtrace()\r\n\tDeep::run(), " . __FILE__ . ":" . ($line - 2) . "\r\n\t{main}, " . __FILE__ . ":$line\r\n\t",
      'backtrace: ' . json_encode($trace));

foreach (qx_sql_registry(new stdClass(), new stdClass()) as $failed) { check(false, "registry: $failed"); }

check($notices === [], 'no notice: ' . implode('; ', $notices));
if ($failures) { echo "FAILED\n", implode("\n", $failures), "\n"; exit(1); }
echo "OK\n";
