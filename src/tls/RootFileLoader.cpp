#include "tls/RootFileLoader.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstring>

namespace {

// The DER element at *p (tag, length, content) within end: its whole size, or 0 when it does
// not fit. *p moves past it.
std::size_t NextElement(const unsigned char*& p, const unsigned char* end, unsigned char& tag)
{
    const unsigned char* start = p;
    if (end - p < 2)
        return 0;
    tag = *p++;
    std::size_t length = *p++;
    if (length & 0x80) {
        const std::size_t bytes = length & 0x7f;
        if (bytes == 0 || bytes > 4 || static_cast<std::size_t>(end - p) < bytes)
            return 0;
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            length = length << 8 | *p++;
    }
    if (static_cast<std::size_t>(end - p) < length)
        return 0;
    p += length;
    return static_cast<std::size_t>(p - start);
}

// The hash OpenSSL's hashed folders name a certificate by, read from the subject in the DER
// without decoding the rest (its key above all); false when the DER is no certificate.
bool SubjectHash(const std::string& der, unsigned long& hash)
{
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* end = p + der.size();
    unsigned char tag = 0;
    // Certificate and tbsCertificate: step into each (past tag and length).
    for (int level = 0; level < 2; ++level) {
        const unsigned char* at = p;
        if (!NextElement(p, end, tag) || tag != 0x30)
            return false;
        end = p;
        p = at + 2 + ((at[1] & 0x80) ? (at[1] & 0x7f) : 0);
    }
    const unsigned char* element = p;
    const auto next = [&] {
        element = p;
        return NextElement(p, end, tag);
    };
    std::size_t size = next();
    if (size && tag == 0xa0) // the version
        size = next();
    // The serial number, the signature's algorithm, the issuer, the validity, the subject.
    for (int i = 0; i < 4 && size; ++i)
        size = next();
    if (!size || tag != 0x30)
        return false;
    const unsigned char* in = element;
    X509_NAME* name = d2i_X509_NAME(nullptr, &in, static_cast<long>(size));
    if (!name)
        return false;
    int ok = 0;
    hash = X509_NAME_hash_ex(name, nullptr, nullptr, &ok);
    X509_NAME_free(name);
    return ok == 1;
}

X509_LOOKUP_METHOD* BundleMethod()
{
    static X509_LOOKUP_METHOD* const method = [] {
        X509_LOOKUP_METHOD* made = X509_LOOKUP_meth_new("kestrune root bundle");
        if (made)
            X509_LOOKUP_meth_set_get_by_subject(made, &CRootFileLoader::BySubject);
        return made;
    }();
    return method;
}

} // namespace

CRootFileLoader::~CRootFileLoader()
{
    m_bStop = true;
    if (m_Thread.joinable())
        m_Thread.join();
}

void CRootFileLoader::Start(X509_STORE* store, std::string file)
{
    X509_LOOKUP_METHOD* method = BundleMethod();
    if (m_Thread.joinable() || !store || !method)
        return;
    X509_LOOKUP* lookup = X509_STORE_add_lookup(store, method);
    if (!lookup || X509_LOOKUP_set_method_data(lookup, this) != 1)
        return;
    m_bDone = false;
    m_Thread = std::thread([this, file = std::move(file)] {
        Index(file);
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

void CRootFileLoader::Index(const std::string& file)
{
    BIO* bio = BIO_new_file(file.c_str(), "r");
    if (!bio)
        return;
    // A bundle far beyond any system's is cut rather than read without end.
    constexpr int kMaxEntries = 100000;
    for (int i = 0; i < kMaxEntries && !m_bStop; ++i) {
        char* type = nullptr;
        char* header = nullptr;
        unsigned char* data = nullptr;
        long length = 0;
        if (PEM_read_bio(bio, &type, &header, &data, &length) != 1)
            break; // the end, or nothing more that reads as PEM
        SRoot root;
        root.trusted = std::strcmp(type, PEM_STRING_X509_TRUSTED) == 0;
        if (root.trusted || std::strcmp(type, PEM_STRING_X509) == 0
            || std::strcmp(type, PEM_STRING_X509_OLD) == 0) {
            root.der.assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
            if (SubjectHash(root.der, root.subjectHash))
                m_Roots.push_back(std::move(root));
        }
        OPENSSL_free(type);
        OPENSSL_free(header);
        OPENSSL_free(data);
    }
    BIO_free(bio);
}

int CRootFileLoader::BySubject(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name,
                               X509_OBJECT* ret)
{
    auto* self = static_cast<CRootFileLoader*>(X509_LOOKUP_get_method_data(lookup));
    X509_STORE* store = X509_LOOKUP_get_store(lookup);
    if (!self || !store || type != X509_LU_X509 || !name)
        return 0;
    self->Wait();
    int ok = 0;
    const unsigned long hash = X509_NAME_hash_ex(name, nullptr, nullptr, &ok);
    if (ok != 1)
        return 0;
    X509* found = nullptr;
    for (SRoot& root : self->m_Roots) {
        if (root.subjectHash != hash || root.der.empty())
            continue;
        const auto* in = reinterpret_cast<const unsigned char*>(root.der.data());
        const long size = static_cast<long>(root.der.size());
        X509Ptr cert(root.trusted ? d2i_X509_AUX(nullptr, &in, size)
                                  : d2i_X509(nullptr, &in, size));
        std::string().swap(root.der); // decoded once, whichever way it went
        if (!cert || X509_STORE_add_cert(store, cert.get()) != 1)
            continue;
        ++self->m_nDecoded;
        if (!found && X509_NAME_cmp(X509_get_subject_name(cert.get()), name) == 0)
            found = cert.get(); // the store holds it from here on
    }
    if (!found)
        return 0;
    // As OpenSSL's own lookups do, ret borrows the store's reference: the caller takes its own.
    if (X509_OBJECT_set1_X509(ret, found) != 1)
        return 0;
    X509_free(found);
    return 1;
}
