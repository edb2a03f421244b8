include "threadEvent.thrift"

struct RemoteFragmentEndEvent {
  1: required i32 httpStatusCode
  2: optional string httpDescription
  3: required i32 uriToken
  4: required threadEvent.ThreadEvent threadEvent
  5: required i64 adjustedEndTime
}
