#pragma once
#include <cstdint>
#include <string>

// The four connection settings and the decoding switch kept between runs, in the user's configuration folder
// ($XDG_CONFIG_HOME/Varnel/Kestrune.conf on Linux). Holds nothing in memory: every call reads
// or writes the file, so a second process sees each write at once.
// Values are byte strings kept exactly; one over 200 bytes (8192 for the host lists), missing or empty reads as empty, and
// the listen address and port then read as their defaults. Failures are never reported: an
// unreadable file gives the defaults, an unwritable one keeps nothing.
class CSettingsRegistry {
public:
    // Makes sure the folder and the file exist and can be read and written; true when they can.
    // The stored values are left as they are.
    bool CreateKey();

    std::string GetAddress();      // default "localhost"
    std::string GetPort();         // default "8010"
    std::string GetProxyAddress(); // no default
    std::string GetProxyPort();    // no default

    void SetAddress(const std::string& address);
    void SetPort(const std::string& port);
    void SetProxyAddress(const std::string& address);
    void SetProxyPort(const std::string& port);

    // HTTPS decryption: off unless switched on; the host lists (patterns) may be long.
    bool GetDecryptHttps();
    std::string GetDecryptHosts();
    std::string GetPassHosts();
    void SetDecryptHttps(bool decrypt);
    void SetDecryptHosts(const std::string& hosts);
    void SetPassHosts(const std::string& hosts);

    // The folder that holds the settings file; Kestrune's root certificate lives beside it.
    static std::string GetFolder();
    // "Decode compressed bodies", off unless stored as "1".
    bool GetDecodeBodies();
    void SetDecodeBodies(bool decode);
    // The Exchanges page's column widths in pixels, comma-separated; "" until the user resizes.
    std::string GetExchangeColumns();
    void SetExchangeColumns(const std::string& widths);
    // The memory budget in bytes: 1 GiB unless a valid size is stored (see ByteSize).
    std::uint64_t GetMemoryBudget();
    void SetMemoryBudget(std::uint64_t bytes);
    // "Record session to:" in the window; "" (not recording) unless set. A path may be long.
    std::string GetSessionFile();
    void SetSessionFile(const std::string& path);
};
