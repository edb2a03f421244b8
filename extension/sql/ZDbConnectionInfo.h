#pragma once

#include <map>
#include <string>

// Description of one database connection (placeholder until the connection
// descriptions land; same names and texts).
class ZDbConnectionInfo {
public:
    ZDbConnectionInfo() = default;
    explicit ZDbConnectionInfo(const std::string& dsn);

    static void parseDsn(const std::string& dsn, std::string& driver, std::map<std::string, std::string>& params);
    std::string getConnectionString() const;
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
