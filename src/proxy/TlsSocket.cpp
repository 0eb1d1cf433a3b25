#include "proxy/TlsSocket.h"

#include "proxy/TlsChannel.h"

CTlsSocket::CTlsSocket() = default;

CTlsSocket::~CTlsSocket() = default;

int CTlsSocket::Send(const void* data, int length)
{
    if (!m_pTls)
        return CAsyncSocket::Send(data, length);
    int error = 0;
    const int n = m_pTls->Send(static_cast<const char*>(data), length, error);
    if (n < 0)
        SetLastError(error);
    return n;
}

int CTlsSocket::Receive(void* data, int length)
{
    if (!m_pTls)
        return CAsyncSocket::Receive(data, length);
    int error = 0;
    const int n = m_pTls->Receive(static_cast<char*>(data), length, error);
    if (n < 0)
        SetLastError(error);
    return n;
}
