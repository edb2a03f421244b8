#include "extension/report/ZCompactRecords.h"

#include <limits>

#include <thrift/Thrift.h>
#include <thrift/protocol/TProtocolException.h>
#include <thrift/transport/TBufferTransports.h>

#include "extension/model/ZLocation.h"
#include "extension/model/ZMethodEndEvent.h"
#include "extension/model/ZMethodStartEvent.h"

namespace ZCompactRecords {

namespace {

// Type codes of the compact encoding.
constexpr uint8_t kByte = 3;
constexpr uint8_t kI32 = 5;
constexpr uint8_t kI64 = 6;
constexpr uint8_t kBinary = 8;
constexpr uint8_t kList = 9;
constexpr uint8_t kStruct = 12;
constexpr uint8_t kStop = 0;

// Room for the fixed part of any record written here: headers of one byte,
// integers of at most 5 (i32) or 10 (i64) bytes.
constexpr uint32_t kRecordRoom = 96;

// Writes into room taken from the buffer at once, then tells the buffer how
// much of it was used.
class Cursor {
public:
    Cursor(TMemoryBuffer& out, uint32_t room)
        : out_(out), start_(out.getWritePtr(room)), at_(start_)
    {
    }
    ~Cursor() { out_.wroteBytes(static_cast<uint32_t>(at_ - start_)); }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    // A field `delta` ids after the previous one of its record (the first
    // field of a record counts from 0); every record here has its fields
    // within 15 of each other, so the header is a single byte.
    void field(int delta, uint8_t type) { *at_++ = static_cast<uint8_t>(delta << 4 | type); }
    void stop() { *at_++ = kStop; }
    void byte(int8_t value) { *at_++ = static_cast<uint8_t>(value); }
    // Zigzag, then 7 bits a byte, least significant first.
    void i32(int32_t value)
    {
        varint((static_cast<uint32_t>(value) << 1) ^ static_cast<uint32_t>(value >> 31));
    }
    void i64(int64_t value)
    {
        varint((static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63));
    }
    void varint(uint64_t value)
    {
        while (value >= 0x80) {
            *at_++ = static_cast<uint8_t>(value | 0x80);
            value >>= 7;
        }
        *at_++ = static_cast<uint8_t>(value);
    }

private:
    TMemoryBuffer& out_;
    uint8_t* const start_;
    uint8_t* at_;
};

// A text field: its length, then its bytes (nothing past the 32-bit length
// the encoding allows, as the generated code refuses it).
void writeText(TMemoryBuffer& out, int delta, const std::string& text)
{
    if (text.size() > std::numeric_limits<uint32_t>::max() - 5u)
        throw apache::thrift::protocol::TProtocolException(apache::thrift::protocol::TProtocolException::SIZE_LIMIT);
    {
        Cursor cursor(out, 8);
        cursor.field(delta, kBinary);
        cursor.varint(text.size());
    }
    out.write(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
}

// MethodEvent {2: ThreadEvent {1: CaptureEvent {1: locationId}, 2: threadId,
// 3: depth, 4: timeInMicroseconds}}, the record's first field (a struct).
void writeMethodPart(Cursor& cursor, const ZThreadEvent& event)
{
    cursor.field(1, kStruct);      // MethodEvent, as field 1 of its record
    cursor.field(2, kStruct);      //  threadData (txnInstanceId unset)
    cursor.field(1, kStruct);      //   captureEvent
    cursor.field(1, kI32);         //    locationId
    cursor.i32(event.locationId);
    cursor.stop();
    cursor.field(1, kI32);         //   threadId
    cursor.i32(event.threadId);
    cursor.field(1, kI32);         //   depth
    cursor.i32(event.depth);
    cursor.field(1, kI64);         //   timeInMicroseconds (cpuTimeInNano unset)
    cursor.i64(static_cast<int64_t>(event.timeInMicroseconds));
    cursor.stop();
    cursor.stop();
}

} // namespace

void writeBlockList(TMemoryBuffer& out, uint32_t size)
{
    Cursor cursor(out, 8);
    cursor.field(1, kList);
    // Up to 14 records the count shares the byte of the element type.
    if (size <= 14) {
        cursor.field(static_cast<int>(size), kStruct);
    } else {
        cursor.field(15, kStruct);
        cursor.varint(size);
    }
}

void writeBlockEnd(TMemoryBuffer& out)
{
    Cursor cursor(out, 1);
    cursor.stop();
}

void writeSymbol(TMemoryBuffer& out, int32_t token, const std::string& text)
{
    {
        Cursor cursor(out, 8);
        cursor.field(1, kI32);
        cursor.i32(token);
    }
    writeText(out, 1, text);
    Cursor cursor(out, 1);
    cursor.stop();
}

void writeLocation(TMemoryBuffer& out, const ZLocation& location)
{
    Cursor cursor(out, kRecordRoom);
    for (int32_t value : {location.id, location.calleeClassNameToken, location.calleeMethodNameToken,
                          location.layerToken, location.callerClassNameId, location.callerMethodNameId,
                          location.callerLineNumber, location.layerTypeId}) {
        cursor.field(1, kI32);
        cursor.i32(value);
    }
    cursor.stop();
}

void writeMethodStart(TMemoryBuffer& out, const ZMethodStartEvent& event)
{
    Cursor cursor(out, kRecordRoom);
    cursor.field(4, kStruct);  // EventDTO's methodStartEvent
    writeMethodPart(cursor, event);
    cursor.field(1, kI32);     // eventInstance
    cursor.i32(event.eventInstance);
    cursor.field(1, kI32);     // methodArgToken
    cursor.i32(event.methodArgToken);
    cursor.stop();
    cursor.stop();
}

void writeMethodEnd(TMemoryBuffer& out, const ZMethodEndEvent& event)
{
    const bool withException = (event.flags & 1) != 0;
    {
        Cursor cursor(out, kRecordRoom);
        cursor.field(5, kStruct);  // EventDTO's methodEndEvent
        writeMethodPart(cursor, event);
        cursor.field(1, kI32);     // startEventInstanceId
        cursor.i32(event.startEventInstanceId);
        cursor.field(1, kByte);    // flags
        cursor.byte(static_cast<int8_t>(event.flags & 0xFF));
    }
    if (withException) {
        writeText(out, 1, event.exception.type);
        writeText(out, 1, event.exception.trace);
        writeText(out, 1, event.exception.message);
    }
    Cursor cursor(out, 2);
    cursor.stop();
    cursor.stop();
}

} // namespace ZCompactRecords
