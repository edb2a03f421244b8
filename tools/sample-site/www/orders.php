<?php
// Orders of a customer, from a small SQLite database kept in memory.
$customer = isset($_GET['customer']) ? (int)$_GET['customer'] : 0;
$db = new PDO('sqlite::memory:');
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_EXCEPTION);
$db->exec('CREATE TABLE orders (id INTEGER PRIMARY KEY, customer INTEGER, total REAL)');
$db->exec('INSERT INTO orders (customer, total) VALUES (7, 19.90), (7, 5.00), (8, 42.00)');
$orders = $db->prepare('SELECT id, total FROM orders WHERE customer = ? ORDER BY id');
$orders->execute([$customer]);
echo "<h1>Orders of customer $customer</h1>\n<ul>\n";
foreach ($orders->fetchAll(PDO::FETCH_ASSOC) as $row) {
    printf("<li>order %d: %.2f</li>\n", $row['id'], $row['total']);
}
echo "</ul>\n";
