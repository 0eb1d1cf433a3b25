#pragma once
#include "tls/OpenSslHelpers.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

// A bundle of root certificates read into a trust store on a thread of its own: parsing a
// system bundle (some 140 certificates) costs a couple of hundred million instructions, which
// would hold up the start or the event loop. Verification waits for it (Wait) before it reads
// the store; the store locks itself while certificates are added. A file that cannot be read,
// or an entry that is no certificate, adds nothing, as OpenSSL's default paths ignore them.
class CRootFileLoader {
public:
    CRootFileLoader() = default;
    ~CRootFileLoader(); // stops between two certificates and joins the thread

    CRootFileLoader(const CRootFileLoader&) = delete;
    CRootFileLoader& operator=(const CRootFileLoader&) = delete;

    // Starts reading file into store (once); the loader holds its own reference to the store.
    void Start(X509_STORE* store, std::string file);
    // Returns once every certificate of the file is in the store (at once when none is loading).
    void Wait();
    int Added() const { return m_nAdded.load(); }

private:
    void Load(X509_STORE* store, const std::string& file);

    std::thread m_Thread;
    std::mutex m_Mutex;
    std::condition_variable m_Done;
    bool m_bDone = true;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nAdded{0};
};
