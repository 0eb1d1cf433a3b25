#pragma once
#include "tls/OpenSslHelpers.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A bundle of root certificates (SSL_CERT_FILE's) as a lookup of a trust store, the way
// OpenSSL's hashed folder is one: the file is read on a thread of its own into an index of the
// certificates by their subject's hash, and a certificate is decoded only when a chain looks
// for its name. Decoding all of a system bundle (some 140 certificates, their keys through
// OpenSSL's decoders) costs a couple of hundred million instructions, for the one or two roots
// the origins use. Verification waits for the index (Wait) before it reads the store. A file
// that cannot be read, or an entry that is no certificate, adds nothing, as OpenSSL's default
// paths ignore them.
class CRootFileLoader {
public:
    CRootFileLoader() = default;
    ~CRootFileLoader(); // stops between two certificates and joins the thread

    CRootFileLoader(const CRootFileLoader&) = delete;
    CRootFileLoader& operator=(const CRootFileLoader&) = delete;

    // Starts indexing file and adds the lookup to store (once). The store must not outlive
    // this object.
    void Start(X509_STORE* store, std::string file);
    // Returns once the file is indexed (at once when there is none).
    void Wait();
    // Certificates indexed, and decoded into the store so far.
    std::size_t Indexed() const { return m_Roots.size(); }
    int Decoded() const { return m_nDecoded; }

    // The lookup's get_by_subject (OpenSSL's callback): the roots of that name go into the
    // store; ret borrows one.
    static int BySubject(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name,
                         X509_OBJECT* ret);

private:
    struct SRoot {
        unsigned long subjectHash = 0;
        std::string der;      // emptied once the certificate is in the store
        bool trusted = false; // "TRUSTED CERTIFICATE": with OpenSSL's trust settings after it
    };

    void Index(const std::string& file);

    std::vector<SRoot> m_Roots; // the thread's until Wait returns
    std::thread m_Thread;
    std::mutex m_Mutex;
    std::condition_variable m_Done;
    bool m_bDone = true;
    std::atomic<bool> m_bStop{false};
    int m_nDecoded = 0;
};
