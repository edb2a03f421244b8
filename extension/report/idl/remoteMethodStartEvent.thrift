include "methodStartEvent.thrift"

struct RemoteMethodStartEvent {
  1: required methodStartEvent.MethodStartEvent methodStartEvent
  2: optional binary correlationToken
  3: required i32 targetInfoToken
}
