#pragma once
#include <QByteArray>
#include <QString>

class CExchange;

// HAR 1.2 documents from exchanges, for the window's export and the headless --har file: one
// entry per exchange with the URL as it was routed, the header fields as the browser sent them
// and as the origin answered, the bodies (text, or base64 where they are not UTF-8) and the
// timings the relay took. Tunnels carry no messages and give no entry.
class CHarBuilder {
public:
    // One entry as compact JSON on one line; empty for a tunnel.
    static QByteArray EntryJson(const CExchange& exchange);
    // The document is DocumentStart(), the entries' JSON joined by ",\n", DocumentEnd().
    static QByteArray DocumentStart();
    static QByteArray DocumentEnd();

    void AddExchange(const CExchange& exchange);
    int GetEntryCount() const { return m_nEntries; }

    QByteArray ToJson() const;
    // Replaces the file as a whole, readable by the owner only; false (the old file left as it
    // was) when it cannot.
    bool WriteFile(const QString& path) const;

private:
    QByteArray m_Entries; // joined
    int m_nEntries = 0;
};
