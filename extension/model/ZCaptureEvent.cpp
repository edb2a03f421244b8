#include "extension/model/ZCaptureEvent.h"

ZCaptureEvent::~ZCaptureEvent() = default;
