#include "app/SessionRun.h"

#include "app/CommandLine.h"
#include "app/HttpsEngine.h"
#include "app/TraceApp.h"
#include "session/SessionRecorder.h"
#include "trace/Exchange.h"
#include "trace/TraceStore.h"

#include <ctime>

namespace {
std::string UtcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

const char* YesNo(bool on) { return on ? "yes" : "no"; }
} // namespace

CSessionRun::CSessionRun() = default;

CSessionRun::~CSessionRun() = default;

bool CSessionRun::Start(const std::string& path, const CTraceApp& app,
                        const CCommandLine& options,
                        std::function<void(const std::string&)> report, std::string& error,
                        std::size_t queueBytes)
{
    auto recorder = std::make_unique<CSessionRecorder>();
    recorder->SetMaxQueuedBytes(queueBytes);
    if (!recorder->Start(path, Describe(app, options), std::move(report), error))
        return false;
    m_pRecorder = std::move(recorder);
    return true;
}

void CSessionRun::AddRecord(const CTraceRecord& record)
{
    if (m_pRecorder)
        m_pRecorder->AddRecord(record);
}

void CSessionRun::AddExchange(const CExchange& exchange, CExchange* takable)
{
    if (m_pRecorder)
        m_pRecorder->AddExchange(exchange, takable);
}

void CSessionRun::AddDebugLine(const std::string& text)
{
    if (m_pRecorder)
        m_pRecorder->AddDebugLine(text);
}

void CSessionRun::Finish(const CTraceStore& store)
{
    if (!m_pRecorder)
        return;
    for (const auto& exchange : store.GetExchanges()) {
        if (exchange->IsOpen())
            m_pRecorder->AddExchange(*exchange);
    }
    m_pRecorder->Stop();
}

bool CSessionRun::IsRecording() const { return m_pRecorder && m_pRecorder->IsRecording(); }

std::vector<std::pair<std::string, std::string>> CSessionRun::Describe(const CTraceApp& app,
                                                                       const CCommandLine& options)
{
    std::vector<std::pair<std::string, std::string>> run = {
        {"program", "Kestrune"},
        {"version", KESTRUNE_VERSION},
        {"started", UtcNow()},
        {"listen_address", app.m_strAddress},
        {"listen_port", std::to_string(app.GetListenPort())},
        // The host and port only: the user and the password stay out of the file.
        {"upstream", app.UseProxy() ? app.UpstreamHost() + ":" + app.UpstreamPort() : ""},
        {"decode_bodies", YesNo(app.m_bDecodeBodies)},
        {"debug_trace", YesNo(app.m_bDebugTrace)},
        {"connect_timeout", std::to_string(options.connectTimeoutSeconds)},
        {"header_timeout", std::to_string(options.headerTimeoutSeconds)},
        {"idle_timeout", std::to_string(options.idleTimeoutSeconds)},
    };
    if (app.m_pHttps) {
        const CTlsSettings& tls = app.m_pHttps->GetSettings();
        run.insert(run.end(), {{"decrypt_https", YesNo(tls.decrypt)},
                               {"decrypt_hosts", tls.decryptHosts},
                               {"pass_hosts", tls.passHosts},
                               {"insecure_upstream", YesNo(tls.insecureUpstream)}});
    }
    return run;
}
