#pragma once
#include <QString>

#include <string>

class CTraceStore;

// Reads a HAR 1.2 file (from a browser's developer tools, another proxy, or Kestrune) into an
// empty store as a capture: each entry an exchange, and the records the Listing would have
// shown for its request and response, one trace entry per HAR connection.
class CHarReader {
public:
    // False with the message for the user; the store may then hold part of the file.
    static bool Read(const QString& path, CTraceStore& store, std::string& error);
};
