#pragma once
#include <string>
#include <string_view>

// The browser request's first line and the fields that decide where the proxy connects.
struct CRequestFields {
    std::string m_strRequestLine; // the first header line as received, CR LF included
    bool m_bConnect = false;      // the CONNECT method
    std::string m_strVerb;        // first token, case kept
    std::string m_strUrl;         // second token without its "http://" or "https://"
    std::string m_strVersion;     // third token
    std::string m_strAuthority;   // host, or host:port
    std::string m_strPath;        // from the URL's first "/" to its end, query included
    std::string m_strPort;        // "80" unless the authority names a port
    std::string m_strHost;        // host name or address text to connect to

    // Fills the fields from the request line. Every field is set anew, so nothing is left from
    // an earlier line.
    void ParseRequest(std::string_view line);
    // Every field empty (their buffers kept for the next request).
    void Clear();
    // The debug trace's entry for a request line: its label and the line's first 200 bytes.
    static std::string DebugLine(std::string_view line);

private:
    void ClearParsed();
    // Host and port from the authority without its user info; both stay empty when the host
    // is no name and no full address literal.
    void SplitHostPort(std::string_view hostPort, bool https);
    std::string m_strConnectableHost; // the last host name IsConnectableHost passed
};
