// "Save Session..." of a large window capture: the event loop's longest turn while the save
// runs in slices beside its writer thread, against the whole save on the loop as one call.
// The store holds N exchanges (default 100,000), each a GET and a 2 KiB answer on its own
// entry with its two records. Runs the two ways in turn, twice.
// Usage: session_save_bench FOLDER [EXCHANGES]
#include "app/SessionSaveJob.h"
#include "app/SessionSnapshot.h"
#include "app/TraceApp.h"
#include "trace/Exchange.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
double Ms(const QElapsedTimer& timer) { return static_cast<double>(timer.nsecsElapsed()) / 1e6; }

void Fill(CTraceStore& store, std::uint64_t count)
{
    const std::string body(2048, 'x');
    for (std::uint64_t n = 0; n < count; ++n) {
        auto exchange = store.AddExchange();
        exchange->m_strMethod = "GET";
        exchange->m_strHost = "api-" + std::to_string(n % 200) + ".shop.test";
        exchange->m_nPort = 80;
        exchange->m_strTarget = "/item/" + std::to_string(n);
        exchange->m_strVersion = "HTTP/1.1";
        exchange->m_nStatus = 200;
        exchange->m_ResponseBody.bytes = body;
        exchange->m_ResponseBody.total = body.size();
        exchange->m_nEnd = EExchangeEnd::Complete;
        const std::string request = "GET /item/" + std::to_string(n) + " HTTP/1.1\r\nHost: "
                                    + exchange->m_strHost + "\r\n\r\n";
        CTraceConnection* entry = store.AddConnection(nullptr, false);
        entry->AddChunk(ETraceDirection::Sent, ETracePart::Header, request, exchange->m_nId);
        entry->AddChunk(ETraceDirection::Received, ETracePart::Header,
                        "HTTP/1.1 200 OK\r\nContent-Length: 2048\r\n\r\n" + body,
                        exchange->m_nId);
        entry->DetachConnection();
    }
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: session_save_bench FOLDER [EXCHANGES]\n");
        return 2;
    }
    const std::string folder = argv[1];
    const std::uint64_t count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100'000;
    QCoreApplication qapp(argc, argv);
    CTraceApp app;
    app.InitCore();
    Fill(*app.m_pTraceStore, count);
    for (int round = 0; round < 2; ++round) {
        const std::string path = folder + "/save" + std::to_string(round) + ".kestrune";
        std::remove(path.c_str());
        QElapsedTimer timer;
        timer.start();
        std::string error;
        if (!SessionSnapshot::Save(app, path, error)) {
            std::fprintf(stderr, "session_save_bench: %s\n", error.c_str());
            return 1;
        }
        std::printf("on the loop:  saved in %8.1f ms, loop's longest turn %8.1f ms\n", Ms(timer),
                    Ms(timer));

        std::remove(path.c_str());
        CSessionSaveJob job(app, path);
        QElapsedTimer gap;
        double longest = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            longest = std::max(longest, Ms(gap));
            gap.restart();
        });
        bool over = false;
        QObject::connect(&job, &CSessionSaveJob::finished, [&](bool saved, const QString& why) {
            over = true;
            if (!saved)
                std::fprintf(stderr, "session_save_bench: %s\n", qPrintable(why));
        });
        timer.restart();
        gap.start();
        ticker.start(10);
        if (!job.Start(error)) {
            std::fprintf(stderr, "session_save_bench: %s\n", error.c_str());
            return 1;
        }
        for (int i = 0; i < 10'000'000 && !over; ++i)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        std::printf("in slices:    saved in %8.1f ms, loop's longest turn %8.1f ms\n", Ms(timer),
                    longest);
    }
    app.ExitInstance();
    return 0;
}
