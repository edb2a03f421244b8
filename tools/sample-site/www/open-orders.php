<?php
// Open orders, read through mysqli from the demo database that scripts/run.sh
// starts when MariaDB is installed (its socket comes in QX_DEMO_MYSQL_SOCKET).
// The query waits a little, so it is slow enough to be reported.
$socket = getenv('QX_DEMO_MYSQL_SOCKET');
if (!$socket || !extension_loaded('mysqli')) {
    http_response_code(503);
    echo "no demo database\n";
    return;
}
$db = new mysqli('localhost', 'demo', 'demo-secret', 'shop', 0, $socket);
$result = $db->query("SELECT id, total, SLEEP(0.06) FROM orders WHERE status = 'open' ORDER BY id");
foreach ($result as $row) {
    echo 'order ', $row['id'], ': ', $row['total'], "\n";
}
