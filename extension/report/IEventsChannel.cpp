#include "extension/report/IEventsChannel.h"

IEventsChannel::~IEventsChannel() = default;
