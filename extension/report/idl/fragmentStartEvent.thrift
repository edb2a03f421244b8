include "fragmentEvent.thrift"

struct FragmentStartEvent {
  1: optional i32 txnNameToken
  2: optional i32 txnIdToken
  3: optional i32 hostNameToken
  4: optional i32 sessionNameToken
  5: optional i32 locationNameToken
  6: optional i32 locationIdToken
  7: optional i32 transactionType
  8: required i32 uriToken
  9: string remoteConsumerId
  10: required string diagArg
  11: required fragmentEvent.FragmentEvent fragmentEvent
}
