#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "extension/model/ZLocation.h"
#include "extension/model/ZLocationTable.h"
#include "extension/model/ZPHPException.h"
#include "extension/model/ZSymbolTable.h"
#include "tests/support/GuardedBytes.h"

TEST(SymbolTable, FreshTableHoldsTheTwelveFixedEntries)
{
    ZSymbolTable table;
    ASSERT_EQ(table.size(), 12u);
    const char* texts[] = {"", "GET", "POST", "Web Tier", "{main}", "\\", "REQUEST_STARTUP",
                           "REQUEST_SHUTDOWN", "method", "Remote-Class", "Remote Method()", "CrossVM"};
    for (int32_t token = 0; token < 12; ++token) {
        EXPECT_EQ(table.value(texts[token]), token) << texts[token];
    }
    EXPECT_EQ(table.value("absent"), -1);
    EXPECT_FALSE(table.contains("absent"));
}

TEST(SymbolTable, CountedTokensComeFromOneProcessWideCounter)
{
    ZSymbolTable a;
    ZSymbolTable b;
    // A fixed text never moves the counter.
    const int32_t before = ZSymbolTable::nextValue();
    EXPECT_EQ(a.add("GET", -1), 1);

    const int32_t first = a.add("first", -1);
    EXPECT_EQ(first, before + 1);
    EXPECT_GT(first, 1000);
    EXPECT_EQ(a.add("first", -1), first);  // known text: counter untouched
    EXPECT_EQ(a.add("first", 42), first);  // argument ignored for a known text
    EXPECT_EQ(a.add("second", -1), first + 1);
    // The same text in another table gets another counted token.
    EXPECT_EQ(b.add("first", -1), first + 2);
}

TEST(SymbolTable, ExplicitTokenIsStoredAsGiven)
{
    ZSymbolTable table;
    const int32_t before = ZSymbolTable::nextValue();
    EXPECT_EQ(table.add("x", 7), 7);
    EXPECT_EQ(table.add("x", -1), 7);
    EXPECT_EQ(ZSymbolTable::nextValue(), before + 1);
}

TEST(SymbolTable, ResetKeepsTheCounterGoing)
{
    ZSymbolTable table;
    const int32_t t1 = table.add("a", -1);
    table.reset();
    EXPECT_EQ(table.size(), 12u);
    EXPECT_FALSE(table.contains("a"));
    EXPECT_EQ(table.add("a", -1), t1 + 1);
}

TEST(SymbolTable, MergeKeepsExistingTokens)
{
    ZSymbolTable mine;
    ZSymbolTable other;
    mine.add("x", 1001);
    other.add("x", 1005);
    other.add("y", 1006);
    mine.merge(other);
    EXPECT_EQ(mine.value("x"), 1001);
    EXPECT_EQ(mine.value("y"), 1006);
    EXPECT_EQ(mine.size(), 14u);
}

TEST(SymbolTable, OrderIsBytewiseUnsigned)
{
    ZSymbolTable table;
    table.add("\xC3\xA9", -1);  // bytes above 0x7F sort after ASCII
    table.add("z", -1);
    table.add("zz", -1);
    std::vector<std::string> order;
    for (const auto& entry : table.symbols) {
        order.push_back(entry.first);
    }
    ASSERT_EQ(order.front(), "");
    auto z = std::find(order.begin(), order.end(), "z");
    ASSERT_NE(z, order.end());
    EXPECT_EQ(*(z + 1), "zz");
    EXPECT_EQ(order.back(), "\xC3\xA9");
}

TEST(Location, NewLocationAndPath)
{
    ZLocation location;
    EXPECT_EQ(location.id, -1);
    EXPECT_EQ(location.layerTypeId, -1);
    EXPECT_EQ(location.callerLineNumber, -1);
    EXPECT_TRUE(location.path.empty());

    location.className = "PDO";
    location.methodName = "query";
    EXPECT_EQ(location.makePath(), "PDO::query");
    location.className.clear();
    location.methodName = "mysqli_query";
    EXPECT_EQ(location.makePath(), "mysqli_query");
    EXPECT_EQ(location.path, "mysqli_query");
}

TEST(Location, IdsAreIncreasingAndTablesKeepTheFirstOfAnId)
{
    const int32_t a = ZLocation::nextValue();
    const int32_t b = ZLocation::nextValue();
    EXPECT_GE(a, 1);
    EXPECT_EQ(b, a + 1);

    ZLocationTable table;
    auto first = boost::shared_ptr<ZLocation>(new ZLocation());
    first->id = 30;
    first->methodName = "first";
    auto second = boost::shared_ptr<ZLocation>(new ZLocation());
    second->id = 30;
    auto lower = boost::shared_ptr<ZLocation>(new ZLocation());
    lower->id = -5;
    EXPECT_TRUE(table.add(first));
    EXPECT_FALSE(table.add(second));
    EXPECT_TRUE(table.add(lower));
    EXPECT_TRUE(table.contains(second));  // same id
    EXPECT_EQ(table.locations.at(30)->methodName, "first");
    EXPECT_EQ(table.locations.begin()->first, -5);  // signed ascending
    EXPECT_FALSE(table.add(boost::shared_ptr<ZLocation>()));
}

TEST(LocationTable, OutOfOrderIdsStayAscendingAndLookUpsFindThem)
{
    ZLocationTable table;
    for (int32_t id : {10, 20, 40, 30, 5, 20}) {
        auto location = boost::shared_ptr<ZLocation>(new ZLocation());
        location->id = id;
        location->callerLineNumber = id;
        table.add(location);
    }
    std::vector<int32_t> ids;
    for (const auto& entry : table.locations)
        ids.push_back(entry.first);
    EXPECT_EQ(ids, (std::vector<int32_t>{5, 10, 20, 30, 40}));
    EXPECT_EQ(table.locations.at(30)->callerLineNumber, 30);
    EXPECT_EQ(table.locations.count(25), 0u);
    EXPECT_THROW(table.locations.at(25), std::out_of_range);
    table.locations.clear();
    EXPECT_TRUE(table.locations.empty());
}

TEST(PHPException, MessageIsCutAfterMaxLengthBytes)
{
    ZPHPException e;
    EXPECT_TRUE(e.message.empty() && e.trace.empty() && e.type.empty());
    e.setErrorMessage("12345", 5);
    EXPECT_EQ(e.message, "12345");
    e.setErrorMessage("123456", 5);
    EXPECT_EQ(e.message, "12345...");
    e.setErrorMessage("123456", 0);
    EXPECT_EQ(e.message, "123456");
    e.setErrorMessage("123456", -3);
    EXPECT_EQ(e.message, "123456");

    ZPHPException copy;
    e.trace = "t";
    e.type = "RuntimeException";
    copy = e;
    EXPECT_EQ(copy.message, "123456");
    EXPECT_EQ(copy.trace, "t");
    EXPECT_EQ(copy.type, "RuntimeException");
}

TEST(PHPException, ReadsNoMoreOfAMessageThanItKeeps)
{
    // One byte past the cut is mapped; the message claims four MiB.
    GuardedBytes guarded(std::string(101, 'm'));
    ASSERT_NE(guarded.data(), nullptr);
    ZPHPException e;
    e.setErrorMessage(guarded.data(), 4u << 20, 100);
    EXPECT_EQ(e.message, std::string(100, 'm') + "...");
    e.setErrorMessage(guarded.data() + 1, 100, 100);
    EXPECT_EQ(e.message, std::string(100, 'm'));

    // Up to the first NUL byte, cut as the text form cuts.
    const char bytes[] = {'a', 'b', 'c', '\0', 'd'};
    const std::vector<std::pair<int, std::string>> cases = {{100, "abc"}, {3, "abc"}, {2, "ab..."}, {0, "abc"}};
    for (const auto& c : cases) {
        e.setErrorMessage(bytes, sizeof bytes, c.first);
        EXPECT_EQ(e.message, c.second) << c.first;
    }
    e.setErrorMessage(bytes, 2, 0);
    EXPECT_EQ(e.message, "ab");
    e.setErrorMessage(nullptr, 7, 5);
    EXPECT_EQ(e.message, "");
}
