#pragma once

#include "extension/ZFragmentEvent.h"

class ZFragmentEndEvent : public ZFragmentEvent {
};
