include "captureEvent.thrift"

struct FragmentAttributeEvent {
  1: required i32 threadId
  2: required i64 txnInstanceId
  3: required string name
  4: required string value
  5: required captureEvent.CaptureEvent captureEvent
}
