<?php
// Served by `php -S` for bench/run_benchmark.py. One request makes `n` calls
// of an unlisted or of a listed (fast) function, or of a fast database query
// (mode sql, PDO on SQLite in memory), or none at all, and answers
// the loop's own time in nanoseconds, so the web server's share stays out of
// the per-call figures.
function unlistedFast($x) { return $x + 1; }
function listedFast($x) { return $x + 1; }
// A function with some work in it, closer to application code: a few
// internal calls and string handling.
function unlistedWork($x) { return strlen(str_pad(dechex($x), 24, '0', STR_PAD_LEFT) . implode(',', [$x, $x])) + $x; }

$mode = $_GET['mode'] ?? 'empty';
if ($mode === 'cpu') {
    // The CPU time this server process has used so far, in microseconds: the
    // difference between two such requests is what the requests between them
    // cost the server, the extension's activation and deactivation included.
    $u = getrusage();
    echo $u['ru_utime.tv_sec'] * 1000000 + $u['ru_utime.tv_usec'] + $u['ru_stime.tv_sec'] * 1000000 + $u['ru_stime.tv_usec'];
    return;
}
$n = (int)($_GET['n'] ?? 0);
$sum = 0;
$start = hrtime(true);
if ($mode === 'unlisted') {
    for ($i = 0; $i < $n; $i++) { $sum = unlistedFast($sum); }
} elseif ($mode === 'work') {
    for ($i = 0; $i < $n; $i++) { $sum = unlistedWork($i) & 0xffff; }
} elseif ($mode === 'listed') {
    for ($i = 0; $i < $n; $i++) { $sum = listedFast($sum); }
} elseif ($mode === 'sql') {
    // A fast query on an SQLite database in memory; the connection is made
    // before the timed loop.
    $db = new PDO('sqlite::memory:');
    $start = hrtime(true);
    for ($i = 0; $i < $n; $i++) { $sum += $db->query('SELECT 1') !== false ? 1 : 0; }
}
$elapsed = hrtime(true) - $start;
echo $elapsed, ' ', $sum;
