#pragma once
#include <string>
#include <string_view>

#include "http/HttpHead.h"

// The browser request's first line and the fields that decide where the proxy connects. The
// fields are views into the line this object keeps: they last until it parses or clears again.
struct CRequestFields {
    std::string m_strRequestLine;      // the first header line as received, CR LF included
    bool m_bConnect = false;           // the CONNECT method
    std::string_view m_strVerb;        // first token, case kept
    std::string_view m_strUrl;         // second token without its "http://" or "https://"
    std::string_view m_strVersion;     // third token
    std::string_view m_strAuthority;   // host, or host:port
    std::string_view m_strPath;        // from the URL's first "/" to its end, query included
    std::string_view m_strPort;        // "80" unless the authority names a port
    std::string_view m_strHost;        // host name or address text to connect to
    std::string_view m_strTarget;      // second token as sent, set for a plain line only
    bool m_bPlainLine = false;         // the line is "A SP B SP C" and its CR LF, no other blank

    CRequestFields() = default;
    // A copy views its own line.
    CRequestFields(const CRequestFields& other);
    CRequestFields& operator=(const CRequestFields& other);

    // Fills the fields from the request line. Every field is set anew, so nothing is left from
    // an earlier line.
    void ParseRequest(std::string_view line);
    // A plain line read as ParseRequestLine reads it, from the tokens already cut.
    bool PlainRequestLine(SRequestLine& out) const;
    // Every field empty.
    void Clear();
    // The debug trace's entry for a request line: its label and the line's first 200 bytes.
    static std::string DebugLine(std::string_view line);

private:
    void ClearParsed();
    // Host and port from the authority without its user info; both stay empty when the host
    // is no name and no full address literal.
    void SplitHostPort(std::string_view hostPort, bool https);
};
