include "threadEvent.thrift"

struct FragmentEvent {
  1: optional i64 txnInstanceId
  2: required threadEvent.ThreadEvent threadData
}
