#pragma once
#include "platform/AsyncSocket.h"

#include <memory>

class CTlsChannel;

// A socket that carries plaintext through a TLS channel once it has one (m_pTls), and its own
// bytes as they are before that. Reads and sends give the socket's results either way: a
// count, 0 at the peer's end, -1 with GetLastError() set (CTlsChannel::kTlsFailed once the
// session has failed).
class CTlsSocket : public CAsyncSocket {
public:
    CTlsSocket();
    ~CTlsSocket() override;

    int Send(const void* data, int length) override;
    int Receive(void* data, int length) override;

protected:
    std::unique_ptr<CTlsChannel> m_pTls;
};
