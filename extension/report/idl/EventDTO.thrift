include "httpFragmentStartEvent.thrift"
include "httpFragmentEndEvent.thrift"
include "fragmentAttributeEvent.thrift"
include "methodStartEvent.thrift"
include "methodEndEvent.thrift"
include "invocationAttributeEvent.thrift"
include "remoteMethodEndEvent.thrift"
include "remoteMethodStartEvent.thrift"
include "remoteFragmentEndEvent.thrift"
include "remoteFragmentStartEvent.thrift"

// One capture event; exactly one member is set, chosen by the event's type.
struct EventDTO {
  1: optional httpFragmentStartEvent.HttpFragmentStartEvent httpFragmentStartEvent
  2: optional httpFragmentEndEvent.HttpFragmentEndEvent httpFragmentEndEvent
  3: optional fragmentAttributeEvent.FragmentAttributeEvent fragmentAttributeEvent
  4: optional methodStartEvent.MethodStartEvent methodStartEvent
  5: optional methodEndEvent.MethodEndEvent methodEndEvent
  6: optional invocationAttributeEvent.InvocationAttributeEvent invocationAttributeEvent
  7: optional remoteMethodEndEvent.RemoteMethodEndEvent remoteMethodEndEvent
  8: optional remoteMethodStartEvent.RemoteMethodStartEvent remoteMethodStartEvent
  9: optional remoteFragmentEndEvent.RemoteFragmentEndEvent remoteFragmentEndEvent
  10: optional remoteFragmentStartEvent.RemoteFragmentStartEvent remoteFragmentStartEvent
}
