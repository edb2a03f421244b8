// The eight integers of a code location, in the order the peer expects.
struct LocationDTO {
  1: required i32 id
  2: required i32 calleeClassNameToken
  3: required i32 calleeMethodNameToken
  4: required i32 layerToken
  5: required i32 callerClassNameId
  6: required i32 callerMethodNameId
  7: required i32 callerLineNumber
  8: required i32 layerTypeId
}
