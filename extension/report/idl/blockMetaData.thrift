include "EventDTO.thrift"
include "locationDTO.thrift"
include "symbolDTO.thrift"

// Everything one request reports: sent as one length-prefixed frame.
struct BlockMetaData {
  1: list<EventDTO.EventDTO> events
  2: list<locationDTO.LocationDTO> locations
  3: list<symbolDTO.SymbolDTO> symbols
}
