#include "app/HeadlessRunner.h"

#include "app/ExchangeLine.h"
#include "app/RecordLineFormat.h"
#include "app/HttpsEngine.h"
#include "app/HarRunFile.h"
#include "app/OutputWriter.h"
#include "app/PasswordKeyring.h"
#include "platform/EpollEventDispatcher.h"
#include "platform/MessageBox.h"
#include "proxy/ConnectionWatchdog.h"
#include "proxy/TlsChannel.h"
#include "app/SessionRun.h"
#include "session/SessionBacking.h"
#include "app/SettingsRegistry.h"
#include "app/SignalPipe.h"
#include "app/TraceApp.h"
#include "trace/EntryDisposer.h"
#include "trace/Exchange.h"
#include "trace/LogSaveJob.h"
#include "trace/LogSaver.h"
#include "trace/MemoryBudget.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"
#include "tls/CertAuthority.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <malloc.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <cstdlib>
#include <string>

namespace {
// Closed connections are dropped this often when nothing else (a log) needs their records:
// they were printed as they were made, and a long run must not grow without bound.
constexpr int kPurgeIntervalMs = 5000;
// How long the start waits for the keyring's answer before it listens without the password.
constexpr int kKeyringWaitMs = 5000;
// What is still held for stdout and stderr at the end gets this long to go out.
constexpr int kFinalDrainMs = 500;
// The longest a save works before events are served again.
constexpr std::chrono::milliseconds kSaveSlice{3};
} // namespace

CHeadlessRunner::CHeadlessRunner(CTraceApp& app, CCommandLine options)
    : m_app(app)
    , m_options(std::move(options))
{
}

CHeadlessRunner::~CHeadlessRunner()
{
    if (m_pSession && m_app.m_pTraceStore) {
        m_pSession->Finish(*m_app.m_pTraceStore);
        QCoreApplication::sendPostedEvents(this); // a last failure of the recording is told
    }
    if (m_app.m_pTraceStore) {
        m_app.m_pTraceStore->SetRecordObserver(nullptr);
        m_app.m_pTraceStore->SetDebugObserver(nullptr);
        m_app.m_pTraceStore->SetExchangeObserver(nullptr);
    }
    if (m_pErr) {
        SetMessageHandler(nullptr);
        TlsProblemSink() = nullptr;
    }
    for (COutputWriter* writer : {m_pOut.get(), m_pErr.get(), m_pExchanges.get()}) {
        if (writer)
            writer->Drain(kFinalDrainMs);
    }
    m_pExchanges.reset();
    if (m_nExchangesFd > 1)
        ::close(m_nExchangesFd);
}

bool CHeadlessRunner::Start()
{
    // Handlers first: whoever reads "listening on port" may signal at once.
    auto* signalPipe = new CSignalPipe(this);
    connect(signalPipe, &CSignalPipe::Signalled, this, &CHeadlessRunner::OnSignal);

    m_app.InitCore();
    m_app.Watchdog().SetTimeouts(m_options.connectTimeoutSeconds,
                                                m_options.headerTimeoutSeconds,
                                                m_options.idleTimeoutSeconds);

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
    // A user without a password on the command line or in the settings: the environment may
    // give it (it stays out of the process list and the settings file).
    if (!m_app.UpstreamUser().empty() && m_app.m_strProxyPassword.empty()) {
        if (const char* password = std::getenv("KESTRUNE_UPSTREAM_PASSWORD"))
            m_app.m_strProxyPassword = password;
        else if (!WaitForKeyringPassword())
            return true; // a signal ended the run meanwhile: the loop stops as it starts
    }

    // No viewer pages read the request and response feeds here.
    m_app.m_bRequestViewer = false;
    m_app.m_bResponseViewer = false;
    m_app.m_bDebugTrace = m_options.debug;
    m_app.m_bDecodeBodies = m_options.decode || settings.GetDecodeBodies();
    m_app.m_pTraceStore->SetMemoryBudget(m_options.memoryBudget.value_or(settings.GetMemoryBudget()));

    if (!StartHttps())
        return false;

    if (!OpenExchangeOutputs())
        return false;
    if (!m_options.quiet && m_nExchangesFd != 1)
        m_pOut = std::make_unique<COutputWriter>(1);
    if (m_pOut || m_options.sessionFile) {
        m_app.m_pTraceStore->SetRecordObserver([this](const CTraceRecord& record) {
            if (m_pOut)
                PrintRecord(record);
            if (m_pSession)
                m_pSession->AddRecord(record);
        });
    }

    if (!m_app.StartListening())
        return false;
    if (m_app.IsUpstreamSelf())
        return false; // said why; exits 2, as a bad command line does
    if (!StartSession())
        return false;
    WatchExchanges();

    std::fprintf(stderr, "Kestrune %s listening on port %d", KESTRUNE_VERSION,
                 m_app.GetListenPort());
    if (m_app.m_bUseProxy)
        std::fprintf(stderr, " (upstream proxy %s:%s)", m_app.m_strProxyAddress.c_str(),
                     m_app.m_strProxyPort.c_str());
    std::fprintf(stderr, "\n");
    std::fflush(stderr);

    // From here on stderr is written without blocking: messages and every debug line, in order.
    m_pErr = std::make_unique<COutputWriter>(2);
    SetMessageHandler([this](const std::string& text) {
        m_pErr->Write(std::string(kMessageCaption) + ": " + text + "\n");
    });
    // A TLS hop that failed is always told, debug or not.
    TlsProblemSink() = [this](const std::string& line) { m_pErr->Write(line + "\n"); };
    if (m_options.debug || m_pSession) {
        m_app.m_pTraceStore->SetDebugObserver([this](const std::string& text) {
            WriteDebugText(text);
            if (m_pSession)
                m_pSession->AddDebugLine(text);
        });
    }

    if (m_options.logFile && m_options.logEverySeconds > 0) {
        m_pLogTimer = new QTimer(this);
        connect(m_pLogTimer, &QTimer::timeout, this, &CHeadlessRunner::SaveLog);
        m_pLogTimer->start(m_options.logEverySeconds * 1000);
    }
    if (m_options.logFile)
        m_app.m_pTraceStore->SetKeepRecordTexts(false); // only the log reads records back
    if (!m_pHar)
        m_app.m_pTraceStore->SetKeepExchanges(false); // nothing reads finished exchanges back
    if (!m_options.logFile) {
        // Nothing reads a record back after it was printed: an open connection keeps only what
        // its next chunks look at, so a long keep-alive connection does not grow.
        m_app.m_pTraceStore->SetKeepSettledRecords(false);
        m_pPurgeTimer = new QTimer(this);
        connect(m_pPurgeTimer, &QTimer::timeout, this, &CHeadlessRunner::PurgeIfUnlogged);
        m_pPurgeTimer->start(kPurgeIntervalMs);
    }
    return true;
}

bool CHeadlessRunner::OpenExchangeOutputs()
{
    CTraceStore& store = *m_app.m_pTraceStore;
    // The HAR and the exchange lines take each exchange as it finishes; nothing else reads one
    // back, so the store lets it go then.
    store.SetKeepExchanges(false);
    if (m_options.harFile) {
        m_pHar = std::make_unique<CHarRunFile>(*m_options.harFile, [this](const std::string& text) {
            if (m_pErr)
                m_pErr->Write("kestrune: " + text + "\n");
        });
        std::string error;
        if (!m_pHar->Open(error)) {
            std::fprintf(stderr, "kestrune: %s\n", error.c_str());
            return false;
        }
    }
    if (m_options.exchangesFile) {
        const std::string& path = *m_options.exchangesFile;
        // Appended to, never truncated: a shipper may be reading it. It may hold cookies' names
        // and URLs with tokens: the owner's only.
        m_nExchangesFd = path == "-" ? 1
                                     : ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (m_nExchangesFd < 0) {
            std::fprintf(stderr, "kestrune: cannot open the exchanges file %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return false;
        }
        m_pExchanges = std::make_unique<COutputWriter>(m_nExchangesFd);
    }
    return true;
}

void CHeadlessRunner::WatchExchanges()
{
    CTraceStore& store = *m_app.m_pTraceStore;
    // The HAR and the session carry bodies; the exchange lines only count them.
    store.SetKeepExchangeBodies(m_pHar || m_pSession);
    if (!m_pHar && !m_pExchanges && !m_pSession)
        return;
    store.SetExchangeObserver([this](const CExchange& exchange) {
        if (m_pHar)
            m_pHar->Add(exchange);
        if (m_pExchanges)
            m_pExchanges->Write(FormatExchangeLine(exchange));
        // Last: it may take the bodies' bytes, which the others read.
        if (m_pSession)
            m_pSession->AddExchange(exchange, m_app.m_pTraceStore->TakableExchange());
    });
}

bool CHeadlessRunner::StartHttps()
{
    CHttpsEngine& https = *m_app.m_pHttps;
    CTlsSettings tls = https.GetSettings();
    tls.decrypt = tls.decrypt || m_options.decryptHttps;
    if (m_options.decryptHosts)
        tls.decryptHosts = *m_options.decryptHosts;
    if (m_options.passHosts)
        tls.passHosts = *m_options.passHosts;
    tls.upstreamCaFile = m_options.upstreamCaFile;
    tls.insecureUpstream = m_options.insecureUpstream;
    https.Apply(tls);

    std::string error;
    if (m_options.newCa && !https.RenewAuthority(error)) {
        std::fprintf(stderr, "kestrune: %s\n", error.c_str());
        return false;
    }
    // A bad --upstream-ca file or an unusable root is told now, not at the first tunnel. A
    // proxy that only may meet HTTPS (an https:// request) loads OpenSSL and the system's trust
    // store when it does: an idle proxy stays small.
    const bool tlsAhead = tls.decrypt || !tls.upstreamCaFile.empty();
    if (tlsAhead && !https.GetClientContext(error)) {
        std::fprintf(stderr, "kestrune: %s\n", error.c_str());
        return false;
    }
    if (tls.insecureUpstream)
        std::fprintf(stderr, "kestrune: --insecure-upstream: origin servers' certificates are NOT "
                             "verified; anyone between Kestrune and them can read and change HTTPS "
                             "traffic\n");
    if (tls.decrypt) {
        const auto authority = https.GetAuthority(error);
        // The browser side's context and its leaves' key are made now, not in the first tunnel.
        if (!authority || !https.GetServerContext(error)) {
            std::fprintf(stderr, "kestrune: %s\n", error.c_str());
            return false;
        }
        std::fprintf(stderr, "Kestrune decrypts HTTPS with the root certificate %s (SHA-256 %s)\n",
                     authority->GetCertificatePath().c_str(), authority->GetFingerprint().c_str());
    }
    return true;
}

bool CHeadlessRunner::StartSession()
{
    if (!m_options.sessionFile)
        return true;
    auto session = std::make_unique<CSessionRun>();
    // Told on the writer's thread; written out on the loop, in order with the other messages.
    // The recording ends in this object's destructor, so `this` outlives every report.
    auto report = [this](const std::string& message) {
        QMetaObject::invokeMethod(this, [this, message] {
            if (m_pErr)
                m_pErr->Write("kestrune: " + message + "\n");
            else
                std::fprintf(stderr, "kestrune: %s\n", message.c_str());
        }, Qt::QueuedConnection);
    };
    std::string error;
    // What waits for the disk (and the batch being written) stays within a part of the memory
    // budget: a disk slower than the traffic loses records rather than growing the process.
    const std::uint64_t queue = m_app.m_pTraceStore->Memory()->Limit() / 8;
    if (!session->Start(*m_options.sessionFile, m_app, m_options, report, error,
                        static_cast<std::size_t>(queue))) {
        std::fprintf(stderr, "kestrune: %s\n", error.c_str());
        return false;
    }
    m_pSession = std::move(session);
    // What the budget takes out of memory stays readable from the file.
    m_app.m_pTraceStore->SetBacking(std::make_shared<CSessionBacking>(*m_options.sessionFile));
    return true;
}

void CHeadlessRunner::OnSignal(int signalNumber)
{
    if (m_pKeyringWait) { // nothing to save yet; the run ends once the start returns
        if (signalNumber != SIGUSR1) {
            m_bEndAsked = true;
            m_pKeyringWait->quit();
        }
        return;
    }
    if (signalNumber == SIGUSR1) {
        SaveLog();
        return;
    }
    SaveLogNow();
    QCoreApplication::exit(0);
}

void CHeadlessRunner::SaveLog()
{
    if (m_pSave) {
        m_bSaveAgain = true;
        return;
    }
    StartSave(true);
}

void CHeadlessRunner::SaveLogNow()
{
    if (m_pSave) {
        m_pSave->Run();
        EndSave();
    }
    m_bSaveAgain = false;
    StartSave(false);
}

void CHeadlessRunner::StartSave(bool sliced)
{
    DrainDebugLines();
    if (m_pHar) {
        // Sliced: the HAR is made on its own thread. At the end: it is on disk before the exit.
        if (sliced)
            m_pHar->Save();
        else if (!m_pHar->SaveNow())
            std::fprintf(stderr, "kestrune: cannot write the HAR file %s\n", m_options.harFile->c_str());
    }
    if (!m_options.logFile || !m_app.m_pTraceStore)
        return;
    m_pSave = std::make_unique<CLogSaveJob>(*m_app.m_pTraceStore);
    m_bSaveBegun = m_pSave->Begin(*m_options.logFile);
    if (!m_bSaveBegun) {
        EndSave();
        return;
    }
    if (!sliced) {
        m_pSave->Run();
        EndSave();
        return;
    }
    ContinueSave();
}

void CHeadlessRunner::ContinueSave()
{
    if (!m_pSave)
        return;
    if (!m_pSave->Step(std::chrono::steady_clock::now() + kSaveSlice)) {
        QTimer::singleShot(0, this, &CHeadlessRunner::ContinueSave);
        return;
    }
    EndSave();
    if (m_bSaveAgain) {
        m_bSaveAgain = false;
        StartSave(true);
    }
}

void CHeadlessRunner::EndSave()
{
    const bool written = m_pSave && m_pSave->Succeeded();
    m_pSave.reset();
    CTraceStore& store = *m_app.m_pTraceStore;
    CEntryDisposer::Entries saved;
    if (written) {
        ConcludeSave(true, [this, &store, &saved] {
            // What the window's Clear Data does, but only for the entries this save emptied: an
            // entry that began or went on during the save keeps what the save did not take.
            m_app.m_nBytesSent = 0;
            m_app.m_nBytesReceived = 0;
            saved = CLogSaveJob::TakeSavedClosedEntries(store);
        }, *m_options.logFile);
    } else if (m_bSaveBegun) {
        ConcludeSave(false, nullptr);
    }
    // Open connections let go of what the log has taken, so a long one does not grow.
    store.DropWrittenRecords();
    if (!m_pDisposer)
        m_pDisposer = std::make_unique<CEntryDisposer>();
    m_pDisposer->Dispose(std::move(saved)); // and hands the freed memory back to the system
}

void CHeadlessRunner::PrintRecord(const CTraceRecord& record)
{
    m_pOut->Write(FormatRecordLine(record, m_options.format));
}

bool CHeadlessRunner::WaitForKeyringPassword()
{
    // The first requests must not go upstream without the password: the relay listens once
    // the keyring has answered, or has not in time (a locked keyring may wait for a person).
    QEventLoop wait;
    m_pKeyringWait = &wait;
    m_bKeyringAnswered = false;
    LoadKeyringPassword();
    QTimer::singleShot(kKeyringWaitMs, &wait, &QEventLoop::quit);
    if (!m_bKeyringAnswered)
        wait.exec();
    m_pKeyringWait = nullptr;
    if (m_bEndAsked) {
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        return false;
    }
    if (!m_bKeyringAnswered)
        std::fprintf(
            stderr,
            "kestrune: the keyring did not answer within %d seconds: the upstream proxy is "
            "asked without a password until it does\n",
            kKeyringWaitMs / 1000);
    return true;
}

void CHeadlessRunner::LoadKeyringPassword()
{
    const std::string address = m_app.m_strProxyAddress, port = m_app.m_strProxyPort;
    PasswordKeyring::Load(PasswordKeyring::KeyFor(address, port),
                          [self = QPointer<CHeadlessRunner>(this), address, port](
                              bool found, const std::string& password) {
        if (!self)
            return; // the run has ended
        self->m_bKeyringAnswered = true;
        if (self->m_pKeyringWait)
            self->m_pKeyringWait->quit();
        CTraceApp& app = self->m_app;
        if (found && app.m_strProxyAddress == address && app.m_strProxyPort == port)
            app.m_strProxyPassword = password; // a late answer still counts from now on
    });
}

void CHeadlessRunner::DrainDebugLines()
{
    CTraceStore* store = m_app.m_pTraceStore.get();
    if (!store || store->GetDebugCount() == 0)
        return;
    const std::string text = store->TakeDebugText();
    store->ClearDebugText();
    WriteDebugText(text);
}

void CHeadlessRunner::WriteDebugText(const std::string& text)
{
    if (m_pErr)
        m_pErr->Write(text);
}

void CHeadlessRunner::PurgeIfUnlogged()
{
    DrainDebugLines();
    CTraceStore* store = m_app.m_pTraceStore.get();
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
    // One epoll_wait per wake-up for the sockets, timers and posted events alike, instead of
    // Qt's poll and then the socket layer's wait.
    QCoreApplication::setEventDispatcher(new CEpollEventDispatcher);
    QCoreApplication qapp(argc, argv);

    CTraceApp app;
    int status = 0;
    {
        CHeadlessRunner runner(app, options);
        if (runner.Start()) {
            status = qapp.exec();
        } else {
            status = app.IsUpstreamSelf() ? 2 : 1;
        }
    }
    app.ExitInstance();
    std::fflush(stdout);
    return status;
}
