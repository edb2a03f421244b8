include "fragmentEvent.thrift"

struct FragmentEndEvent {
  1: fragmentEvent.FragmentEvent fragmentEvent
}
