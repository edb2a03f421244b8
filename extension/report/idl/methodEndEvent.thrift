include "methodEvent.thrift"

struct MethodEndEvent {
  1: required methodEvent.MethodEvent methodEvent
  2: required i32 startEventInstanceId
  3: required i8 flags
  4: optional string exceptionType
  5: optional string stackTrace
  6: optional string exceptionMessage
}
