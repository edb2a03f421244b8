include "captureEvent.thrift"

struct InvocationAttributeEvent {
  1: required captureEvent.CaptureEvent captureEvent
  2: required i32 threadId
  3: required i32 depth
  4: required i32 startEventInstance
  5: required string attributeName
  6: required string attributeValue
  7: optional i64 txnInstanceId
}
