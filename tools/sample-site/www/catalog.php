<?php
// An item page: its lookup is listed in the point file and slow enough
// (over qx.slow_function_threshold) to be reported.
function catalog_lookup(int $id): array
{
    usleep(60000);
    return ['id' => $id, 'name' => 'Item ' . $id];
}

function price_of(array $item): string
{
    if ($item['id'] === 0) {
        throw new InvalidArgumentException('no such item');
    }
    return number_format($item['id'] * 1.5, 2);
}

$item = catalog_lookup((int)($_GET['id'] ?? 1));
try {
    $price = price_of($item);
    echo $item['name'], ': ', $price, "\n";
} catch (InvalidArgumentException $e) {
    http_response_code(404);
    echo "not found\n";
}
