#pragma once
#include "platform/AsyncSocket.h"

// The listening socket on which browsers reach the proxy. Each accepted connection gets its
// own CProxy, which lives on by itself; the listener keeps no list of them.
class CListen : public CAsyncSocket {
public:
    CListen();
    ~CListen() override;

    void OnAccept(int errorCode) override;
};
