#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "extension/sql/ZDbConnectionInfo.h"
#include "extension/sql/ZTokenizer.h"

namespace {

struct DsnCase {
    std::string dsn, dbType, host, port, dbName, unixSocket, connectionString;
};

struct OciCase {
    std::string text;
    bool made;
    std::string host, port, dbName;
};

} // namespace

TEST(ZDbConnectionInfo, DescribesPdoDsns)
{
    const std::vector<DsnCase> cases = {
        {"mysql:host=localhost;dbname=test", "mysql", "localhost", "", "test", "", "php:mysql://localhost:3306/test"},
        {"MySQL:host=a;host=b;port=3307", "mysql", "a", "3307", "", "", "php:mysql://a:3307/"},
        {"mysql:unix_socket=/tmp/my.sock;dbname=test;port=3307", "mysql", "", "3307", "test", "/tmp/my.sock",
         "php:mysql:///tmp/my.sock/test"},
        {"pgsql:host=h port=5433 dbname=d", "pgsql", "h", "5433", "d", "", "php:postgresql://h:5433/d"},
        {"pgsql:host=h dbname=d", "pgsql", "h", "", "d", "", "php:postgresql://h:5432/d"},
        {"sqlite:/var/db/app.sqlite", "sqlite", "", "", "", "", "php:///"},
        {"host = h", "", "", "", "", "", "php:///"},
        {"myalias", "", "", "", "", "", "php:///"},
        {"host=h;dbname=d;port=1", "", "h", "1", "d", "", "php://h:1/d"},
        {"oci:dbname=//h:1521/XE", "oci", "", "", "//h:1521/XE", "", "php://///h:1521/XE"},
        {"sqlsrv:host=h;;dbname==x=", "sqlsrv", "h", "", "=x=", "", "php://h/=x="},
    };
    for (const auto& c : cases) {
        const ZDbConnectionInfo info(c.dsn);
        EXPECT_EQ(info.type, "PDO") << c.dsn;
        EXPECT_EQ(info.dbType, c.dbType) << c.dsn;
        EXPECT_EQ(info.host, c.host) << c.dsn;
        EXPECT_EQ(info.port, c.port) << c.dsn;
        EXPECT_EQ(info.dbName, c.dbName) << c.dsn;
        EXPECT_EQ(info.unixSocket, c.unixSocket) << c.dsn;
        EXPECT_EQ(info.getConnectionString(), c.connectionString) << c.dsn;
        EXPECT_EQ(info.id, 0u);
        EXPECT_TRUE(info.user.empty() && info.password.empty() && info.error.empty());
    }

    // Blanks around "=" make three items; only "=" holds one: an empty key.
    std::string driver = "kept";
    std::map<std::string, std::string> params = {{"host", "first"}};
    ZDbConnectionInfo::parseDsn("host = h;host=second", driver, params);
    EXPECT_EQ(driver, "kept");
    EXPECT_EQ(params, (std::map<std::string, std::string>{{"", ""}, {"host", "first"}}));
}

TEST(ZDbConnectionInfo, ParsesOciConnectStrings)
{
    const std::vector<OciCase> cases = {
        {"localhost/XE", true, "localhost", "", "XE"},
        {"//dbhost:1521/ORCL", true, "dbhost", "1521", "ORCL"},
        {"//scott@dbhost:1521/ORCL", true, "dbhost", "1521", "ORCL"},
        {"scott/tiger@dbhost:1521/ORCL", true, "dbhost", "1521", "ORCL"},
        {"dbhost:1521", true, "dbhost", "1521", ""},
        {"dbhost:1521:ORCL", true, "dbhost", "1521", ""},
        {"dbhost::1521/X", true, "dbhost", "", ""},
        {"MYDB", true, "MYDB", "", ""},
        {"(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=h)(PORT=1))(CONNECT_DATA=(SID=x)))", true,
         "(DESCRIPTION=(ADDRESS=(PROTOCOL=TCP)(HOST=h)(PORT=1))(CONNECT_DATA=(SID=x)))", "", ""},
        {"", false, "", "", ""},
        {":1521/XE", false, "", "", ""},
        {"/XE", false, "", "", ""},
        {"user@", false, "", "", ""},
    };
    for (const auto& c : cases) {
        const auto info = ZDbConnectionInfo::parseDsnOCI(c.text);
        ASSERT_EQ(info != nullptr, c.made) << c.text;
        if (!info)
            continue;
        EXPECT_EQ(info->host, c.host) << c.text;
        EXPECT_EQ(info->port, c.port) << c.text;
        EXPECT_EQ(info->dbName, c.dbName) << c.text;
        EXPECT_TRUE(info->type.empty() && info->dbType.empty() && info->id == 0) << c.text;
    }
}

TEST(ZDbConnectionInfo, DiagArgText)
{
    auto oci = ZDbConnectionInfo::parseDsnOCI("dbhost:1521/XE");
    ASSERT_TRUE(oci);
    oci->type = "OCI";
    oci->dbType = "oracle";
    EXPECT_EQ(oci->toString(),
              "DIAG_ARG:type=OCI&db_type=oracle&db_ds=XE&db_db=XE&target=dbhost&conn_string=php:oracle:thin:@dbhost:1521");
    oci->port.clear();
    EXPECT_EQ(oci->getConnectionString(), "php:oracle:thin:@dbhost");

    EXPECT_EQ(ZDbConnectionInfo().toString(), "DIAG_ARG:type=&db_type=&db_ds=&db_db=&target=&conn_string=php:///");
    EXPECT_EQ(ZDbConnectionInfo("mysql:host=db1;port=3307;dbname=shop").toString(),
              "DIAG_ARG:type=PDO&db_type=mysql&db_ds=shop&db_db=shop&target=db1&conn_string=php:mysql://db1:3307/shop");
}

TEST(ZDbConnectionInfo, SecretsNeverReachTheTexts)
{
    ZDbConnectionInfo info("pgsql:host=h;user=scott;password=Hunter2pw;dbname=d");
    info.user = "scott";
    info.password = "Hunter2pw";
    info.error = "SQLSTATE[08006] password authentication failed: Hunter2pw";
    for (const std::string& text : {info.toString(), info.getConnectionString()}) {
        EXPECT_EQ(text.find("Hunter2pw"), std::string::npos) << text;
        EXPECT_EQ(text.find("scott"), std::string::npos) << text;
        EXPECT_EQ(text.find("SQLSTATE"), std::string::npos) << text;
    }
    auto oci = ZDbConnectionInfo::parseDsnOCI("scott/Hunter2pw@dbhost/XE");
    ASSERT_TRUE(oci);
    EXPECT_EQ(oci->toString().find("Hunter2pw"), std::string::npos);
}

TEST(ZDbConnectionInfo, HostileDsnsGiveBoundedOneLineTexts)
{
    // A value can add neither a key nor a line.
    const ZDbConnectionInfo forged("mysql:host=h\r\n[ERROR]forged&type=X;dbname=50%\x01");
    EXPECT_EQ(forged.toString(), "DIAG_ARG:type=PDO&db_type=mysql&db_ds=50%25%01&db_db=50%25%01"
                                 "&target=h%0D%0A[ERROR]forged%26type=X"
                                 "&conn_string=php:mysql://h%0D%0A[ERROR]forged%26type=X:3306/50%25%01");

    // Big and odd DSNs: parsed in linear time, rendered within bounds.
    std::string items;
    while (items.size() < (1u << 20))
        items += "a;";
    const std::string huge(1u << 20, 'h');
    for (const std::string& dsn : {"mysql:" + items, "pgsql:host=" + huge + ";dbname=" + huge,
                                   "x:unix_socket=" + huge, std::string("mysql:host=\0h;\xff\xfe=\n", 18)}) {
        const ZDbConnectionInfo info(dsn);
        const std::string text = info.toString();
        EXPECT_LT(text.size(), 12 * ZDbConnectionInfo::MAX_VALUE_BYTES);
        EXPECT_EQ(text.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
        EXPECT_EQ(std::count(text.begin(), text.end(), '&'), 5);
        EXPECT_TRUE(ZDbConnectionInfo::parseDsnOCI(dsn));
    }
}

TEST(ZTokenizer, WordsAndSingleDelimiters)
{
    ZTokenizer tokenizer("a::b/", "/:");
    ZTokenizer::Token token;
    const std::vector<std::pair<int, std::string>> expected = {{1, "a"}, {2, ":"}, {2, ":"}, {1, "b"}, {2, "/"}};
    std::vector<std::pair<int, std::string>> got;
    while (tokenizer.tokenize(token))
        got.emplace_back(token.type, token.text);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(token.type, ZTokenizer::Token::NONE);
    EXPECT_TRUE(token.text.empty());

    ZTokenizer empty("", "/");
    token.text = "left";
    EXPECT_FALSE(empty.tokenize(token));
    EXPECT_EQ(token.text, "left");
}
