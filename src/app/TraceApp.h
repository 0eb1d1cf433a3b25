#pragma once
#include "app/SheetBase.h"
#include "proxy/ConnectionRegistry.h"
#include "proxy/ConnectionWatchdog.h"
#include "proxy/Listen.h"
#include "proxy/ProxyContext.h"
#include "trace/TraceState.h"
#include "trace/TraceStore.h"

#include <memory>
#include <string>

class CHttpsEngine;
class CReplayLauncher;

// The one application object: running settings, trace switches and counters (CTraceState,
// handed to the trace store), and the long-lived objects it owns. It is the proxy engine's
// context: the listener and every connection get it as a CProxyContext. The window's sheet
// hands it to its pages; the headless run reaches it through GetTraceApp().
class CTraceApp : public CTraceState, public CProxyContext {
public:
    CTraceApp();  // becomes the current application object
    ~CTraceApp() override; // runs ExitInstance if it has not run

    CTraceApp(const CTraceApp&) = delete;
    CTraceApp& operator=(const CTraceApp&) = delete;

    // Start-up without the window: creates the settings key and the trace store.
    bool InitCore();

    // Sets the four running settings in this order, then m_bUseProxy. Restarts nothing.
    // A proxy address "user:password@host" keeps "user@host" and the password apart (in
    // m_strProxyPassword only); "user@host" keeps the password already known.
    void ApplySettings(std::string address, std::string port,
                       std::string proxyAddress, std::string proxyPort);

    // Clears all captured data, then replaces the listener with a new one on m_strPort.
    // Shows "Listen Error on port: %d" and leaves no listener on failure.
    bool StartListening();

    // The sheet's Clear Data when a sheet exists; otherwise the same without pages:
    // byte totals to 0, then the store's purge.
    void ClearAllData();

    // Destroys the sheet, the trace store and the listener, in that order, then tears down and
    // frees the connections still open.
    void ExitInstance();

    // The proxy engine's context.
    CTraceStore* TraceStore() const override { return m_pTraceStore.get(); }
    CConnectionRegistry& Connections() override { return m_Connections; }
    CConnectionWatchdog& Watchdog() override { return m_Watchdog; }
    CTlsProvider* Https() const override;
    bool UseProxy() const override { return m_bUseProxy != 0; }
    // The upstream proxy is this proxy's own listening port on an address of this machine:
    // every request would come back here. Found by StartListening, which then says so; while
    // it holds, requests through the upstream get the 404 page instead of looping.
    bool IsUpstreamSelf() const override { return m_bUpstreamIsSelf; }
    // The upstream's host to connect to: its address without user and brackets.
    std::string UpstreamHost() const override;
    std::string UpstreamPort() const override { return m_strProxyPort; }
    std::string UpstreamUser() const override;
    std::string UpstreamPassword() const override { return m_strProxyPassword; }
    // A 407 from the upstream: said once per apply of the settings (the Debug page with a
    // window, stderr without one).
    void ReportUpstreamRefusal() override;

    // The port the listener is bound to (what the system chose for port 0); 0 when none.
    int GetListenPort() const;

    // Kestrune's own requests (Replay, Edit and Resend), made on first use.
    CReplayLauncher& Replays();

    // The watchdog outlives the connections it watches.
    CConnectionWatchdog m_Watchdog;
    // The connections outlive a restart of the listener; freed last of all.
    CConnectionRegistry m_Connections;
    std::unique_ptr<CTraceStore> m_pTraceStore;
    std::unique_ptr<CSheetBase> m_pPropSheet;
    bool m_bUseProxy = false;
    std::string m_strProxyPort;
    std::string m_strProxyAddress;   // [user@]host: never the password
    std::string m_strProxyPassword;  // the upstream's password, for this run only
    std::string m_strPort = "8010";
    std::string m_strAddress = "localhost";
    std::unique_ptr<CListen> m_pListener;
    // HTTPS decryption: settings, root and TLS contexts; made by InitCore with the stored
    // settings.
    std::unique_ptr<CHttpsEngine> m_pHttps;
    // Replays still running; they go before the store they record in.
    std::unique_ptr<CReplayLauncher> m_pReplays;

private:
    CTraceApp* m_pPrevious = nullptr; // the application object current before this one (tests)
    bool m_bExited = false;
    bool m_bUpstreamIsSelf = false;
    bool m_bRefusalReported = false;
};

// The global accessor; valid while the application object exists.
CTraceApp& GetTraceApp();
bool HasTraceApp();
