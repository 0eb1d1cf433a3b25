#include "app/HeadlessRunner.h"

#include "app/SettingsRegistry.h"
#include "app/SignalPipe.h"
#include "app/TraceApp.h"
#include "trace/LogSaver.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <QCoreApplication>
#include <QTimer>

#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <string>

namespace {
// Closed connections are dropped this often when nothing else (a log) needs their records:
// they were printed as they were made, and a long run must not grow without bound.
constexpr int kPurgeIntervalMs = 5000;
constexpr int kDebugDrainMs = 100;
} // namespace

CHeadlessRunner::CHeadlessRunner(CTraceApp& app, CCommandLine options)
    : m_app(app)
    , m_options(std::move(options))
{
}

CHeadlessRunner::~CHeadlessRunner()
{
    if (m_app.m_pTraceStore)
        m_app.m_pTraceStore->SetRecordObserver(nullptr);
}

bool CHeadlessRunner::Start()
{
    // Handlers first: whoever reads "listening on port" may signal at once.
    auto* signalPipe = new CSignalPipe(this);
    connect(signalPipe, &CSignalPipe::Signalled, this, &CHeadlessRunner::OnSignal);

    m_app.InitCore();

    CSettingsRegistry settings;
    std::string address = settings.GetAddress();
    std::string port = settings.GetPort();
    std::string proxyAddress = settings.GetProxyAddress();
    std::string proxyPort = settings.GetProxyPort();
    if (m_options.port)
        port = *m_options.port;
    if (m_options.upstreamHost) {
        proxyAddress = *m_options.upstreamHost;
        proxyPort = m_options.upstreamPort;
    }
    if (port.empty())
        port.push_back('0'); // an empty listen port lets the system choose
    m_app.ApplySettings(address, port, proxyAddress, proxyPort);

    // No viewer pages read the request and response feeds here.
    m_app.m_bRequestViewer = 0;
    m_app.m_bResponseViewer = 0;
    m_app.m_bDebugTrace = m_options.debug ? 1 : 0;

    if (!m_options.quiet)
        m_app.m_pTraceStore->SetRecordObserver(
            [this](const CTraceRecord& record) { PrintRecord(record); });

    if (!m_app.StartListening())
        return false;
    if (m_app.IsUpstreamSelf())
        return false; // said why; exits 2, as a bad command line does

    std::fprintf(stderr, "Kestrune %s listening on port %d", KESTRUNE_VERSION,
                 m_app.GetListenPort());
    if (m_app.m_bUseProxy)
        std::fprintf(stderr, " (upstream proxy %s:%s)", m_app.m_strProxyAddress.c_str(),
                     m_app.m_strProxyPort.c_str());
    std::fprintf(stderr, "\n");
    std::fflush(stderr);


    if (m_options.debug) {
        m_pDebugTimer = new QTimer(this);
        connect(m_pDebugTimer, &QTimer::timeout, this, &CHeadlessRunner::DrainDebugLines);
        m_pDebugTimer->start(kDebugDrainMs);
    }
    if (m_options.logFile && m_options.logEverySeconds > 0) {
        m_pLogTimer = new QTimer(this);
        connect(m_pLogTimer, &QTimer::timeout, this, &CHeadlessRunner::SaveLog);
        m_pLogTimer->start(m_options.logEverySeconds * 1000);
    }
    if (!m_options.logFile) {
        // Nothing reads a record back after it was printed: an open connection keeps only
        // what its next chunks look at, so a long keep-alive connection does not grow.
        m_app.m_pTraceStore->SetKeepSettledRecords(false);
        m_pPurgeTimer = new QTimer(this);
        connect(m_pPurgeTimer, &QTimer::timeout, this, &CHeadlessRunner::PurgeIfUnlogged);
        m_pPurgeTimer->start(kPurgeIntervalMs);
    }
    return true;
}

void CHeadlessRunner::OnSignal(int signalNumber)
{
    if (signalNumber == SIGUSR1) {
        SaveLog();
        return;
    }
    SaveLog();
    QCoreApplication::exit(0);
}

void CHeadlessRunner::SaveLog()
{
    DrainDebugLines();
    if (!m_options.logFile || !m_app.m_pTraceStore)
        return;
    SaveAndClear(*m_app.m_pTraceStore, *m_options.logFile, [this] { m_app.ClearAllData(); });
    std::fflush(stdout);
}

void CHeadlessRunner::PrintRecord(const CTraceRecord& record)
{
    std::string line = record.GetDirection() == 0 ? "SEND" : "RECIEVE";
    line += '\t';
    line += record.GetIdText();
    line += '\t';
    line += record.GetTimeText();
    line += '\t';
    line += std::to_string(record.GetByteCount());
    line += '\t';
    line += record.GetSummary();
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
}

void CHeadlessRunner::DrainDebugLines()
{
    CTraceStore* store = m_app.m_pTraceStore;
    if (!store || store->GetDebugCount() == 0)
        return;
    const std::string text = store->TakeDebugText();
    store->ClearDebugText();
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void CHeadlessRunner::PurgeIfUnlogged()
{
    DrainDebugLines();
    CTraceStore* store = m_app.m_pTraceStore;
    if (!store)
        return;
    // Every record was printed when it was made and no log will read it.
    store->PurgeClosedConnections();
    // Hand the freed memory back to the system instead of keeping it for the next burst.
    ::malloc_trim(0);
}

int RunHeadless(const CCommandLine& options)
{
    int argc = 1;
    char name[] = "kestrune";
    char* argv[] = {name, nullptr};
    // Qt's own poll loop rather than GLib's: GLib wakes its loop with a write to an eventfd on
    // every change of the watched sockets, some twenty system calls per proxied connection.
    // Nothing in the headless mode needs GLib's loop; a value the user set is left alone.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication qapp(argc, argv);

    CTraceApp app;
    int status = 0;
    {
        CHeadlessRunner runner(app, options);
        if (runner.Start()) {
            // Records are printed as they are made; a line per record must reach a pipe promptly.
            std::setvbuf(stdout, nullptr, _IOLBF, 0);
            status = qapp.exec();
        } else {
            status = app.IsUpstreamSelf() ? 2 : 1;
        }
    }
    app.ExitInstance();
    std::fflush(stdout);
    return status;
}
