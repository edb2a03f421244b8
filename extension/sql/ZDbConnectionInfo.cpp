#include "extension/sql/ZDbConnectionInfo.h"

#include <cctype>

ZDbConnectionInfo::ZDbConnectionInfo(const std::string& dsn)
{
    type = "PDO";
    std::string driver;
    std::map<std::string, std::string> params;
    parseDsn(dsn, driver, params);
    for (char& c : driver)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    dbType = driver;
    auto take = [&](const char* key, std::string& field) {
        auto found = params.find(key);
        if (found != params.end())
            field = found->second;
    };
    take("dbname", dbName);
    take("host", host);
    take("port", port);
    take("unix_socket", unixSocket);
}

void ZDbConnectionInfo::parseDsn(const std::string& dsn, std::string& driver,
                                 std::map<std::string, std::string>& params)
{
    std::string rest = dsn;
    std::size_t colon = dsn.find(':');
    if (colon != std::string::npos) {
        driver = dsn.substr(0, colon);
        rest = dsn.substr(colon + 1);
    }
    std::size_t begin = 0;
    while (begin <= rest.size()) {
        std::size_t end = rest.find_first_of("; ", begin);
        if (end == std::string::npos)
            end = rest.size();
        std::string item = rest.substr(begin, end - begin);
        std::size_t eq = item.find('=');
        if (eq != std::string::npos)
            params.emplace(item.substr(0, eq), item.substr(eq + 1));
        begin = end + 1;
    }
}

std::string ZDbConnectionInfo::getConnectionString() const
{
    auto hostPort = [&](const char* defaultPort) {
        if (!unixSocket.empty())
            return unixSocket;
        if (defaultPort)
            return host + ":" + (port.empty() ? std::string(defaultPort) : port);
        return port.empty() ? host : host + ":" + port;
    };
    if (dbType == "mysql")
        return "php:mysql://" + hostPort("3306") + "/" + dbName;
    if (dbType == "pgsql")
        return "php:postgresql://" + hostPort("5432") + "/" + dbName;
    if (dbType == "oracle")
        return "php:oracle:thin:@" + host + (port.empty() ? "" : ":" + port);
    return "php://" + hostPort(nullptr) + "/" + dbName;
}

std::string ZDbConnectionInfo::toString() const
{
    return "DIAG_ARG:type=" + type + "&db_type=" + dbType + "&db_ds=" + dbName + "&db_db=" + dbName
           + "&target=" + host + "&conn_string=" + getConnectionString();
}
