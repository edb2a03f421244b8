#include "extension/report/ZEventsChannelNull.h"

ZEventsChannelNull::ZEventsChannelNull(const VornLog& log)
    : log(log)
{
}

ZEventsChannelNull::~ZEventsChannelNull() = default;

void ZEventsChannelNull::handshake(const HandshakeData& /*data*/)
{
    log.logDbg1("ZEventsChannelNull::handshake() called");
}

void ZEventsChannelNull::send(const ZSymbolTable& /*symbols*/, const ZLocationTable& /*locations*/,
                              const std::list<boost::shared_ptr<ZCaptureEvent>>& /*events*/)
{
    log.logDbg1("ZEventsChannelNull::send() called");
}

void ZEventsChannelNull::flush()
{
    log.logDbg1("ZEventsChannelNull::flush() called");
}
