// Writes a session file of many exchanges (each a small GET with its two records, as a busy
// browsing session makes them), then times opening it back into a store.
// Usage: session_bench FILE [EXCHANGES]   (FILE must not exist; default 1,000,000 exchanges)
#include "session/SessionBatch.h"
#include "session/SessionReader.h"
#include "session/SessionWriter.h"
#include "trace/TraceStore.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

long PeakRssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return 0;
}

// Exchange n of the generated run: a page of its own, a small text answer.
void AddExchange(SSessionBatch& batch, std::uint64_t n)
{
    const int connection = static_cast<int>(n / 10 + 1); // ten requests per keep-alive connection
    const int sequence = static_cast<int>(n % 10) * 2 + 1;
    const std::string path = "/item/" + std::to_string(n);
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: shop.test\r\nAccept: */*\r\n\r\n";
    const std::string body = "<html><body>item " + std::to_string(n) + "</body></html>";
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n";
    const std::int64_t started = 1'760'000'000'000'000 + static_cast<std::int64_t>(n) * 5000;

    CExchange e;
    e.m_nId = n + 1;
    e.m_nBrowserConnection = connection;
    e.m_nServerConnection = connection;
    e.m_strHost = "shop.test";
    e.m_nPort = 80;
    e.m_strMethod = "GET";
    e.m_strTarget = "http://shop.test" + path;
    e.m_strVersion = "HTTP/1.1";
    e.m_strRequestHead = request;
    e.m_nStatus = 200;
    e.m_strReason = "OK";
    e.m_strResponseHead = response;
    e.m_ResponseBody = {body, body.size()};
    e.m_Times = {started, 0, 0, 0, started + 100, started + 900, started + 1000};
    e.m_nEnd = EExchangeEnd::Complete;
    batch.exchanges.push_back(std::move(e));

    STraceRecordFields sent;
    sent.connectionId = connection;
    sent.sequence = sequence;
    sent.bytes = static_cast<std::int32_t>(request.size());
    sent.text = request;
    sent.elapsed = 1;
    sent.captured = static_cast<std::time_t>(started / 1000000);
    sent.exchange = n + 1;
    STraceRecordFields received = sent;
    received.sequence = sequence + 1;
    received.direction = ETraceDirection::Received;
    received.bytes = static_cast<std::int32_t>(response.size() + body.size());
    received.header = response;
    received.text = body;
    received.contentType = "text/html";
    batch.records.push_back(std::move(sent));
    batch.records.push_back(std::move(received));
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: session_bench FILE [EXCHANGES]\n");
        return 2;
    }
    const std::string path = argv[1];
    const std::uint64_t count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1'000'000;

    auto start = Clock::now();
    {
        CSessionWriter writer;
        std::string error;
        if (!writer.Create(path, error)) {
            std::fprintf(stderr, "session_bench: %s\n", error.c_str());
            return 1;
        }
        SSessionBatch batch;
        batch.run = {{"program", "session_bench"}};
        for (std::uint64_t n = 0; n < count; ++n) {
            AddExchange(batch, n);
            if (batch.exchanges.size() == 10000 || n + 1 == count) {
                if (!writer.Write(batch, error)) {
                    std::fprintf(stderr, "session_bench: %s\n", error.c_str());
                    return 1;
                }
                batch = {};
            }
        }
    }
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    std::printf("wrote %llu exchanges (%llu records) in %.1f s: %.1f MiB\n",
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(count * 2),
                Seconds(start), static_cast<double>(file.tellg()) / (1 << 20));

    start = Clock::now();
    CTraceStore store;
    SSessionInfo info;
    std::string error;
    if (!CSessionReader().Read(path, store, info, error)) {
        std::fprintf(stderr, "session_bench: %s\n", error.c_str());
        return 1;
    }
    std::printf("opened in %.1f s: %zu exchanges, %zu entries; peak RSS %.0f MiB\n", Seconds(start),
                store.GetExchanges().size(), store.GetConnections().size(),
                static_cast<double>(PeakRssKiB()) / 1024);
    return 0;
}
