#include "extension/ZCaptureEvent.h"

ZCaptureEvent::~ZCaptureEvent() = default;
