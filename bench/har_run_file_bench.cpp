// What a --har run costs the event loop, without the relay: N finished exchanges (a keep-alive
// GET with a 300-byte answer, as bench/har_save_stall.py sends) are handed to a CHarRunFile, with
// a save asked for after every STEP of them. Prints, per save, the loop's time for the last
// STEP hand-overs (longest and mean), for asking the save, and the thread's time until the HAR
// was on disk; then the process's RSS. Usage: har_run_file_bench [N] [STEP] (45000 5000).
#include "app/HarRunFile.h"
#include "trace/Exchange.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

long RssKib()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:" && status >> value)
            return value;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int total = argc > 1 ? std::atoi(argv[1]) : 45000;
    const int step = argc > 2 ? std::atoi(argv[2]) : 5000;
    QTemporaryDir dir;
    CHarRunFile har(dir.filePath("run.har").toStdString(), nullptr);
    std::string error;
    if (!har.Open(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    CExchange exchange;
    exchange.m_strHost = "127.0.0.1";
    exchange.m_nPort = 8080;
    exchange.m_strMethod = "GET";
    exchange.m_strVersion = "HTTP/1.1";
    exchange.m_nStatus = 200;
    exchange.m_strReason = "OK";
    exchange.m_strResponseHead = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 300\r\n\r\n";
    exchange.m_ResponseBody.bytes.assign(300, 'x');
    exchange.m_ResponseBody.total = 300;
    exchange.m_nEnd = EExchangeEnd::Complete;
    std::printf("%8s %12s %12s %12s %14s %9s\n", "entries", "add max ms", "add mean us", "save ask ms",
                "thread save ms", "RSS MiB");
    for (int done = 0; done < total;) {
        Clock::duration longest{}, sum{};
        for (int i = 0; i < step && done < total; ++i, ++done) {
            exchange.m_nId = static_cast<std::uint64_t>(done + 1);
            exchange.m_strTarget = "/item?n=" + std::to_string(done);
            exchange.m_strRequestHead = "GET http://127.0.0.1:8080" + exchange.m_strTarget
                                        + " HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nCookie: session=abc\r\n\r\n";
            exchange.m_Times = {1765000000000000 + done * 1000, 0, 0, 0, 1765000000000100 + done * 1000,
                                1765000000000300 + done * 1000, 1765000000000350 + done * 1000};
            const auto start = Clock::now();
            har.Add(exchange);
            const auto took = Clock::now() - start;
            longest = std::max(longest, took);
            sum += took;
        }
        const auto ask = Clock::now();
        har.Save();
        const auto asked = Clock::now();
        har.SaveNow(); // waits for the thread: the appends, that save and one more
        const auto saved = Clock::now();
        std::printf("%8d %12.3f %12.2f %12.3f %14.1f %9.1f\n", done, Ms(longest),
                    Ms(sum) * 1000 / step, Ms(asked - ask), Ms(saved - asked), RssKib() / 1024.0);
    }
    return 0;
}
