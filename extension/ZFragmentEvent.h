#pragma once

#include "extension/ZThreadEvent.h"

class ZFragmentEvent : public ZThreadEvent {
};
