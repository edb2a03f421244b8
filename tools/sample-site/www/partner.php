<?php
// A partner page: it asks the shop's own catalog for an item over HTTP with
// curl, so the probe reports a correlated pair of requests: this one, with
// its outgoing call, and the catalog request it causes.
$port = (int)($_SERVER['SERVER_PORT'] ?? 80);
$ch = curl_init("http://127.0.0.1:$port/catalog.php?id=" . (int)($_GET['id'] ?? 42));
curl_setopt_array($ch, [CURLOPT_RETURNTRANSFER => true, CURLOPT_TIMEOUT => 5]);
$item = curl_exec($ch);
echo 'Partner offer: ', $item === false ? "unavailable\n" : $item;
