#include "extension/report/ZEventsChannelThrift.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <typeinfo>
#include <vector>

#include <thrift/Thrift.h>
#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>
#include <thrift/transport/TTransportException.h>

#include "common/VornUtils.h"
#include "common/zException.h"
#include "extension/model/ZFragmentAttributeEvent.h"
#include "extension/model/ZHttpFragmentEndEvent.h"
#include "extension/model/ZHttpFragmentStartEvent.h"
#include "extension/model/ZInvocationAttributeEvent.h"
#include "extension/model/ZMethodEndEvent.h"
#include "extension/model/ZMethodStartEvent.h"
#include "extension/model/ZRemoteFragmentEndEvent.h"
#include "extension/model/ZRemoteFragmentStartEvent.h"
#include "extension/model/ZRemoteMethodEndEvent.h"
#include "extension/model/ZRemoteMethodStartEvent.h"
#include "extension/crossvm/CorrelationToken.h"
#include "extension/report/ZCompactRecords.h"
#include "extension/report/ZDeadlineTransport.h"
#include "extension/report/idl/EventDTO_types.h"
#include "extension/report/idl/blockMetaData_types.h"
#include "extension/report/idl/handshakeDTO_types.h"

using apache::thrift::TException;
using apache::thrift::protocol::TCompactProtocol;
using apache::thrift::protocol::TCompactProtocolT;
using apache::thrift::protocol::TProtocol;
using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TMemoryBuffer;
using apache::thrift::transport::TSocket;
using apache::thrift::transport::TTransport;
using apache::thrift::transport::TTransportException;

const char* const ZEventsChannelThrift::HANDSHAKE_ID = "com.kolvane.common.io.mediator.EventChannel.Outgoing\n";

namespace {

const wchar_t* const kUnknownType = L"Don't know how to convert ZCaptureEvent => EventDTO";

// The common parts of the wire records, filled where they stand in the record
// (an event record is large: building parts aside and copying them in would
// copy each event's texts twice more).
void fillLocation(CaptureEvent& part, const ZCaptureEvent& event)
{
    part.locationId = event.locationId;
}

void fillThread(ThreadEvent& part, const ZThreadEvent& event)
{
    fillLocation(part.captureEvent, event);
    part.threadId = event.threadId;
    part.depth = event.depth;
    part.timeInMicroseconds = static_cast<int64_t>(event.timeInMicroseconds);
}

// The method part and the fragment part: the thread part alone, their
// transaction instance ids unset.
template <typename Part>
void fillThreadHolder(Part& part, const ZThreadEvent& event)
{
    fillThread(part.threadData, event);
}

void fillMethodStart(MethodStartEvent& part, const ZMethodStartEvent& event)
{
    fillThreadHolder(part.methodEvent, event);
    part.eventInstance = event.eventInstance;
    part.methodArgToken = event.methodArgToken;
}

void fillMethodEnd(MethodEndEvent& part, const ZMethodEndEvent& event)
{
    fillThreadHolder(part.methodEvent, event);
    part.startEventInstanceId = event.startEventInstanceId;
    part.flags = static_cast<int8_t>(event.flags & 0xFF);
    if (event.flags & 1) {
        part.__set_exceptionType(event.exception.type);
        part.__set_stackTrace(event.exception.trace);
        part.__set_exceptionMessage(event.exception.message);
    }
}

// The record's member, emptied first (the record given may not be new).
template <typename Member>
Member& fresh(Member& member)
{
    member = Member();
    return member;
}

// The event as the class its type code stands for; an event whose class does
// not fit its code is refused like an unknown code instead of being misread.
template <typename T>
const T& as(const boost::shared_ptr<ZCaptureEvent>& event)
{
    const T* typed = dynamic_cast<const T*>(event.get());
    if (!typed) {
        throw zException(kUnknownType);
    }
    return *typed;
}

// Encodes the event with the direct encoder when it is exactly the encoder's
// class: an event of another class under the type code takes the checked
// way of toThriftEventDTO.
template <typename T>
bool writeAs(TMemoryBuffer& memory, const ZCaptureEvent& event, void (*write)(TMemoryBuffer&, const T&))
{
    if (typeid(event) != typeid(T))
        return false;
    write(memory, static_cast<const T&>(event));
    return true;
}

// Encodes the event without its generated record when its class has a direct
// encoder; false when it has none (or there is no event).
bool writeDirectly(TMemoryBuffer& memory, const ZCaptureEvent* event)
{
    if (event == nullptr)
        return false;
    switch (event->type) {
    case METHOD_START:
        return writeAs(memory, *event, ZCompactRecords::writeMethodStart);
    case METHOD_END:
        return writeAs(memory, *event, ZCompactRecords::writeMethodEnd);
    case HTTP_FRAGMENT_START:
        return writeAs(memory, *event, ZCompactRecords::writeHttpFragmentStart);
    case HTTP_FRAGMENT_END:
        return writeAs(memory, *event, ZCompactRecords::writeHttpFragmentEnd);
    case REMOTE_FRAGMENT_START:
        return writeAs(memory, *event, ZCompactRecords::writeRemoteFragmentStart);
    case REMOTE_FRAGMENT_END:
        return writeAs(memory, *event, ZCompactRecords::writeRemoteFragmentEnd);
    case FRAGMENT_ATTRIBUTE:
        return writeAs(memory, *event, ZCompactRecords::writeFragmentAttribute);
    default:
        return false;
    }
}

} // namespace

struct ZEventsChannelThrift::Encoding {
    static constexpr uint32_t KEPT_BUFFER_BYTES = 64 * 1024;

    std::shared_ptr<TMemoryBuffer> memory = std::make_shared<TMemoryBuffer>();
    TCompactProtocolT<TMemoryBuffer> encoder{memory};
    // The record of the events not encoded directly (see doSend).
    EventDTO event;
};

void ZEventsChannelThrift::EncodingDeleter::operator()(Encoding* encoding) const
{
    delete encoding;
}

ZEventsChannelThrift::ZEventsChannelThrift(const VornLog& log)
    : log(log)
{
}

ZEventsChannelThrift::~ZEventsChannelThrift()
{
    try {
        release(madeByAnotherProcess() ? Release::DescriptorOnly : Release::Graceful);
    } catch (...) {
        // Closing never fails the caller; the descriptor goes with the objects.
    }
}

bool ZEventsChannelThrift::madeByAnotherProcess() const
{
    return protocol && owner != vorn::getProcessID();
}

std::string ZEventsChannelThrift::release(Release how)
{
    // Nothing writes to the socket once the sender has let go of it; a
    // graceful close first writes what is queued. A failure it returns on a
    // graceful close was not raised at any send (those release first and
    // raise the text it returns): it is said here, and the connection ends
    // as a broken one, so that a block cut short does not look complete to
    // the peer.
    std::string failure;
    if (sender) {
        failure = sender->detach(how == Release::Graceful);
        if (!failure.empty() && how == Release::Graceful) {
            log.logError("Failed to report events:", failure);
            failure.clear();
            how = Release::Reset;
        }
    }
    const int fd = socket ? socket->getSocketFD() : -1;
    if (fd >= 0 && how == Release::DescriptorOnly) {
        // The socket is shared with the process that made it: the library's
        // close would shut it down (a FIN on that process's connection) and
        // a reset would end it. Put a fresh, unconnected socket in its place
        // under the same number: the library then closes that one, and this
        // process's reference to the shared socket is gone without a byte.
        const int blank = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool replaced = blank >= 0 && ::dup3(blank, fd, O_CLOEXEC) >= 0;
        if (blank >= 0)
            ::close(blank);
        if (!replaced) {
            // Out of descriptors: keep the connection's objects for the life
            // of the process rather than touch the shared socket.
            static auto* kept = new std::vector<std::shared_ptr<TSocket>>();
            kept->push_back(socket);
        }
    } else if (fd >= 0 && how == Release::Reset) {
        const linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    } else if (fd >= 0) {
        // Bytes the peer sent and nobody read would turn the close into a
        // reset, which may make the peer drop blocks it has not read yet.
        char sink[4096];
        for (int drained = 0; drained < DRAIN_LIMIT;) {
            const ssize_t got = ::recv(fd, sink, sizeof(sink), MSG_DONTWAIT);
            if (got <= 0)
                break;
            drained += static_cast<int>(got);
        }
    }
    protocol.reset();
    socket.reset();
    owner = 0;
    return failure;
}

template <typename Operation>
void ZEventsChannelThrift::guarded(Operation operation)
{
    if (madeByAnotherProcess())
        release(Release::DescriptorOnly);
    try {
        operation();
    } catch (const zException&) {
        throw;
    } catch (const std::exception& e) {
        // TException and anything the standard library raises on the way:
        // the connection is broken; it is dropped with a reset, so that the
        // peer does not take a block cut short for a whole one, and only
        // zException leaves the channel. The blocks the reset loses are
        // named with the failure.
        const std::string lost = release(Release::Reset);
        throw zException(vorn::toUtf(lost.empty() ? std::string(e.what()) : e.what() + std::string("; ") + lost));
    } catch (...) {
        const std::string lost = release(Release::Reset);
        throw zException(L"Unknown failure of the event channel" + (lost.empty() ? L"" : L"; " + vorn::toUtf(lost)));
    }
}

void ZEventsChannelThrift::handshake(const HandshakeData& data)
{
    guarded([&] { doHandshake(data); });
}

void ZEventsChannelThrift::doHandshake(const HandshakeData& data)
{
    // A connection held from an earlier handshake ends first.
    release(Release::Graceful);
    socket = std::make_shared<TSocket>(data.host, data.port);
    owner = vorn::getProcessID();
    socket->setConnTimeout(CONNECT_TIMEOUT_MS);
    // The library's default is a zero linger time, which ends every close
    // with a reset; the connection is closed gracefully instead.
    socket->setLinger(false, 0);
    socket->setRecvTimeout(IO_TIMEOUT_MS);
    socket->setSendTimeout(IO_TIMEOUT_MS);
    socket->setNoDelay(true);

    // The peer's identification is read within one limit in all, not only
    // per read, whatever the peer sends or how slowly.
    auto limited = std::make_shared<ZDeadlineTransport>(socket, IO_TIMEOUT_MS);
    auto buffered = std::make_shared<TBufferedTransport>(limited, 512, 512);
    protocol = std::make_shared<TCompactProtocol>(buffered, PEER_STRING_LIMIT, PEER_CONTAINER_LIMIT);
    buffered->open();
    // Programs a script starts (exec, proc_open, mail) must not inherit the
    // connection: the aggregator would not see it close while they run.
    const int fd = socket->getSocketFD();
    if (fd >= 0) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0)
            ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }

    // Only a failed read matters; the peer's values are not examined.
    ThriftProtocolIdentificationDTO peer;
    peer.read(protocol.get());
    socket->setRecvTimeout(IO_TIMEOUT_MS);

    ThriftProtocolIdentificationDTO identification;
    identification.handshakeId = HANDSHAKE_ID;
    identification.protocolVersion = PROTOCOL_VERSION;
    identification.write(protocol.get());
    buffered->flush();

    ThriftProbeMetaDataDTO metadata;
    metadata.probeName = data.probeName;
    metadata.probeOID = data.probeOID;
    metadata.hostname = data.hostname;
    metadata.probeType = static_cast<int8_t>(data.probeType & 0xFF);
    metadata.__set_versionInfo("mediator_ping");
    metadata.write(protocol.get());
    buffered->flush();

    // From now on blocks go straight to the socket, already framed in memory.
    protocol = std::make_shared<TCompactProtocol>(socket);
    std::shared_ptr<TTransport> transport = protocol->getTransport();
    transport->open();
    if (!transport->isOpen()) {
        throw zException(L"Could not open transport for communication");
    }
    if (!sender)
        sender.reset(new ZBlockSender());
    sender->attach(socket->getSocketFD(), std::chrono::milliseconds(IO_TIMEOUT_MS));
}

void ZEventsChannelThrift::send(const ZSymbolTable& symbols, const ZLocationTable& locations,
                                const std::list<boost::shared_ptr<ZCaptureEvent>>& events)
{
    guarded([&] { doSend(symbols, locations, events); });
}

void ZEventsChannelThrift::doSend(const ZSymbolTable& symbols, const ZLocationTable& locations,
                                  const std::list<boost::shared_ptr<ZCaptureEvent>>& events)
{
    if (!protocol) {
        throw zException(L"Event channel is not connected");
    }

    if (!encoding)
        encoding.reset(new Encoding());
    Encoding& kept = *encoding;
    // Whatever goes wrong below leaves the kept encoder in an unknown state:
    // the next block starts from new ones.
    struct DropUnlessDone {
        std::unique_ptr<Encoding, EncodingDeleter>& encoding;
        bool done = false;
        ~DropUnlessDone()
        {
            if (!done)
                encoding.reset();
        }
    } dropUnlessDone{encoding};

    // The encoder knows its transport's type, so the many small writes of
    // the encoding go straight to the memory buffer; the bytes are the same.
    TMemoryBuffer& memory = *kept.memory;
    memory.resetBuffer();
    const uint8_t lengthRoom[4] = {0, 0, 0, 0};
    memory.write(lengthRoom, sizeof(lengthRoom));

    log.logDbg2("Sending SymbolTable with:", symbols.symbols.size(), "entries");
    if (!locations.locations.empty())
        log.logDbg2("Sending Location Table with:", locations.locations.size(), "entries");

    // The block's lists are written record by record, without building the
    // block's generated records: symbols, locations, the events of a kept
    // call (method start and end, most of a block) and those that frame the
    // request are encoded directly, the others through their generated
    // record.
    ZCompactRecords::writeBlockList(memory, static_cast<uint32_t>(events.size()));
    for (const auto& event : events) {
        if (!writeDirectly(memory, event.get())) {
            // A kept record is reused with its marks cleared, and only the
            // member its type selects is filled anew.
            EventDTO& dto = kept.event;
            dto.__isset = _EventDTO__isset();
            toThriftEventDTO(event, dto);
            dto.write(&kept.encoder);
        }
    }
    log.logDbg2("Sending Events Table with:", events.size(), "entries");

    ZCompactRecords::writeLocationList(memory, locations);
    ZCompactRecords::writeSymbolList(memory, symbols);

    ZCompactRecords::writeBlockEnd(memory);
    memory.flush();

    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    memory.getBuffer(&bytes, &size);
    const uint32_t length = size - 4;
    bytes[0] = static_cast<uint8_t>(length >> 24);
    bytes[1] = static_cast<uint8_t>(length >> 16);
    bytes[2] = static_cast<uint8_t>(length >> 8);
    bytes[3] = static_cast<uint8_t>(length);
    log.logDbg2("Buffer size is:", size);

    // A large block's buffer is not kept for the worker's life.
    dropUnlessDone.done = size <= Encoding::KEPT_BUFFER_BYTES;

    // A connection the peer closed was noticed by the sender (the enqueue
    // then fails), without asking the kernel here for every block.
    std::string why;
    if (!sender || !sender->enqueue(bytes, size, why))
        raiseSenderFailure(why.empty() ? "Event channel is not connected" : why);
}

void ZEventsChannelThrift::raiseSenderFailure(const std::string& why)
{
    // The connection is reset now, while its socket still tells which
    // blocks the peer has not acknowledged: the text then counts them too.
    const std::string lost = release(Release::Reset);
    throw TTransportException(TTransportException::NOT_OPEN, lost.empty() ? why : lost);
}

void ZEventsChannelThrift::flush()
{
    guarded([&] {
        if (!protocol) {
            throw zException(L"Event channel is not connected");
        }
        const std::string failure = sender ? sender->flush() : std::string();
        if (!failure.empty())
            raiseSenderFailure(failure);
        protocol->getTransport()->flush();
    });
}

void ZEventsChannelThrift::toThriftEventDTO(boost::shared_ptr<ZCaptureEvent> event, EventDTO& dto)
{
    if (!event || static_cast<uint32_t>(event->type) > 9) {
        throw zException(kUnknownType);
    }
    switch (event->type) {
    case HTTP_FRAGMENT_START: {
        const auto& e = as<ZHttpFragmentStartEvent>(event);
        FragmentStartEvent& record = fresh(dto.httpFragmentStartEvent).fragmentStartEvent;
        record.__set_transactionType(e.transactionType);
        record.uriToken = e.uriToken;
        record.__set_remoteConsumerId(e.remoteConsumerId);
        record.diagArg = e.diagArg;
        fillThreadHolder(record.fragmentEvent, e);
        dto.__isset.httpFragmentStartEvent = true;
        break;
    }
    case HTTP_FRAGMENT_END: {
        const auto& e = as<ZHttpFragmentEndEvent>(event);
        HttpFragmentEndEvent& record = fresh(dto.httpFragmentEndEvent);
        record.httpStatusCode = e.httpStatusCode;
        record.uriToken = e.uriToken;
        fillThreadHolder(record.fragmentEndEvent.fragmentEvent, e);
        record.fragmentEndEvent.__isset.fragmentEvent = true;
        dto.__isset.httpFragmentEndEvent = true;
        break;
    }
    case METHOD_START: {
        const auto& e = as<ZMethodStartEvent>(event);
        fillMethodStart(fresh(dto.methodStartEvent), e);
        dto.__isset.methodStartEvent = true;
        break;
    }
    case METHOD_END: {
        const auto& e = as<ZMethodEndEvent>(event);
        fillMethodEnd(fresh(dto.methodEndEvent), e);
        dto.__isset.methodEndEvent = true;
        break;
    }
    case FRAGMENT_ATTRIBUTE: {
        const auto& e = as<ZFragmentAttributeEvent>(event);
        FragmentAttributeEvent& record = fresh(dto.fragmentAttributeEvent);
        record.threadId = e.threadId;
        record.txnInstanceId = 0;
        record.name = e.name;
        record.value = e.value;
        fillLocation(record.captureEvent, e);
        dto.__isset.fragmentAttributeEvent = true;
        break;
    }
    case REMOTE_METHOD_END: {
        const auto& e = as<ZRemoteMethodEndEvent>(event);
        fillMethodEnd(fresh(dto.remoteMethodEndEvent).methodEndEvent, e);
        dto.__isset.remoteMethodEndEvent = true;
        break;
    }
    case REMOTE_METHOD_START: {
        log.logDbg2("ZEventsChannelThrift::toThriftEventDTO(): converting RemoteMethodStartEvent");
        const auto& e = as<ZRemoteMethodStartEvent>(event);
        RemoteMethodStartEvent& record = fresh(dto.remoteMethodStartEvent);
        fillMethodStart(record.methodStartEvent, e);
        record.__set_correlationToken(e.correlationToken);
        record.targetInfoToken = e.targetInfoToken;
        dto.__isset.remoteMethodStartEvent = true;
        if (!e.correlationToken.empty()) {
            log.logDbg2("CorrelationTokenOut:", e.correlationToken);
            try {
                CorrelationToken::print(log, e.correlationToken);
            } catch (const std::exception& error) {
                // The token still travels as it is; only its dump is lost.
                log.logWarning("Cannot decode outgoing correlation token:", error.what());
            }
        }
        break;
    }
    case INVOCATION_ATTRIBUTE: {
        const auto& e = as<ZInvocationAttributeEvent>(event);
        InvocationAttributeEvent& record = fresh(dto.invocationAttributeEvent);
        fillLocation(record.captureEvent, e);
        record.threadId = e.threadId;
        record.depth = e.depth;
        record.startEventInstance = e.startEventInstance;
        record.attributeName = e.attributeName;
        record.attributeValue = e.attributeValue;
        dto.__isset.invocationAttributeEvent = true;
        break;
    }
    case REMOTE_FRAGMENT_START: {
        const auto& e = as<ZRemoteFragmentStartEvent>(event);
        RemoteFragmentStartEvent& record = fresh(dto.remoteFragmentStartEvent);
        record.uriToken = e.uriToken;
        record.__set_remoteConsumerId(e.remoteConsumerId);
        record.diagArg = e.diagArg;
        record.correlationToken = e.correlationToken;
        fillThread(record.threadEvent, e);
        dto.__isset.remoteFragmentStartEvent = true;
        break;
    }
    case REMOTE_FRAGMENT_END: {
        const auto& e = as<ZRemoteFragmentEndEvent>(event);
        RemoteFragmentEndEvent& record = fresh(dto.remoteFragmentEndEvent);
        record.httpStatusCode = e.httpStatusCode;
        record.uriToken = e.uriToken;
        fillThread(record.threadEvent, e);
        record.adjustedEndTime = e.adjustedEndTime;
        dto.__isset.remoteFragmentEndEvent = true;
        break;
    }
    default:
        throw zException(kUnknownType);
    }
}
