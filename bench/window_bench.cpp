// Relays through the proxy while its window is up (offscreen by default) with a viewer page
// active, and reports throughput and the longest pause of the event loop: a viewer pull at the
// pane limit must never hold up relaying for long. The clients are curl and wrk in their own
// processes; the origin is any loopback HTTP server given on the command line.
//
// Usage: window_bench ORIGIN_PORT [wrk-script]
//   ORIGIN_PORT serves /64m.bin (application/octet-stream), /64m.html (text/html) and /1k.bin.
#include "app/SettingsRegistry.h"
#include "app/TraceApp.h"
#include "trace/TraceStore.h"
#include "ui/shell/MainPropSheet.h"
#include "ui/shell/WindowApp.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Runs a client process while the event loop (and with it the proxy) goes on; returns its
// standard output, empty when it failed. The longest gap between two 1 ms ticks is the loop's
// longest pause during the run.
QString RunClient(const QString& program, const QStringList& args, double& longestPauseMs,
                  double& seconds)
{
    QProcess client;
    client.setProcessChannelMode(QProcess::SeparateChannels);
    QElapsedTimer wall, tick;
    QTimer ticker;
    double longest = 0;
    tick.start();
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = std::max(longest, tick.nsecsElapsed() / 1e6);
        tick.restart();
    });
    ticker.start(1);
    wall.start();
    client.start(program, args);
    QEventLoop loop;
    QObject::connect(&client, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&client, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit); // bounded: a stuck client ends here
    loop.exec();
    seconds = wall.nsecsElapsed() / 1e9;
    ticker.stop();
    longestPauseMs = longest;
    if (client.state() != QProcess::NotRunning) {
        client.kill();
        client.waitForFinished(5000);
        return {};
    }
    if (client.exitStatus() != QProcess::NormalExit || client.exitCode() != 0)
        return {};
    return QString::fromLocal8Bit(client.readAllStandardOutput());
}

void Transfers(int proxyPort, int originPort, const char* file, const char* page)
{
    const QString proxy = QStringLiteral("http://127.0.0.1:%1").arg(proxyPort);
    const QString url = QStringLiteral("http://127.0.0.1:%1/%2").arg(originPort).arg(file);
    for (int run = 1; run <= 3; ++run) {
        double pause = 0, seconds = 0;
        const QString out = RunClient(
            "curl", {"-sS", "--fail", "--max-time", "60", "-o", "/dev/null", "-w",
                     "%{size_download}", "-x", proxy, url},
            pause, seconds);
        if (out.isEmpty()) {
            std::printf("%-16s %-9s run %d: FAILED\n", page, file, run);
            continue;
        }
        std::printf("%-16s %-9s run %d: %7.0f MB/s   longest loop pause %6.1f ms\n", page, file,
                    run, out.toDouble() / 1e6 / seconds, pause);
    }
}

void SmallRequests(int proxyPort, int originPort, const char* page, const QString& script)
{
    if (script.isEmpty())
        return;
    double pause = 0, seconds = 0;
    qputenv("BENCH_URL", QStringLiteral("http://127.0.0.1:%1/1k.bin").arg(originPort).toUtf8());
    const QString out = RunClient(
        "wrk", {"-t1", "-c20", "-d5s", "--latency", "-s", script,
                QStringLiteral("http://127.0.0.1:%1").arg(proxyPort)},
        pause, seconds);
    for (const QString& line : out.split('\n')) {
        if (line.startsWith("BENCH")) {
            const QStringList f = line.split(' ');
            long requests = 0, p99 = 0, duration = 1;
            for (const QString& kv : f) {
                if (kv.startsWith("requests=")) requests = kv.mid(9).toLong();
                if (kv.startsWith("p99_us=")) p99 = kv.mid(7).toLong();
                if (kv.startsWith("duration_us=")) duration = kv.mid(12).toLong();
            }
            std::printf("%-16s 1k keep-alive: %7.0f req/s   p99 %6.2f ms   longest loop pause %6.1f ms\n",
                        page, requests / (duration / 1e6), p99 / 1e3, pause);
            return;
        }
    }
    std::printf("%-16s 1k keep-alive: FAILED\n", page);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: window_bench ORIGIN_PORT [wrk-script]\n");
        return 2;
    }
    const int originPort = std::atoi(argv[1]);
    const QString script = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qargc = 1;
    QApplication qapp(qargc, argv);

    // The window listens where the settings say: a port the system chooses.
    CSettingsRegistry settings;
    settings.CreateKey();
    settings.SetPort("0");

    CTraceApp app;
    CMainPropSheet* sheet = InitWindowInstance(app);
    if (!sheet || app.GetListenPort() <= 0) {
        std::fprintf(stderr, "window_bench: the window did not start listening\n");
        return 1;
    }
    const int proxyPort = app.GetListenPort();
    std::printf("window up (%s), proxy on port %d\n", qPrintable(QApplication::platformName()),
                proxyPort);

    const struct {
        int tab;
        const char* name;
    } pages[] = {{0, "Setup"}, {1, "Request Viewer"}, {2, "Response Viewer"}};
    for (const auto& page : pages) {
        sheet->SetActivePage(page.tab);
        QCoreApplication::processEvents();
        Transfers(proxyPort, originPort, "64m.bin", page.name);
        Transfers(proxyPort, originPort, "64m.html", page.name);
        SmallRequests(proxyPort, originPort, page.name, script);
        app.ClearAllData(); // the records of text bodies are kept in full: start each page afresh
    }
    app.ExitInstance();
    return 0;
}
