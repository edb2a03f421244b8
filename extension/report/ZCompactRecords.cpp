#include "extension/report/ZCompactRecords.h"

#include <cstring>
#include <initializer_list>
#include <limits>

#include <thrift/Thrift.h>
#include <thrift/protocol/TProtocolException.h>
#include <thrift/transport/TBufferTransports.h>

#include "extension/model/ZFragmentAttributeEvent.h"
#include "extension/model/ZHttpFragmentEndEvent.h"
#include "extension/model/ZHttpFragmentStartEvent.h"
#include "extension/model/ZLocation.h"
#include "extension/model/ZLocationTable.h"
#include "extension/model/ZMethodEndEvent.h"
#include "extension/model/ZMethodStartEvent.h"
#include "extension/model/ZRemoteFragmentEndEvent.h"
#include "extension/model/ZRemoteFragmentStartEvent.h"
#include "extension/model/ZSymbolTable.h"

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
        : out_(out), start_(writePtr(out, room)), at_(start_)
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
    // The beginning of one of BlockMetaData's lists: up to 14 records the
    // count shares the byte of the element type.
    void list(uint32_t size)
    {
        field(1, kList);
        if (size <= 14) {
            field(static_cast<int>(size), kStruct);
        } else {
            field(15, kStruct);
            varint(size);
        }
    }
    // A text field: its length, then its bytes (room for them was taken,
    // see roomWith).
    void text(int delta, const std::string& value)
    {
        field(delta, kBinary);
        varint(value.size());
        std::memcpy(at_, value.data(), value.size());
        at_ += value.size();
    }

private:
    // The buffer computes its new size in 32 bits: room that would carry it
    // past them would wrap, leave the buffer too small and be written past
    // its end. Such a block is refused as the generated code refuses texts
    // too long for the encoding.
    static uint8_t* writePtr(TMemoryBuffer& out, uint32_t room)
    {
        if (static_cast<uint64_t>(room) + out.available_read() > std::numeric_limits<uint32_t>::max())
            throw apache::thrift::protocol::TProtocolException(
                apache::thrift::protocol::TProtocolException::SIZE_LIMIT);
        return out.getWritePtr(room);
    }

    TMemoryBuffer& out_;
    uint8_t* const start_;
    uint8_t* at_;
};

// Room for a record's fixed part and the given texts, each with its field
// header and length. Nothing past the 32-bit length the encoding allows, as
// the generated code refuses it.
uint32_t roomWith(std::initializer_list<const std::string*> texts)
{
    constexpr uint64_t limit = std::numeric_limits<uint32_t>::max();
    uint64_t room = kRecordRoom;
    for (const std::string* text : texts) {
        if (text->size() > limit - 5u)
            throw apache::thrift::protocol::TProtocolException(
                apache::thrift::protocol::TProtocolException::SIZE_LIMIT);
        room += 1 + 5 + text->size();
    }
    if (room > limit)
        throw apache::thrift::protocol::TProtocolException(apache::thrift::protocol::TProtocolException::SIZE_LIMIT);
    return static_cast<uint32_t>(room);
}

// ThreadEvent {1: CaptureEvent {1: locationId}, 2: threadId, 3: depth,
// 4: timeInMicroseconds} from its first field to its end (cpuTimeInNano
// unset); the caller wrote the field that holds it.
void writeThreadData(Cursor& cursor, const ZThreadEvent& event)
{
    cursor.field(1, kStruct);      // captureEvent
    cursor.field(1, kI32);         //  locationId
    cursor.i32(event.locationId);
    cursor.stop();
    cursor.field(1, kI32);         // threadId
    cursor.i32(event.threadId);
    cursor.field(1, kI32);         // depth
    cursor.i32(event.depth);
    cursor.field(1, kI64);         // timeInMicroseconds
    cursor.i64(static_cast<int64_t>(event.timeInMicroseconds));
    cursor.stop();
}

// FragmentEvent {2: ThreadEvent} (txnInstanceId unset), from its first
// field to its end.
void writeFragmentPart(Cursor& cursor, const ZThreadEvent& event)
{
    cursor.field(2, kStruct);      // threadData
    writeThreadData(cursor, event);
    cursor.stop();
}

// MethodEvent {2: ThreadEvent} (txnInstanceId unset), the record's first
// field (a struct).
void writeMethodPart(Cursor& cursor, const ZThreadEvent& event)
{
    cursor.field(1, kStruct);      // MethodEvent, as field 1 of its record
    writeFragmentPart(cursor, event);
}

} // namespace

void writeBlockList(TMemoryBuffer& out, uint32_t size)
{
    Cursor cursor(out, 8);
    cursor.list(size);
}

void writeBlockEnd(TMemoryBuffer& out)
{
    Cursor cursor(out, 1);
    cursor.stop();
}

void writeLocationList(TMemoryBuffer& out, const ZLocationTable& locations)
{
    // Eight integers of at most 5 bytes, each with its header, and the stop.
    constexpr uint64_t locationRoom = 8 * 6 + 1;
    const uint64_t room = 8 + locationRoom * locations.locations.size();
    if (room > std::numeric_limits<uint32_t>::max())
        throw apache::thrift::protocol::TProtocolException(apache::thrift::protocol::TProtocolException::SIZE_LIMIT);
    Cursor cursor(out, static_cast<uint32_t>(room));
    cursor.list(static_cast<uint32_t>(locations.locations.size()));
    for (const auto& entry : locations.locations) {
        const ZLocation& location = *entry.second;
        for (int32_t value : {location.id, location.calleeClassNameToken, location.calleeMethodNameToken,
                              location.layerToken, location.callerClassNameId, location.callerMethodNameId,
                              location.callerLineNumber, location.layerTypeId}) {
            cursor.field(1, kI32);
            cursor.i32(value);
        }
        cursor.stop();
    }
}

void writeSymbolList(TMemoryBuffer& out, const ZSymbolTable& symbols)
{
    // Each symbol: its token (header and at most 5 bytes), its text (header,
    // length of at most 5 bytes, the bytes) and the stop.
    constexpr uint64_t limit = std::numeric_limits<uint32_t>::max();
    uint64_t room = 8;
    for (const auto& entry : symbols.symbols) {
        if (entry.first.size() > limit - 5u)
            throw apache::thrift::protocol::TProtocolException(
                apache::thrift::protocol::TProtocolException::SIZE_LIMIT);
        room += 6 + 6 + entry.first.size() + 1;
    }
    if (room > limit)
        throw apache::thrift::protocol::TProtocolException(apache::thrift::protocol::TProtocolException::SIZE_LIMIT);
    Cursor cursor(out, static_cast<uint32_t>(room));
    cursor.list(static_cast<uint32_t>(symbols.symbols.size()));
    for (const auto& entry : symbols.symbols) {
        cursor.field(1, kI32);
        cursor.i32(entry.second);
        cursor.text(1, entry.first);
        cursor.stop();
    }
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
    const ZPHPException& exception = event.exception;
    Cursor cursor(out, withException ? roomWith({&exception.type, &exception.trace, &exception.message})
                                     : kRecordRoom);
    cursor.field(5, kStruct);  // EventDTO's methodEndEvent
    writeMethodPart(cursor, event);
    cursor.field(1, kI32);     // startEventInstanceId
    cursor.i32(event.startEventInstanceId);
    cursor.field(1, kByte);    // flags
    cursor.byte(static_cast<int8_t>(event.flags & 0xFF));
    if (withException) {
        cursor.text(1, exception.type);
        cursor.text(1, exception.trace);
        cursor.text(1, exception.message);
    }
    cursor.stop();
    cursor.stop();
}

void writeHttpFragmentStart(TMemoryBuffer& out, const ZHttpFragmentStartEvent& event)
{
    Cursor cursor(out, roomWith({&event.remoteConsumerId, &event.diagArg}));
    cursor.field(1, kStruct);  // EventDTO's httpFragmentStartEvent
    cursor.field(1, kStruct);  //  fragmentStartEvent
    cursor.field(7, kI32);     //   transactionType (the tokens before it unset)
    cursor.i32(event.transactionType);
    cursor.field(1, kI32);     //   uriToken
    cursor.i32(event.uriToken);
    cursor.text(1, event.remoteConsumerId);
    cursor.text(1, event.diagArg);
    cursor.field(1, kStruct);  //   fragmentEvent
    writeFragmentPart(cursor, event);
    cursor.stop();
    cursor.stop();
    cursor.stop();
}

void writeHttpFragmentEnd(TMemoryBuffer& out, const ZHttpFragmentEndEvent& event)
{
    Cursor cursor(out, kRecordRoom);
    cursor.field(2, kStruct);  // EventDTO's httpFragmentEndEvent
    cursor.field(1, kI32);     //  httpStatusCode
    cursor.i32(event.httpStatusCode);
    cursor.field(2, kI32);     //  uriToken (httpDescription unset)
    cursor.i32(event.uriToken);
    cursor.field(1, kStruct);  //  fragmentEndEvent
    cursor.field(1, kStruct);  //   fragmentEvent
    writeFragmentPart(cursor, event);
    cursor.stop();
    cursor.stop();
    cursor.stop();
}

void writeRemoteFragmentStart(TMemoryBuffer& out, const ZRemoteFragmentStartEvent& event)
{
    Cursor cursor(out, roomWith({&event.remoteConsumerId, &event.diagArg, &event.correlationToken}));
    cursor.field(10, kStruct);  // EventDTO's remoteFragmentStartEvent
    cursor.field(1, kI32);      //  uriToken
    cursor.i32(event.uriToken);
    cursor.text(1, event.remoteConsumerId);
    cursor.text(1, event.diagArg);
    cursor.text(1, event.correlationToken);
    cursor.field(1, kStruct);   //  threadEvent
    writeThreadData(cursor, event);
    cursor.stop();
    cursor.stop();
}

void writeRemoteFragmentEnd(TMemoryBuffer& out, const ZRemoteFragmentEndEvent& event)
{
    Cursor cursor(out, kRecordRoom);
    cursor.field(9, kStruct);  // EventDTO's remoteFragmentEndEvent
    cursor.field(1, kI32);     //  httpStatusCode
    cursor.i32(event.httpStatusCode);
    cursor.field(2, kI32);     //  uriToken (httpDescription unset)
    cursor.i32(event.uriToken);
    cursor.field(1, kStruct);  //  threadEvent
    writeThreadData(cursor, event);
    cursor.field(1, kI64);     //  adjustedEndTime
    cursor.i64(event.adjustedEndTime);
    cursor.stop();
    cursor.stop();
}

void writeFragmentAttribute(TMemoryBuffer& out, const ZFragmentAttributeEvent& event)
{
    Cursor cursor(out, roomWith({&event.name, &event.value}));
    cursor.field(3, kStruct);  // EventDTO's fragmentAttributeEvent
    cursor.field(1, kI32);     //  threadId
    cursor.i32(event.threadId);
    cursor.field(1, kI64);     //  txnInstanceId
    cursor.i64(0);
    cursor.text(1, event.name);
    cursor.text(1, event.value);
    cursor.field(1, kStruct);  //  captureEvent
    cursor.field(1, kI32);     //   locationId
    cursor.i32(event.locationId);
    cursor.stop();
    cursor.stop();
    cursor.stop();
}

} // namespace ZCompactRecords
