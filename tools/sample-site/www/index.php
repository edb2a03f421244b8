<?php
// Front page of the sample shop.
echo "<h1>Sample shop</h1>\n";
echo "<p>Try <a href=\"/catalog.php?id=42\">an item</a>.</p>\n";
