#include "support/TestSocket.h"

int TestSocket::ReadAll()
{
    char buffer[4096];
    for (int i = 0; i < 100000; ++i) {
        const int n = Receive(buffer, sizeof buffer);
        if (n <= 0)
            return n;
        received.append(buffer, static_cast<size_t>(n));
    }
    return 1;
}

int TestSocket::SendSome(const std::string& data)
{
    size_t offset = 0;
    while (offset < data.size()) {
        const int n = Send(data.data() + offset, static_cast<int>(data.size() - offset));
        if (n <= 0)
            break;
        offset += static_cast<size_t>(n);
    }
    return static_cast<int>(offset);
}
