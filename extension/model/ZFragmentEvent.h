#pragma once

#include "extension/model/ZThreadEvent.h"

class ZFragmentEvent : public ZThreadEvent {
};
