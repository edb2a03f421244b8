#include <gtest/gtest.h>

#include <cstring>

#include "common/AgentMetadata.h"

namespace {

TEST(AgentMetadata, TextsLandInTheirSlotsNulFilled)
{
    AgentMetadata m;
    std::memset(&m, 0xAA, sizeof m);
    m.registered = 1;
    m.padding[0] = m.padding[1] = m.padding[2] = 0;
    m.technologyType = AgentMetadata::kTechnologyType;
    AgentMetadata::setText(m.probeName, "probe");
    AgentMetadata::setText(m.host, "host.example");
    AgentMetadata::setText(m.componentID, "probe.1700000000");

    const unsigned char* b = reinterpret_cast<const unsigned char*>(&m);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[1] | b[2] | b[3], 0);
    EXPECT_EQ(std::memcmp(b + 4, "\x0A\0\0\0", 4), 0);
    EXPECT_EQ(std::memcmp(b + 8, "probe", 6), 0);
    EXPECT_EQ(std::memcmp(b + 136, "host.example", 13), 0);
    EXPECT_EQ(std::memcmp(b + 264, "probe.1700000000", 17), 0);
    for (int i = 8 + 5; i < 136; ++i)
        ASSERT_EQ(b[i], 0) << i;
    for (int i = 264 + 16; i < 392; ++i)
        ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(AgentMetadata::getText(m.host), "host.example");
}

TEST(AgentMetadata, LongTextIsCutAtACharacterBoundary)
{
    AgentMetadata m;
    std::memset(&m, 0xAA, sizeof m);
    // 126 ASCII bytes then a 3-byte character: it would end at byte 129.
    const std::string text = std::string(126, 'x') + "\xE2\x82\xAC" + "tail";
    AgentMetadata::setText(m.host, text);
    EXPECT_EQ(AgentMetadata::getText(m.host), std::string(126, 'x'));
    EXPECT_EQ(m.host[126], 0);
    EXPECT_EQ(m.host[127], 0);
    // Neighbouring slots untouched.
    EXPECT_EQ(static_cast<unsigned char>(m.probeName[127]), 0xAA);
    EXPECT_EQ(static_cast<unsigned char>(m.componentID[0]), 0xAA);

    AgentMetadata::setText(m.host, std::string(127, 'y'));
    EXPECT_EQ(AgentMetadata::getText(m.host), std::string(127, 'y'));
}

TEST(AgentMetadata, ReaderStopsAtTheSlotEnd)
{
    AgentMetadata m;
    std::memset(&m, 'z', sizeof m);
    EXPECT_EQ(AgentMetadata::getText(m.probeName), std::string(128, 'z'));
}

} // namespace
