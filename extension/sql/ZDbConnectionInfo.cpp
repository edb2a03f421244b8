#include "extension/sql/ZDbConnectionInfo.h"

#include <algorithm>
#include <cstdio>

#include "common/VornUtils.h"
#include "extension/sql/SqlScannerAPI.h"
#include "extension/sql/ZTokenizer.h"

namespace {

// One field as it goes into the texts: bounded, and unable to add a key
// ("&") or a line (CR, LF) to the text it is written into.
std::string diagValue(const std::string& value)
{
    const std::string kept = sqlCutText(value, ZDbConnectionInfo::MAX_VALUE_BYTES);
    std::string out;
    out.reserve(kept.size());
    for (const char c : kept) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == '%' || c == '&') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", b);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

ZDbConnectionInfo::ZDbConnectionInfo() = default;

ZDbConnectionInfo::ZDbConnectionInfo(const std::string& dsn)
{
    type = "pdo";
    vorn::toUpper(type);
    std::string driver;
    std::map<std::string, std::string> params;
    parseDsn(dsn, driver, params);
    dbType = driver;
    vorn::toLower(dbType);
    const std::pair<const char*, std::string*> keys[] = {
        {"dbname", &dbName}, {"host", &host}, {"port", &port}, {"unix_socket", &unixSocket}};
    for (const auto& key : keys) {
        const auto found = params.find(key.first);
        if (found != params.end())
            *key.second = found->second;
    }
}

void ZDbConnectionInfo::parseDsn(const std::string& dsn, std::string& driver,
                                 std::map<std::string, std::string>& params)
{
    std::size_t start = 0;
    const std::size_t colon = dsn.find(':');
    if (colon != std::string::npos) {
        driver = dsn.substr(0, colon);
        start = colon + 1;
    }
    // Items end at every ";" and blank; the last one at the end of the text.
    while (start <= dsn.size()) {
        std::size_t end = dsn.find_first_of("; ", start);
        if (end == std::string::npos)
            end = dsn.size();
        // Looked for within the item only: linear in the DSN's length.
        const auto eq = std::find(dsn.begin() + static_cast<std::ptrdiff_t>(start),
                                  dsn.begin() + static_cast<std::ptrdiff_t>(end), '=');
        if (eq != dsn.begin() + static_cast<std::ptrdiff_t>(end)) {
            const std::size_t at = static_cast<std::size_t>(eq - dsn.begin());
            params.emplace(dsn.substr(start, at - start), dsn.substr(at + 1, end - at - 1));
        }
        start = end + 1;
    }
}

std::shared_ptr<ZDbConnectionInfo> ZDbConnectionInfo::parseDsnOCI(const std::string& connectString)
{
    std::string rest = connectString;
    std::size_t cut = rest.find("//");
    if (cut != std::string::npos)
        rest.erase(0, cut + 2);
    cut = rest.find('@');
    if (cut != std::string::npos)
        rest.erase(0, cut + 1);

    ZTokenizer tokenizer(rest, "/:");
    ZTokenizer::Token token;
    if (!tokenizer.tokenize(token) || token.type != ZTokenizer::Token::WORD)
        return nullptr;
    auto info = std::make_shared<ZDbConnectionInfo>();
    info->host = token.text;

    if (!tokenizer.tokenize(token) || token.type != ZTokenizer::Token::DELIMITER)
        return info;
    if (token.text == ":") {
        if (!tokenizer.tokenize(token) || token.type != ZTokenizer::Token::WORD)
            return info;
        info->port = token.text;
        if (!tokenizer.tokenize(token) || token.type != ZTokenizer::Token::DELIMITER || token.text != "/")
            return info;
    }
    if (tokenizer.tokenize(token) && token.type == ZTokenizer::Token::WORD)
        info->dbName = token.text;
    return info;
}

std::string ZDbConnectionInfo::getConnectionString() const
{
    // host[:port], or the socket path in its place.
    const auto address = [this](const char* defaultPort) {
        if (!unixSocket.empty())
            return diagValue(unixSocket);
        std::string text = diagValue(host);
        if (!port.empty())
            text += ":" + diagValue(port);
        else if (defaultPort != nullptr)
            text += std::string(":") + defaultPort;
        return text;
    };
    if (dbType == "mysql")
        return "php:mysql://" + address("3306") + "/" + diagValue(dbName);
    if (dbType == "pgsql")
        return "php:postgresql://" + address("5432") + "/" + diagValue(dbName);
    if (dbType == "oracle") {
        std::string text = "php:oracle:thin:@" + diagValue(host);
        if (!port.empty())
            text += ":" + diagValue(port);
        return text;
    }
    return "php://" + address(nullptr) + "/" + diagValue(dbName);
}

std::string ZDbConnectionInfo::toString() const
{
    const std::string db = diagValue(dbName);
    return "DIAG_ARG:type=" + diagValue(type) + "&db_type=" + diagValue(dbType) + "&db_ds=" + db + "&db_db=" + db
           + "&target=" + diagValue(host) + "&conn_string=" + getConnectionString();
}
