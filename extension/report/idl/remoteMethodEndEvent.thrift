include "methodEndEvent.thrift"

struct RemoteMethodEndEvent {
  1: required methodEndEvent.MethodEndEvent methodEndEvent
}
