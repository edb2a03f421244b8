#include "extension/report/ZDeadlineTransport.h"

#include <thrift/transport/TTransportException.h>

using apache::thrift::transport::TSocket;
using apache::thrift::transport::TTransportException;

ZDeadlineTransport::ZDeadlineTransport(std::shared_ptr<TSocket> socket, int limitMs)
    : socket_(std::move(socket)),
      limit_(limitMs),
      deadline_(std::chrono::steady_clock::now() + limit_)
{
}

bool ZDeadlineTransport::isOpen() const
{
    return socket_->isOpen();
}

bool ZDeadlineTransport::peek()
{
    return socket_->peek();
}

void ZDeadlineTransport::open()
{
    socket_->open();
    deadline_ = std::chrono::steady_clock::now() + limit_;
}

void ZDeadlineTransport::close()
{
    socket_->close();
}

void ZDeadlineTransport::flush()
{
    socket_->flush();
}

uint32_t ZDeadlineTransport::read(uint8_t* buf, uint32_t len)
{
    using namespace std::chrono;
    const auto left = duration_cast<milliseconds>(deadline_ - steady_clock::now());
    if (left.count() <= 0) {
        throw TTransportException(TTransportException::TIMED_OUT,
                                  "Timed out reading the probe aggregator's identification");
    }
    socket_->setRecvTimeout(static_cast<int>(left.count()));
    return socket_->read(buf, len);
}

void ZDeadlineTransport::write(const uint8_t* buf, uint32_t len)
{
    socket_->write(buf, len);
}
