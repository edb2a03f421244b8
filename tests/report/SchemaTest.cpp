#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/protocol/TProtocolException.h>
#include <thrift/transport/TBufferTransports.h>

#include "extension/report/idl/EventDTO_types.h"
#include "extension/report/idl/blockMetaData_types.h"
#include "extension/report/idl/handshakeDTO_types.h"

using apache::thrift::protocol::TCompactProtocol;
using apache::thrift::protocol::TProtocolException;
using apache::thrift::transport::TMemoryBuffer;

namespace {

template <typename T>
std::string encode(const T& value)
{
    auto memory = std::make_shared<TMemoryBuffer>();
    TCompactProtocol out(memory);
    value.write(&out);
    return memory->getBufferAsString();
}

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

template <typename T>
T decode(const std::string& bytes)
{
    auto memory = std::make_shared<TMemoryBuffer>(
        reinterpret_cast<uint8_t*>(const_cast<char*>(bytes.data())), static_cast<uint32_t>(bytes.size()));
    TCompactProtocol in(memory);
    T value;
    value.read(&in);
    return value;
}

} // namespace

TEST(Schema, EmptyBlockAndEmptyEvent)
{
    BlockMetaData block;
    EXPECT_EQ(hex(encode(block)), "19 0C 19 0C 19 0C 00");
    EXPECT_EQ(hex(encode(EventDTO())), "00");
}

TEST(Schema, ProbeMetadataDefaults)
{
    ThriftProbeMetaDataDTO meta;
    meta.probeName = "p";
    meta.probeOID = "o";
    meta.probeType = 2;
    meta.hostname = "h";
    ThriftProbeMetaDataDTO read = decode<ThriftProbeMetaDataDTO>(encode(meta));
    EXPECT_FALSE(read.__isset.versionInfo);
    EXPECT_FALSE(read.__isset.runId);
    EXPECT_TRUE(read.__isset.probeGroup);
    EXPECT_EQ(read.probeGroup, "Default");
    EXPECT_TRUE(read.__isset.systemGroup && read.__isset.AppServerTopologyNII && read.__isset.virtualizationNII);
    EXPECT_TRUE(read.__isset.verifyPort && read.__isset.probeTime && read.__isset.probeRegisteringForDataPulls);
    EXPECT_EQ(read.probeName, "p");
    EXPECT_EQ(read.probeType, 2);
    EXPECT_EQ(read.hostname, "h");
}

TEST(Schema, IdentificationReadingRules)
{
    // Field 1 "x", field 2 missing.
    const std::string noVersion = std::string("\x18\x01x\x00", 4);
    try {
        decode<ThriftProtocolIdentificationDTO>(noVersion);
        FAIL() << "a missing protocolVersion must not be accepted";
    } catch (const TProtocolException& e) {
        EXPECT_EQ(e.getType(), TProtocolException::INVALID_DATA);
        EXPECT_STREQ(e.what(), "TProtocolException: Invalid data");
    }
    // Field 2 sent as a string is skipped, so it counts as missing.
    const std::string versionAsString = std::string("\x18\x01x\x18\x01y\x00", 7);
    EXPECT_THROW(decode<ThriftProtocolIdentificationDTO>(versionAsString), TProtocolException);

    // An unknown field (id 9, i32) is skipped.
    ThriftProtocolIdentificationDTO ident;
    ident.handshakeId = "x";
    ident.protocolVersion = 3;
    std::string withExtra = encode(ident);
    withExtra.insert(withExtra.size() - 1, std::string("\x75\x02", 2));  // delta 7 -> id 9, i32 1
    auto read = decode<ThriftProtocolIdentificationDTO>(withExtra);
    EXPECT_EQ(read.protocolVersion, 3);
}

TEST(Schema, OptionalAndRequiredBinaries)
{
    RemoteMethodStartEvent remote;
    const std::string unset = encode(remote);
    remote.__set_correlationToken("");
    const std::string set = encode(remote);
    EXPECT_EQ(set.size(), unset.size() + 2);  // field header and a zero length

    RemoteFragmentStartEvent fragment;
    auto read = decode<RemoteFragmentStartEvent>(encode(fragment));
    EXPECT_EQ(read.correlationToken, "");  // required: always present

    MethodEndEvent end;
    end.flags = 33;
    const std::string bare = encode(end);
    end.__set_exceptionType("");
    end.__set_stackTrace("");
    end.__set_exceptionMessage("");
    EXPECT_EQ(encode(end).size(), bare.size() + 6);
}
