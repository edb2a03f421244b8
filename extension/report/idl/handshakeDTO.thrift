// First record of the handshake, exchanged in both directions.
struct ThriftProtocolIdentificationDTO {
  1: required string handshakeId
  2: required i32 protocolVersion
}

// The probe's identity, sent once per connection after the identification.
struct ThriftProbeMetaDataDTO {
  1: required string probeName
  2: optional string versionInfo
  3: required string probeOID
  4: required i8 probeType
  5: optional string runId
  6: optional string probeGroup = "Default"
  7: optional string systemGroup = ""
  8: required string hostname
  9: optional string AppServerTopologyNII = ""
  10: optional string virtualizationNII = ""
  11: optional i32 verifyPort = 0
  12: optional i64 probeTime = 0
  13: optional bool probeRegisteringForDataPulls = false
}
