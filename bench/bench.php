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

// A page as an application renders it: records loaded and sorted, a layout
// and a table rendered through small templates, prices and dates formatted,
// text escaped; a few thousand calls, user and internal. Ten functions of
// the benchmark are listed (see run_benchmark.py), eight of them here.
function loadItems($count) {
    $items = [];
    for ($i = 0; $i < $count; $i++) {
        $items[] = ['id' => $i, 'name' => 'Item <' . dechex($i * 7919) . '> & co', 'price' => ($i * 37) % 1000 + 0.99,
                    'tags' => ['t' . ($i % 5), 't' . ($i % 7)], 'stock' => $i % 13, 'added' => 1600000000 + $i * 86400];
    }
    return $items;
}
function compareItems($a, $b) { return $a['price'] <=> $b['price'] ?: $a['id'] <=> $b['id']; }
function sortItems(array $items) { usort($items, 'compareItems'); return $items; }
function escape($text) { return htmlspecialchars((string)$text, ENT_QUOTES, 'UTF-8'); }
function formatPrice($price) { return number_format($price, 2, '.', ',') . ' EUR'; }
function formatDate($time) { return gmdate('Y-m-d', $time); }
function render($template, array $vars) {
    $pairs = [];
    foreach ($vars as $key => $value) { $pairs['{' . $key . '}'] = $value; }
    return strtr($template, $pairs);
}
function renderRow(array $item) {
    return render('<tr class="{class}"><td>{id}</td><td>{name}</td><td>{price}</td><td>{tags}</td><td>{added}</td></tr>',
                  ['class' => $item['stock'] > 0 ? 'in' : 'out', 'id' => $item['id'], 'name' => escape($item['name']),
                   'price' => formatPrice($item['price']), 'tags' => escape(implode(', ', $item['tags'])),
                   'added' => formatDate($item['added'])]);
}
function renderTable(array $items) {
    $rows = array_map('renderRow', $items);
    return '<table>' . implode("\n", $rows) . '</table>';
}
function summarize(array $items) {
    $inStock = array_filter($items, function ($item) { return $item['stock'] > 0; });
    $total = array_sum(array_column($inStock, 'price'));
    return sprintf('%d of %d in stock, worth %s', count($inStock), count($items), formatPrice($total));
}
function renderSection($title, $body) { return render('<section><h2>{title}</h2>{body}</section>', ['title' => escape($title), 'body' => $body]); }
function renderSidebar(array $items) {
    $tags = [];
    foreach ($items as $item) { foreach ($item['tags'] as $tag) { $tags[$tag] = ($tags[$tag] ?? 0) + 1; } }
    ksort($tags);
    $links = [];
    foreach ($tags as $tag => $n) { $links[] = '<a href="/tag/' . rawurlencode($tag) . '">' . escape(ucfirst($tag)) . " ($n)</a>"; }
    return renderSection('Tags', implode(' ', $links));
}
function renderHeader($title) { return '<header>' . escape(strtoupper($title)) . '</header>'; }
function renderFooter() { return '<footer>' . escape(str_repeat('-', 3) . ' ' . gmdate('Y', 1700000000)) . '</footer>'; }
function renderPage($count) {
    $items = sortItems(loadItems($count));
    // Like any application, the page reads its request from $_SERVER.
    $html = renderHeader('Catalogue ' . parse_url($_SERVER['REQUEST_URI'] ?? '/', PHP_URL_PATH));
    $html .= renderSection('Summary', escape(summarize($items)));
    $html .= renderSection('Items', renderTable($items));
    $html .= renderSidebar($items);
    for ($i = 0; $i < 8; $i++) { $html .= renderSection('Note ' . $i, escape(str_pad((string)$i, 20, '.'))); }
    $html .= renderFooter();
    return $html;
}

$mode = $_GET['mode'] ?? 'empty';
if ($mode === 'cpu') {
    // The CPU time this server process has used so far, in microseconds: the
    // difference between two such requests is what the requests between them
    // cost the server, the extension's activation and deactivation included.
    $u = getrusage();
    echo $u['ru_utime.tv_sec'] * 1000000 + $u['ru_utime.tv_usec'] + $u['ru_stime.tv_sec'] * 1000000 + $u['ru_stime.tv_usec'];
    return;
}
if ($mode === 'page') {
    $html = renderPage((int)($_GET['items'] ?? 300));
    echo strlen($html), ' ', md5($html);
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
