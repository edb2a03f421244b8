#pragma once

#include <cstdint>

// Type codes of capture events; the wire record of an event is chosen by it.
enum CaptureEventType : int32_t {
    CAPTURE_EVENT_NONE = -1,
    HTTP_FRAGMENT_START = 0,
    HTTP_FRAGMENT_END = 1,
    METHOD_START = 2,
    METHOD_END = 3,
    FRAGMENT_ATTRIBUTE = 4,
    REMOTE_METHOD_END = 5,
    REMOTE_METHOD_START = 6,
    INVOCATION_ATTRIBUTE = 7,
    REMOTE_FRAGMENT_START = 8,
    REMOTE_FRAGMENT_END = 9,
};

// Root of the capture events: plain data holders. The most derived
// constructor sets the type code; classes that keep -1 are bases only.
class ZCaptureEvent {
public:
    ZCaptureEvent() = default;
    virtual ~ZCaptureEvent();

    int32_t locationId = -1;
    int32_t type = CAPTURE_EVENT_NONE;
};
