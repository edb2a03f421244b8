"""A private MariaDB server for end-to-end tests.

`MariaDBServer` initialises a data folder in a temporary directory, starts its
own `mariadbd` there on a private unix socket and a free loopback port (never a
system service, never a non-loopback address), creates a test database and a
user, and stops the server and removes everything on `stop()` (also through
`with`). Every wait is bounded.

    with MariaDBServer() as db:
        dsn = "mysql:host=127.0.0.1;port=%d;dbname=%s" % (db.port, db.database)
        db.sql("CREATE TABLE t (v INT)")        # as root, in the test database
        ... PDO / mysqli with db.user, db.password (or db.socket) ...

`available()` says whether the server programs are installed, for a test to
skip with a clear reason instead of failing on a machine without them.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

MARIADBD = "/usr/sbin/mariadbd"
INSTALL_DB = "/usr/bin/mariadb-install-db"
CLIENT = "/usr/bin/mariadb"


def available():
    return all(os.access(p, os.X_OK) for p in (MARIADBD, INSTALL_DB, CLIENT))


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class MariaDBServer:
    """One mariadbd of its own; see the module's text."""

    def __init__(self, database="qx_test", user="qx", password="qx-secret", timeout=60.0):
        self.database = database
        self.user = user
        self.password = password
        self.timeout = timeout
        self.root = None
        self.datadir = None
        self.socket = None
        self.port = None
        self.proc = None
        self._log = None

    # ---- Lifecycle -----------------------------------------------------------

    def start(self):
        if not available():
            raise RuntimeError("MariaDB server programs are not installed (scripts/install-deps.sh)")
        self.root = tempfile.mkdtemp(prefix="qx-mariadb-")
        self.datadir = os.path.join(self.root, "data")
        tmp = os.path.join(self.root, "tmp")
        os.makedirs(tmp)
        self.socket = os.path.join(self.root, "mysqld.sock")
        as_root = ["--user=root"] if os.geteuid() == 0 else []
        try:
            init = subprocess.run(
                [INSTALL_DB, "--no-defaults", "--datadir=" + self.datadir,
                 "--auth-root-authentication-method=normal", "--skip-test-db",
                 "--skip-name-resolve"] + as_root,
                capture_output=True, text=True, timeout=self.timeout, cwd=self.root)
            if init.returncode != 0:
                raise RuntimeError("mariadb-install-db failed:\n" + init.stdout + init.stderr)
            self.port = _free_port()
            self._log = open(os.path.join(self.root, "server.log"), "w+")
            self.proc = subprocess.Popen(
                [MARIADBD, "--no-defaults", "--datadir=" + self.datadir, "--socket=" + self.socket,
                 "--port=%d" % self.port, "--bind-address=127.0.0.1", "--skip-name-resolve",
                 "--pid-file=" + os.path.join(self.root, "mysqld.pid"), "--tmpdir=" + tmp,
                 "--log-error=" + os.path.join(self.root, "error.log"),
                 "--innodb-buffer-pool-size=16M", "--skip-log-bin", "--max-connections=50"] + as_root,
                stdout=self._log, stderr=subprocess.STDOUT, start_new_session=True, cwd=self.root)
            self._wait_ready()
            self.sql("CREATE DATABASE IF NOT EXISTS `%s`;"
                     "CREATE USER '%s'@'127.0.0.1' IDENTIFIED BY '%s';"
                     "CREATE USER '%s'@'localhost' IDENTIFIED BY '%s';"
                     "GRANT ALL ON `%s`.* TO '%s'@'127.0.0.1';"
                     "GRANT ALL ON `%s`.* TO '%s'@'localhost';"
                     % (self.database, self.user, self.password, self.user, self.password,
                        self.database, self.user, self.database, self.user), database="")
        except BaseException:
            self.stop()
            raise
        return self

    def _wait_ready(self):
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("mariadbd ended at start-up:\n" + self.error_log())
            if os.path.exists(self.socket):
                probe = subprocess.run([CLIENT, "--no-defaults", "-uroot", "-S", self.socket, "-e", "SELECT 1"],
                                       capture_output=True, text=True, timeout=10)
                if probe.returncode == 0:
                    return
            time.sleep(0.1)
        raise RuntimeError("mariadbd did not become ready:\n" + self.error_log())

    def stop(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                try:
                    self.proc.send_signal(signal.SIGTERM)
                    self.proc.wait(20)
                except subprocess.TimeoutExpired:
                    pass
            if self.proc.poll() is None:
                try:
                    os.killpg(self.proc.pid, signal.SIGKILL)
                except (ProcessLookupError, PermissionError):
                    pass
                try:
                    self.proc.wait(10)
                except subprocess.TimeoutExpired:
                    pass
            self.proc = None
        if self._log is not None:
            self._log.close()
            self._log = None
        if self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # ---- Use -----------------------------------------------------------------

    def sql(self, statements, database=None, timeout=30):
        """Runs statements as root through the private socket; returns the
        client's tab-separated output. Raises on an error."""
        db = self.database if database is None else database
        cmd = [CLIENT, "--no-defaults", "-uroot", "-S", self.socket, "--batch", "--skip-column-names"]
        if db:
            cmd.append(db)
        done = subprocess.run(cmd + ["-e", statements], capture_output=True, text=True, timeout=timeout)
        if done.returncode != 0:
            raise RuntimeError("SQL failed: %s\n%s" % (statements, done.stderr))
        return done.stdout

    def pdo_dsn(self, over_socket=False):
        if over_socket:
            return "mysql:unix_socket=%s;dbname=%s" % (self.socket, self.database)
        return "mysql:host=127.0.0.1;port=%d;dbname=%s" % (self.port, self.database)

    def error_log(self):
        if self.root is None:
            return ""
        try:
            with open(os.path.join(self.root, "error.log"), errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return ""
