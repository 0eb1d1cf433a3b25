#pragma once
#include "trace/TraceAppState.h"

#include <memory>
#include <string>

class CHttpsEngine;
class CListen;
class CSheetBase;

// The one application object: running settings, trace switches and counters (in the base),
// and the long-lived objects it owns. Reached through GetTraceApp().
class CTraceApp : public CTraceAppState {
public:
    CTraceApp();
    ~CTraceApp() override; // runs ExitInstance if it has not run

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

    // Destroys the sheet, the trace store and the listener, in that order.
    void ExitInstance();

    // The upstream proxy is this proxy's own listening port on an address of this machine:
    // every request would come back here. Found by StartListening, which then says so; while
    // it holds, requests through the upstream get the 404 page instead of looping.
    bool IsUpstreamSelf() const { return m_bUpstreamIsSelf; }

    // The upstream's host to connect to: its address without user and brackets.
    std::string UpstreamHost() const;
    std::string UpstreamUser() const;
    // A 407 from the upstream: said once per apply of the settings (the Debug page with a
    // window, stderr without one).
    void ReportUpstreamRefusal();

    // The port the listener is bound to (what the system chose for port 0); 0 when none.
    int GetListenPort() const;

    CSheetBase* m_pPropSheet = nullptr; // owned
    bool m_bUseProxy = false;
    std::string m_strProxyPort;
    std::string m_strProxyAddress;   // [user@]host: never the password
    std::string m_strProxyPassword;  // the upstream's password, for this run only
    std::string m_strPort = "8010";
    std::string m_strAddress = "localhost";
    CListen* m_pListener = nullptr; // owned
    // HTTPS decryption: settings, root and TLS contexts; made by InitCore with the stored
    // settings.
    std::unique_ptr<CHttpsEngine> m_pHttps;

private:
    bool m_bExited = false;
    bool m_bUpstreamIsSelf = false;
    bool m_bRefusalReported = false;
};

// The global accessor; valid while the application object exists.
CTraceApp& GetTraceApp();
