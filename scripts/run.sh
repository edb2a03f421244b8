#!/usr/bin/env bash
# Shows the probe at work on this machine: installs what is needed, builds,
# starts the stand-in aggregator, PHP's built-in web server with Quillet
# loaded on a small sample site, and agent-daemon, which registers the probe;
# then makes a few requests and prints what the aggregator received. Finally it
# stops everything it started and removes what it created. Every wait is
# bounded.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUILLET_BUILD_DIR:-$root/build}"
python=/usr/bin/python3
php="${QUILLET_PHP:-/usr/bin/php}"
block=/dev/shm/QX_PHPAgent
url_semaphore=/dev/shm/sem.UrlTableSem

bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh"

extension="$build/extension/Quillet.so"
daemon="$build/daemon/agent-daemon"
[ -f "$extension" ] || { echo "run: $extension was not built" >&2; exit 1; }

# The block's name is fixed for the machine: wait until no test of another
# build tree is using it (the tests take the same lock).
exec 9>/tmp/quillet-qx-agent-block.lock
flock -w 600 9 || { echo "run: the registration block stayed in use by tests" >&2; exit 1; }

if [ -e "$block" ]; then
  echo "run: $block already exists (a probe is registered on this machine); not touching it" >&2
  exit 1
fi

# The URL table's semaphore outlives the server by design; remove it afterwards
# only when this run is the one that made it.
semaphore_was_there=""
[ -e "$url_semaphore" ] && semaphore_was_there=1

work="$(mktemp -d /tmp/quillet-run.XXXXXX)"
aggregator_pid=""
server_pid=""
daemon_pid=""
block_written=""
mariadb_pid=""

cleanup() {
  # The daemon first: on SIGTERM it withdraws the registration and removes the block.
  if [ -n "$daemon_pid" ]; then
    kill -TERM "$daemon_pid" 2>/dev/null || true
    for _ in $(seq 1 30); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
  fi
  if [ -n "$mariadb_pid" ]; then
    kill -TERM "$mariadb_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$mariadb_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$mariadb_pid" 2>/dev/null || true
    wait "$mariadb_pid" 2>/dev/null || true
  fi
  for pid in "$server_pid" "$aggregator_pid"; do
    if [ -n "$pid" ]; then
      # Each was started in a process group of its own (the server's workers too).
      kill -TERM -- "-$pid" 2>/dev/null || true
    fi
  done
  sleep 0.3
  for pid in "$server_pid" "$aggregator_pid"; do
    if [ -n "$pid" ]; then
      kill -KILL -- "-$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  if [ -n "$block_written" ]; then rm -f "$block"; fi
  if [ -z "$semaphore_was_there" ]; then rm -f "$url_semaphore"; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
  "$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Waits up to $2 tenths of a second for the shell condition $1.
wait_until() {
  local tries=0
  until eval "$1"; do
    tries=$((tries + 1))
    [ "$tries" -ge "$2" ] && return 1
    sleep 0.1
  done
}

registered() {
  [ -s "$block" ] && [ "$(od -An -N1 -tu1 "$block" | tr -d ' ')" = "1" ]
}

# Installation folder: point file and URL rules of the sample site.
install_dir="$work/install"
mkdir -p "$install_dir/etc/functions.d" "$install_dir/tmp"
cp "$root/tools/sample-site/etc/core-functions.ini" "$root/tools/sample-site/etc/url-regex.txt" "$install_dir/etc/"
docroot="$root/tools/sample-site/www"
log="$work/quillet.log"

echo "== starting the stand-in aggregator"
received="$work/aggregator.jsonl"
setsid "$python" "$root/tools/standin_aggregator.py" --gen-py "$build/tools/gen-py" --port 0 --http-port 0 \
  >"$received" 2>"$work/aggregator.err" &
aggregator_pid=$!
wait_until '[ "$(grep -c "\"listening\"" "$received" 2>/dev/null)" -ge 2 ]' 100 \
  || { cat "$work/aggregator.err" >&2; echo "run: aggregator did not start" >&2; exit 1; }
port_of() {
  "$python" -c 'import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    if r.get("record") == "listening" and r.get("service") == sys.argv[2]:
        print(r["port"])
        break' "$received" "$1"
}
aggregator_port="$(port_of events)"
registration_port="$(port_of registration)"
echo "   event channel on 127.0.0.1:$aggregator_port, registration on 127.0.0.1:$registration_port"

# A private MariaDB for the mysqli page, on a socket in the work folder, when
# the server and PHP's mysqli are installed; without them the page is skipped.
demo_socket=""
mysqli_modules=()
extension_dir="$("$php" -n -r 'echo ini_get("extension_dir");')"
if [ -x /usr/sbin/mariadbd ] && [ -x /usr/bin/mariadb-install-db ] && [ -f "$extension_dir/mysqli.so" ]; then
  echo "== starting a private MariaDB for the mysqli page"
  dbdir="$work/mariadb"
  mkdir -p "$dbdir/tmp"
  as_root=()
  [ "$(id -u)" = 0 ] && as_root=(--user=root)
  if /usr/bin/mariadb-install-db --no-defaults --datadir="$dbdir/data" --auth-root-authentication-method=normal \
       --skip-test-db "${as_root[@]}" >"$dbdir/install.log" 2>&1; then
    /usr/sbin/mariadbd --no-defaults --datadir="$dbdir/data" --socket="$dbdir/mysqld.sock" --skip-networking \
      --pid-file="$dbdir/mysqld.pid" --tmpdir="$dbdir/tmp" --log-error="$dbdir/error.log" \
      --innodb-buffer-pool-size=16M --skip-log-bin "${as_root[@]}" >"$dbdir/server.out" 2>&1 &
    mariadb_pid=$!
    if wait_until "/usr/bin/mariadb --no-defaults -uroot -S '$dbdir/mysqld.sock' -e 'SELECT 1' >/dev/null 2>&1" 300 \
       && /usr/bin/mariadb --no-defaults -uroot -S "$dbdir/mysqld.sock" -e "
            CREATE DATABASE shop; CREATE USER 'demo'@'localhost' IDENTIFIED BY 'demo-secret';
            GRANT ALL ON shop.* TO 'demo'@'localhost';
            CREATE TABLE shop.orders (id INT PRIMARY KEY, total DECIMAL(8,2), status VARCHAR(10));
            INSERT INTO shop.orders VALUES (1, 19.90, 'open'), (2, 5.00, 'shipped'), (3, 42.00, 'open');"; then
      demo_socket="$dbdir/mysqld.sock"
      mysqli_modules=(-d extension=mysqlnd -d extension=mysqli)
      echo "   MariaDB on $demo_socket"
    else
      echo "   MariaDB did not start; the mysqli page is skipped"
    fi
  else
    echo "   mariadb-install-db failed; the mysqli page is skipped"
  fi
fi

echo "== starting php -S with Quillet (2 workers)"
port="$(free_port)"
# Two workers: the partner page calls the server it runs on.
QX_DEMO_MYSQL_SOCKET="$demo_socket" PHP_CLI_SERVER_WORKERS=2 setsid "$php" -n "${mysqli_modules[@]}" \
  -d extension=pdo -d extension=pdo_sqlite \
  -d "extension=curl" \
  -d "zend_extension=$extension" \
  -d "qx.slow_sql_threshold=0" \
  -d "qx.install_dir=$install_dir" \
  -d "qx.log_file=$log" \
  -d "qx.log_level=4" \
  -d "qx.events_channel_port=$aggregator_port" \
  -S "127.0.0.1:$port" -t "$docroot" >"$work/server.out" 2>&1 &
server_pid=$!
wait_until "curl -s -o /dev/null http://127.0.0.1:$port/index.php" 100 \
  || { cat "$work/server.out" >&2; echo "run: php -S did not start" >&2; exit 1; }
echo "   serving $docroot on 127.0.0.1:$port"

echo "== registering the probe"
if [ -x "$daemon" ]; then
  cat >"$install_dir/etc/qx-daemon.ini" <<INI
[daemon]
log_file=$work/daemon.log
log_level=3
probe_name=QuilletDemo
register_url=http://127.0.0.1:$registration_port/commander/registrar/register
health_check_url=http://127.0.0.1:$port/index.php
retry_interval=2
INI
  "$daemon" --path "$install_dir" >"$work/daemon.out" 2>&1 &
  daemon_pid=$!
  block_written=1
  wait_until registered 200 \
    || { cat "$work/daemon.out" "$work/daemon.log" >&2 || true; echo "run: agent-daemon did not register" >&2; exit 1; }
  echo "   agent-daemon registered and wrote $block"
  if grep -q '"record": "registration"' "$received"; then
    echo "   its registration document reached the aggregator"
  fi
else
  echo "   $daemon was not built: writing $block directly"
  "$python" - "$block" <<'PY'
import os, socket, sys, time
data = bytearray(392)
data[4:8] = (10).to_bytes(4, "little")
texts = {8: "QuilletDemo", 136: socket.getfqdn(), 264: "QuilletDemo.%d" % int(time.time())}
for offset, text in texts.items():
    raw = text.encode("utf-8")[:127]
    data[offset:offset + len(raw)] = raw
data[0] = 1
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
os.write(fd, bytes(data))
os.close(fd)
PY
  block_written=1
fi

echo "== requests"
requests=0
paths=("/index.php" "/catalog.php?id=42" "/catalog.php?id=0" "/orders.php?customer=7")
[ -n "$demo_socket" ] && paths+=("/open-orders.php")
for path in "${paths[@]}"; do
  status="$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 "http://127.0.0.1:$port$path")"
  echo "   GET $path -> $status"
  requests=$((requests + 1))
done
# A request that continues a transaction of another server (correlation header).
status="$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 -H 'X-Kolvane-Diag-HTTP-Color: !DxIADmRlbW8tY2FsbGVyLTAx' \
  "http://127.0.0.1:$port/catalog.php?id=7")"
echo "   GET /catalog.php?id=7 with a correlation header -> $status"
requests=$((requests + 1))
# A page that calls the catalog by curl: two correlated requests.
status="$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 "http://127.0.0.1:$port/partner.php?id=42")"
echo "   GET /partner.php?id=42 (calls /catalog.php by curl) -> $status"
requests=$((requests + 2))

wait_until "[ \$(grep -c '\"record\": \"blockEnd\"' '$received') -ge $requests ]" 100 \
  || echo "run: only $(grep -c '"record": "blockEnd"' "$received") of $requests blocks arrived"

echo
echo "== what the aggregator received"
"$python" "$root/scripts/show-aggregator-output.py" "$received"
echo
echo "== the extension's log (warnings and errors)"
grep -E '\[(ERROR|WARNING)\]' "$log" || echo "   none"
