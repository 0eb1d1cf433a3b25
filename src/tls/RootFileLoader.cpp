#include "tls/RootFileLoader.h"

#include <openssl/err.h>
#include <openssl/pem.h>

CRootFileLoader::~CRootFileLoader()
{
    m_bStop = true;
    if (m_Thread.joinable())
        m_Thread.join();
}

void CRootFileLoader::Start(X509_STORE* store, std::string file)
{
    if (m_Thread.joinable() || !store || X509_STORE_up_ref(store) != 1)
        return;
    m_bDone = false;
    m_Thread = std::thread([this, store, file = std::move(file)] {
        Load(store, file);
        X509_STORE_free(store);
        ERR_clear_error(); // this thread's queue: nobody else reads it
        const std::lock_guard<std::mutex> lock(m_Mutex);
        m_bDone = true;
        m_Done.notify_all();
    });
}

void CRootFileLoader::Wait()
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Done.wait(lock, [this] { return m_bDone; });
}

void CRootFileLoader::Load(X509_STORE* store, const std::string& file)
{
    BIO* bio = BIO_new_file(file.c_str(), "r");
    if (!bio)
        return;
    // A bundle far beyond any system's is cut rather than read without end.
    constexpr int kMaxCertificates = 100000;
    for (int i = 0; i < kMaxCertificates && !m_bStop; ++i) {
        // Skips what is no certificate (keys, CRLs) up to the next one; plain and "TRUSTED".
        X509* certificate = PEM_read_bio_X509_AUX(bio, nullptr, nullptr, nullptr);
        if (!certificate)
            break;
        if (X509_STORE_add_cert(store, certificate) == 1)
            ++m_nAdded;
        X509_free(certificate);
    }
    BIO_free(bio);
}
