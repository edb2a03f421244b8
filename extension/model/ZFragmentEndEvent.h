#pragma once

#include "extension/model/ZFragmentEvent.h"

class ZFragmentEndEvent : public ZFragmentEvent {
};
