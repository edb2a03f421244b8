#pragma once

#include "extension/model/ZFragmentStartEvent.h"

class ZHttpFragmentStartEvent : public ZFragmentStartEvent {
public:
    ZHttpFragmentStartEvent() { type = HTTP_FRAGMENT_START; }
};
