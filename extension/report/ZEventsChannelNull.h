#pragma once

#include "common/VornLog.h"
#include "extension/report/IEventsChannel.h"

// A channel that only logs that it was called ("qx.use_event_channel_null").
class ZEventsChannelNull : public IEventsChannel {
public:
    explicit ZEventsChannelNull(const VornLog& log);
    ~ZEventsChannelNull() override;

    void handshake(const HandshakeData& data) override;
    void send(const ZSymbolTable& symbols, const ZLocationTable& locations,
              const std::list<boost::shared_ptr<ZCaptureEvent>>& events) override;
    void flush() override;

    VornLog log;
};
