#pragma once

#include "extension/ZMethodEndEvent.h"

class ZRemoteMethodEndEvent : public ZMethodEndEvent {
public:
    ZRemoteMethodEndEvent() { type = REMOTE_METHOD_END; }
};
