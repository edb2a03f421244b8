struct SymbolDTO {
  1: required i32 token
  2: required string value
}
