#include "app/ReplayRunner.h"

#include "app/CommandLine.h"
#include "app/HarReader.h"
#include "app/PasswordKeyring.h"
#include "app/RecordLineFormat.h"
#include "app/ReplayConnection.h"
#include "app/ReplayRequest.h"
#include "app/SettingsRegistry.h"
#include "proxy/UpstreamAddress.h"
#include "session/SessionReader.h"
#include "tls/TlsClientContext.h"
#include "trace/Exchange.h"
#include "trace/ListingFilter.h"
#include "trace/TraceStore.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
// The longest a replay waits for the keyring to give the upstream proxy's password.
constexpr int kKeyringWaitMs = 30000;

// The password the keyring keeps for the upstream proxy (shown as "user@host"), as the relay
// finds it; empty when there is none or the keyring does not answer in time.
std::string KeyringPassword(const std::string& shownAddress, const std::string& port)
{
    struct SAnswer {
        bool given = false;
        std::string password;
    };
    auto answer = std::make_shared<SAnswer>(); // the keyring may answer after the wait
    QEventLoop loop;
    PasswordKeyring::Load(PasswordKeyring::KeyFor(shownAddress, port),
                          [answer, &loop](bool found, const std::string& password) {
                              if (answer->given)
                                  return;
                              answer->given = true;
                              answer->password = found ? password : std::string();
                              loop.quit();
                          });
    if (!answer->given) {
        QTimer::singleShot(kKeyringWaitMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    answer->given = true; // a late answer finds nobody waiting
    return answer->password;
}

int Refuse(const std::string& message)
{
    std::fprintf(stderr, "kestrune: %s\n", message.c_str());
    return 2;
}

void AppendJsonString(std::string& out, std::string_view text)
{
    out += '"';
    AppendJsonStringBody(out, text);
    out += '"';
}

// Sends the chosen requests, at most `concurrency` at once, over kept-alive connections per
// route, and prints each answer's line as it comes.
class CReplayScheduler {
public:
    CReplayScheduler(std::vector<SReplayRequest> requests, std::size_t concurrency,
                     SReplayRoute baseRoute, const std::string& targetHost, int targetPort)
        : m_Requests(std::move(requests))
        , m_nConcurrency(concurrency)
        , m_BaseRoute(std::move(baseRoute))
        , m_strTargetHost(targetHost)
        , m_nTargetPort(targetPort)
    {
    }

    // True when every status was as recorded.
    bool Run()
    {
        for (std::size_t i = 0; i < m_Requests.size(); ++i) {
            if (m_Requests[i].skipReason.empty())
                m_Queue.push_back(i);
            else
                PrintSkipped(m_Requests[i]);
        }
        if (m_Queue.empty())
            return true;
        QTimer::singleShot(0, [this] { Pump(); });
        QCoreApplication::exec();
        m_Idle.clear();
        m_Connections.clear();
        std::fflush(stdout);
        std::fprintf(stderr, "kestrune: %zu replayed, %zu as recorded, %zu differ, %zu skipped\n",
                     m_nDone, m_nDone - m_nDiffering, m_nDiffering, m_Requests.size() - m_nDone);
        return m_nDiffering == 0;
    }

private:
    struct SInFlight {
        std::size_t request = 0;
        Clock::time_point started;
        bool retried = false;
    };

    SReplayRoute RouteOf(const SReplayRequest& request) const
    {
        SReplayRoute route = m_BaseRoute;
        route.host = m_strTargetHost.empty() ? request.host : m_strTargetHost;
        route.port = m_strTargetHost.empty() ? request.port : m_nTargetPort;
        route.tls = request.https;
        route.tlsName = request.https ? request.host : std::string();
        return route;
    }

    void Pump()
    {
        while (!m_Queue.empty() && m_InFlight.size() < m_nConcurrency) {
            const std::size_t index = m_Queue.front();
            m_Queue.pop_front();
            Start(Connection(RouteOf(m_Requests[index])), {index, Clock::now(), false});
        }
        if (m_Queue.empty() && m_InFlight.empty())
            QCoreApplication::exit(0);
    }

    void Start(CReplayConnection& connection, SInFlight flight)
    {
        const SReplayRequest& request = m_Requests[flight.request];
        m_InFlight[&connection] = flight;
        connection.Send(request.method, request.bytes);
    }

    // An idle connection of the route, or a new one (closing an idle one of another route
    // when the bound is reached).
    CReplayConnection& Connection(const SReplayRoute& route)
    {
        const std::string key = route.Key();
        for (auto it = m_Idle.begin(); it != m_Idle.end(); ++it) {
            if ((*it)->Key() == key) {
                CReplayConnection* found = *it;
                m_Idle.erase(it);
                return *found;
            }
        }
        if (m_Connections.size() >= m_nConcurrency && !m_Idle.empty()) {
            CReplayConnection* old = m_Idle.front();
            m_Idle.erase(m_Idle.begin());
            for (auto& owned : m_Connections) {
                if (owned.get() == old) {
                    // Not deleted here: this may run inside that connection's own handler.
                    m_Retired.push_back(std::move(owned));
                    owned = std::move(m_Connections.back());
                    m_Connections.pop_back();
                    break;
                }
            }
            QTimer::singleShot(0, [this] { m_Retired.clear(); });
        }
        m_Connections.push_back(std::make_unique<CReplayConnection>(
            route, [this](CReplayConnection& c, const SReplayAnswer& a) { OnAnswer(c, a); }));
        return *m_Connections.back();
    }

    void OnAnswer(CReplayConnection& connection, const SReplayAnswer& answer)
    {
        const auto it = m_InFlight.find(&connection);
        if (it == m_InFlight.end())
            return;
        SInFlight flight = it->second;
        m_InFlight.erase(it);
        // A kept-alive connection the server had closed: once more on a new one.
        if (answer.retry && !flight.retried) {
            flight.retried = true;
            Start(connection, flight);
            return;
        }
        const double ms =
            std::chrono::duration<double, std::milli>(Clock::now() - flight.started).count();
        PrintAnswer(m_Requests[flight.request], answer, ms);
        m_Idle.push_back(&connection);
        Pump();
    }

    void PrintSkipped(const SReplayRequest& request)
    {
        std::string line = "{\"exchange\":" + std::to_string(request.exchangeId) + ",\"method\":";
        AppendJsonString(line, request.method);
        line += ",\"url\":";
        AppendJsonString(line, request.url);
        line += ",\"recorded_status\":" + std::to_string(request.recordedStatus)
                + ",\"result\":\"skipped\",\"reason\":";
        AppendJsonString(line, request.skipReason);
        line += "}\n";
        std::fputs(line.c_str(), stdout);
    }

    void PrintAnswer(const SReplayRequest& request, const SReplayAnswer& answer, double ms)
    {
        ++m_nDone;
        const bool same = answer.status != 0 && answer.status == request.recordedStatus;
        if (!same)
            ++m_nDiffering;
        std::string line = "{\"exchange\":" + std::to_string(request.exchangeId) + ",\"method\":";
        AppendJsonString(line, request.method);
        line += ",\"url\":";
        AppendJsonString(line, request.url);
        line += ",\"recorded_status\":" + std::to_string(request.recordedStatus)
                + ",\"status\":" + std::to_string(answer.status) + ",\"body_equal\":";
        line += answer.status == 0 || !request.recordedBodyKnown ? "null"
                : answer.bodyHash == request.recordedBodyHash    ? "true"
                                                                 : "false";
        char time[32];
        std::snprintf(time, sizeof time, "%.3f", ms);
        line += ",\"ms\":";
        line += time;
        line += same ? ",\"result\":\"same\"" : ",\"result\":\"differs\"";
        if (!answer.error.empty()) {
            line += ",\"error\":";
            AppendJsonString(line, answer.error);
        }
        line += "}\n";
        std::fputs(line.c_str(), stdout);
    }

    std::vector<SReplayRequest> m_Requests;
    std::size_t m_nConcurrency;
    SReplayRoute m_BaseRoute;
    std::string m_strTargetHost;
    int m_nTargetPort;
    std::deque<std::size_t> m_Queue;
    std::vector<std::unique_ptr<CReplayConnection>> m_Connections;
    std::vector<std::unique_ptr<CReplayConnection>> m_Retired;
    std::vector<CReplayConnection*> m_Idle;
    std::map<CReplayConnection*, SInFlight> m_InFlight;
    std::size_t m_nDone = 0;
    std::size_t m_nDiffering = 0;
};
} // namespace

int RunReplay(const CCommandLine& options)
{
    int argc = 1;
    char name[] = "kestrune";
    char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication qapp(argc, argv);

    // The filter language of the Listing and the Exchanges page.
    const CListingFilter filter = CListingFilter::Parse(options.replayFilter);
    if (!filter.GetError().empty())
        return Refuse("--filter: " + filter.GetError());
    std::string error;

    const std::string& path = options.replayFile;
    const QString suffix = QFileInfo(QString::fromStdString(path)).suffix().toLower();
    if (suffix != "kestrune" && suffix != "har")
        return Refuse("--replay: the file must end in .kestrune (a session) or .har (HAR 1.2)");
    CTraceStore store;
    SSessionInfo info;
    const bool read = suffix == "kestrune"
                          ? CSessionReader().Read(path, store, info, error)
                          : CHarReader::Read(QString::fromStdString(path), store, error);
    if (!read)
        return Refuse(error);

    std::vector<SReplayRequest> requests;
    bool anyHttps = false;
    for (const auto& exchange : store.GetExchanges()) {
        if (!filter.Matches(*exchange))
            continue;
        requests.push_back(MakeReplayRequest(*exchange, options.unsafeMethods));
        anyHttps = anyHttps || (exchange->m_bHttps && requests.back().skipReason.empty());
    }

    SReplayRoute route;
    CSettingsRegistry settings;
    std::string proxyAddress = settings.GetProxyAddress();
    std::string proxyPort = settings.GetProxyPort();
    if (options.upstreamHost) {
        proxyAddress = *options.upstreamHost;
        proxyPort = options.upstreamPort;
    }
    if (!proxyAddress.empty()) {
        const CUpstreamAddress upstream = SplitUpstreamAddress(proxyAddress);
        route.upstreamHost = upstream.host;
        route.upstreamPort = std::atoi(proxyPort.c_str());
        route.upstreamUser = upstream.user;
        route.upstreamPassword = upstream.password;
        if (!upstream.user.empty() && !upstream.hasPassword) {
            if (const char* password = std::getenv("KESTRUNE_UPSTREAM_PASSWORD"))
                route.upstreamPassword = password;
            else
                route.upstreamPassword = KeyringPassword(upstream.shown, proxyPort);
        }
    }
    if (anyHttps) {
        route.tlsContext =
            CTlsClientContext::Create(options.upstreamCaFile, !options.insecureUpstream, error);
        if (!route.tlsContext)
            return Refuse(error);
    }

    CReplayScheduler scheduler(std::move(requests), options.replayConcurrency, route,
                               options.replayTargetHost, options.replayTargetPort);
    return scheduler.Run() ? 0 : 1;
}
