include "fragmentStartEvent.thrift"

struct HttpFragmentStartEvent {
  1: required fragmentStartEvent.FragmentStartEvent fragmentStartEvent
}
