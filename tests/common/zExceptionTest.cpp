#include <gtest/gtest.h>

#include <cstring>

#include "common/zException.h"

TEST(zExceptionTest, MessageIsUtf8OfTheWideText)
{
    const zException e(L"caf\u00E9 \u20AC");
    EXPECT_EQ(e.message, "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_STREQ(e.what(), "caf\xC3\xA9 \xE2\x82\xAC");
}

TEST(zExceptionTest, CopiesAndIsCaughtAsStandardException)
{
    try {
        throw zException(L"boom");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "boom");
        const zException* z = dynamic_cast<const zException*>(&e);
        ASSERT_NE(z, nullptr);
        const zException copy(*z);
        EXPECT_EQ(copy.message, "boom");
    }
}
