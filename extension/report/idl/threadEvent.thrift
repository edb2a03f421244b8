include "captureEvent.thrift"

struct ThreadEvent {
  1: required captureEvent.CaptureEvent captureEvent
  2: required i32 threadId
  3: required i32 depth
  4: required i64 timeInMicroseconds
  5: optional i64 cpuTimeInNano
}
