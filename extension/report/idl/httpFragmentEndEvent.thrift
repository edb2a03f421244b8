include "fragmentEndEvent.thrift"

struct HttpFragmentEndEvent {
  1: required i32 httpStatusCode
  2: optional string httpDescription
  3: required i32 uriToken
  4: required fragmentEndEvent.FragmentEndEvent fragmentEndEvent
}
