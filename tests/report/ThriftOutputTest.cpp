#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <thrift/TOutput.h>

#include "extension/report/ZThriftOutput.h"
#include "tests/support/MemoryLog.h"

using apache::thrift::GlobalOutput;
using namespace std::chrono_literals;

namespace {

// As the library says a refused connect; the port differs, the kind does not.
void refused(int port)
{
    GlobalOutput.perror("TSocket::open() connect() <Host: 127.0.0.1 Port: " + std::to_string(port) + ">",
                        ECONNREFUSED);
}

} // namespace

TEST(ThriftOutput, LibraryMessagesGoToTheLogLimitedAndEscapedNeverToStandardError)
{
    MemoryLog memory(VornLog::LEVEL_DBG1);
    const std::string line = "[DBG1] Thrift: TSocket::open() connect() <Host: 127.0.0.1 Port: 2626>: Connection refused";

    testing::internal::CaptureStderr();
    ASSERT_TRUE(ZThriftOutput::install(memory.log, 300ms));
    for (int port = 2626; port < 2631; ++port)
        refused(port);
    GlobalOutput("another\nkind");
    std::thread([] { GlobalOutput("from another thread"); }).join();
    std::this_thread::sleep_for(400ms);
    refused(2626);  // past the interval: written, with what was not
    refused(2626);  // within it again: counted at uninstall
    ZThriftOutput::uninstall();
    EXPECT_EQ("", testing::internal::GetCapturedStderr());

    EXPECT_EQ(4u, memory.lines()) << memory.text();
    EXPECT_EQ(1u, memory.count(line + "\n")) << memory.text();
    EXPECT_EQ(1u, memory.count("[DBG1] Thrift: another\\nkind\n")) << memory.text();
    EXPECT_EQ(1u, memory.count(line + " (4 more like it not logged since its last line)"
                                      " (1 messages of other threads not logged)\n"))
        << memory.text();
    EXPECT_EQ(1u, memory.count("[DBG1] Thrift: 1 messages not logged since the last line\n")) << memory.text();

    // The library's default is back.
    EXPECT_FALSE(ZThriftOutput::installed());
    testing::internal::CaptureStderr();
    GlobalOutput("back to the default");
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("Thrift: "));
}

TEST(ThriftOutput, QuietBelowDbg1AndUninstallLeavesAnotherFunctionInPlace)
{
    MemoryLog memory(VornLog::LEVEL_WARNING);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ZThriftOutput::install(memory.log));
    refused(2626);
    EXPECT_EQ("", testing::internal::GetCapturedStderr() + memory.text());

    static int othersCalled = 0;
    GlobalOutput.setOutputFunction([](const char*) { ++othersCalled; });
    ZThriftOutput::uninstall();
    GlobalOutput("to the other");
    EXPECT_EQ(1, othersCalled);
    GlobalOutput.setOutputFunction(&apache::thrift::TOutput::errorTimeWrapper);
}
