include "methodEvent.thrift"

struct MethodStartEvent {
  1: required methodEvent.MethodEvent methodEvent
  2: required i32 eventInstance
  3: required i32 methodArgToken
}
