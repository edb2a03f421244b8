#pragma once

#include "extension/report/IEventsChannel.h"

// The handshake data of the report tests: a probe as the request callbacks
// describe it, aimed at a loopback port.
inline IEventsChannel::HandshakeData handshakeData(int port)
{
    IEventsChannel::HandshakeData data;
    data.port = port;
    data.probeName = "probe";
    data.probeOID = "probe.1700000000";
    data.hostname = "web1.example.com";
    data.probeType = 2;
    return data;
}
