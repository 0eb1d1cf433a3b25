#pragma once
#include "platform/AsyncSocket.h"

#include <functional>
#include <string>

// A CAsyncSocket whose events count themselves and run optional hooks. A hook may delete the
// socket it runs on.
class TestSocket : public CAsyncSocket {
public:
    using Hook = std::function<void(TestSocket&, int)>;

    Hook onAccept, onReceive, onSend, onConnect, onClose;
    int nAccept = 0, nReceive = 0, nSend = 0, nConnect = 0, nClose = 0;
    int connectError = -1, closeError = -1;
    std::string received; // filled by ReadAll

    // Reads everything available now into `received`; returns the last Receive result.
    int ReadAll();
    // Sends all of data, looping while the socket takes some; returns the count taken.
    int SendSome(const std::string& data);

    void OnAccept(int e) override { ++nAccept; Run(onAccept, e); }
    void OnReceive(int e) override { ++nReceive; Run(onReceive, e); }
    void OnSend(int e) override { ++nSend; Run(onSend, e); }
    void OnConnect(int e) override { ++nConnect; connectError = e; Run(onConnect, e); }
    void OnClose(int e) override { ++nClose; closeError = e; Run(onClose, e); }

private:
    void Run(const Hook& hook, int e)
    {
        if (hook) {
            Hook copy = hook; // the hook may delete this object, and with it `hook`
            copy(*this, e);
        }
    }
};
