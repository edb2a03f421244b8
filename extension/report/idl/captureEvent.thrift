// Location part shared by every event record.
struct CaptureEvent {
  1: required i32 locationId
}
