#pragma once

#include <cstdint>
#include <string>

namespace apache { namespace thrift { namespace transport { class TMemoryBuffer; } } }

class ZFragmentAttributeEvent;
class ZHttpFragmentEndEvent;
class ZHttpFragmentStartEvent;
class ZMethodEndEvent;
class ZMethodStartEvent;
class ZRemoteFragmentEndEvent;
class ZRemoteFragmentStartEvent;
class ZLocationTable;
class ZSymbolTable;

// The records a block is mostly made of, appended to a memory buffer in the
// Thrift compact encoding without building their generated records first:
// each function writes exactly the bytes that the generated write of the
// same record gives (BlockMetaData, LocationDTO, SymbolDTO, and EventDTO
// holding a method event, a fragment event or a fragment attribute as the
// channel's toThriftEventDTO fills them). A kept call is two events and a
// location, every request six more events, and building and walking the
// nested generated records costs several times their encoding.
namespace ZCompactRecords {

using apache::thrift::transport::TMemoryBuffer;

// Begins the next of BlockMetaData's three lists of records (events,
// locations, symbols, always in this order and all three written) with its
// number of records.
void writeBlockList(TMemoryBuffer& out, uint32_t size);
// The end of the block.
void writeBlockEnd(TMemoryBuffer& out);

// The block's list of locations and its list of symbols, each with its
// beginning, in the tables' order; each is written into room taken at once.
void writeLocationList(TMemoryBuffer& out, const ZLocationTable& locations);
void writeSymbolList(TMemoryBuffer& out, const ZSymbolTable& symbols);

// An EventDTO whose only member is the event's record; the optional
// transaction ids and CPU time stay unset, the exception texts travel only
// with the error flag (bit 0).
void writeMethodStart(TMemoryBuffer& out, const ZMethodStartEvent& event);
void writeMethodEnd(TMemoryBuffer& out, const ZMethodEndEvent& event);

// The events that frame a request. The optional transaction fields stay
// unset; a fragment start carries its transaction type; an attribute's
// transaction instance id travels as 0.
void writeHttpFragmentStart(TMemoryBuffer& out, const ZHttpFragmentStartEvent& event);
void writeHttpFragmentEnd(TMemoryBuffer& out, const ZHttpFragmentEndEvent& event);
void writeRemoteFragmentStart(TMemoryBuffer& out, const ZRemoteFragmentStartEvent& event);
void writeRemoteFragmentEnd(TMemoryBuffer& out, const ZRemoteFragmentEndEvent& event);
void writeFragmentAttribute(TMemoryBuffer& out, const ZFragmentAttributeEvent& event);

} // namespace ZCompactRecords
