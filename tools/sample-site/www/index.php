<?php
// Front page of the sample shop.
echo "<h1>Sample shop</h1>\n";
echo "<p>Try <a href=\"/catalog.php?id=42\">an item</a> or <a href=\"/orders.php?customer=7\">the orders of a customer</a>.</p>\n";
