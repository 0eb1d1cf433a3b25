#pragma once
#include "platform/AsyncSocket.h"

// Where the answers to Kestrune's own requests are delivered: no browser waits for them (the
// exchange and its records keep them), so every byte is taken at once and dropped. It holds an
// unconnected socket, with no events, only so that the relay's sends find it open.
class CAnswerSink : public CAsyncSocket {
public:
    bool Open() { return IsOpen() || Socket(0); }
    int Send(const void*, int length) override { return length; }
    int Receive(void*, int) override
    {
        SetLastError(WSAEWOULDBLOCK);
        return -1;
    }
};
