#pragma once

#include <cstdint>
#include <string>

namespace apache { namespace thrift { namespace transport { class TMemoryBuffer; } } }

class ZMethodEndEvent;
class ZMethodStartEvent;
struct ZLocation;

// The records a block is mostly made of, appended to a memory buffer in the
// Thrift compact encoding without building their generated records first:
// each function writes exactly the bytes that the generated write of the
// same record gives (BlockMetaData, LocationDTO, SymbolDTO, and EventDTO
// holding a MethodStartEvent or MethodEndEvent as the channel fills them).
// A kept call is two events and a location, and building and walking the
// nested generated records costs several times their encoding.
namespace ZCompactRecords {

using apache::thrift::transport::TMemoryBuffer;

// Begins the next of BlockMetaData's three lists of records (events,
// locations, symbols, always in this order and all three written) with its
// number of records.
void writeBlockList(TMemoryBuffer& out, uint32_t size);
// The end of the block.
void writeBlockEnd(TMemoryBuffer& out);

void writeSymbol(TMemoryBuffer& out, int32_t token, const std::string& text);
void writeLocation(TMemoryBuffer& out, const ZLocation& location);

// An EventDTO whose only member is the event's record; the optional
// transaction ids and CPU time stay unset, the exception texts travel only
// with the error flag (bit 0).
void writeMethodStart(TMemoryBuffer& out, const ZMethodStartEvent& event);
void writeMethodEnd(TMemoryBuffer& out, const ZMethodEndEvent& event);

} // namespace ZCompactRecords
