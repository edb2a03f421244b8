#pragma once

#include "extension/model/ZMethodEndEvent.h"

class ZRemoteMethodEndEvent : public ZMethodEndEvent {
public:
    ZRemoteMethodEndEvent() { type = REMOTE_METHOD_END; }
};
