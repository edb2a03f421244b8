include "threadEvent.thrift"

struct RemoteFragmentStartEvent {
  1: required i32 uriToken
  2: string remoteConsumerId
  3: required string diagArg
  4: required binary correlationToken
  5: required threadEvent.ThreadEvent threadEvent
}
