#pragma once
#include "app/TraceApp.h"
#include "support/BlockingStream.h"
#include "support/ClosedPort.h"
#include "support/LoopbackServer.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <memory>
#include <string>
#include <vector>

class CTraceConnection;

// A running proxy on a system-chosen port, with its own settings folder and trace store.
class ProxyFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sends request through the proxy and returns everything the proxy sends back until it
    // closes the connection.
    std::string Exchange(const std::string& request, int timeoutMs = 10000);
    // Waits until every connection pair has been torn down.
    bool AllClosed(int timeoutMs = 5000);

    const std::vector<std::unique_ptr<CTraceConnection>>& Entries() const;
    // "d/p/bytes" for each record of the entry, e.g. "0/1/40 1/1/120".
    std::string Records(const CTraceConnection& entry) const;

    std::string Url(int port, const std::string& path = "/") const;

    QTemporaryDir m_ConfigDir;
    std::unique_ptr<CTraceApp> m_pApp;
    std::vector<std::string> m_Messages;
    int m_nPort = 0;
};

// Reads one request header (through its blank line) and returns it.
std::string ReadHeader(BlockingStream& stream, int timeoutMs = 5000);
