#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

// Description of one database connection, rendered into the "DIAG_ARG:" text
// that names the connection of every reported SQL call. Texts are the bytes
// the script passed. The password (and the user and the error) are kept but
// never written into any text this class makes.
class ZDbConnectionInfo {
public:
    // Longest value, in bytes, that the texts below carry of one field.
    static constexpr std::size_t MAX_VALUE_BYTES = 256;

    ZDbConnectionInfo();
    // A PDO connection described by its DSN: type "PDO", dbType the driver
    // lower-cased, and the keys "dbname", "host", "port", "unix_socket".
    explicit ZDbConnectionInfo(const std::string& dsn);

    // Splits "driver:key=value;key=value" (";" and blanks both separate
    // items). `driver` is left alone when the DSN holds no ":"; the first
    // value of a key wins, and `params` is not cleared first.
    static void parseDsn(const std::string& dsn, std::string& driver, std::map<std::string, std::string>& params);
    // host, port and dbName of an OCI8 connect string such as
    // "//user@dbhost:1521/XE"; empty when the text does not start with a host.
    static std::shared_ptr<ZDbConnectionInfo> parseDsnOCI(const std::string& connectString);

    // "php:mysql://host:3306/db" and its kin, by dbType.
    std::string getConnectionString() const;
    // "DIAG_ARG:type=..&db_type=..&db_ds=..&db_db=..&target=..&conn_string=..".
    // Each value is cut to MAX_VALUE_BYTES and "%", "&", control bytes and DEL
    // are written as "%XX", so that a value can neither add a key nor break
    // the log line it is written into.
    std::string toString() const;

    uint64_t id = 0;
    std::string host;
    std::string user;
    std::string password;
    std::string dbName;
    std::string dbType;
    std::string type;
    std::string error;
    std::string port;
    std::string unixSocket;
};
