struct TransactionEvent {
  1: i64 transactionInstanceId
}
