#include "tls/CertAuthority.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr long kRootValidSeconds = 10L * 365 * 24 * 3600 + 2L * 24 * 3600; // ten years, leap days
constexpr long kBackdateSeconds = 3600; // clocks that run a little behind still accept it

std::string Join(const std::string& folder, const char* name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + '/' + name;
}

std::string SystemError(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

bool Exists(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool MakeFolder(const std::string& folder, std::string& error)
{
    std::string partial;
    std::size_t start = 0;
    while (start <= folder.size()) {
        const std::size_t slash = folder.find('/', start);
        partial = folder.substr(0, slash == std::string::npos ? folder.size() : slash);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error = SystemError("cannot make the folder", partial);
            return false;
        }
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return true;
}

// Written to a new file beside the target with the given mode, flushed to disk and renamed
// over the target: a reader sees the old file or the whole new one, never a part.
bool WriteAtomically(const std::string& path, const std::string& bytes, mode_t mode,
                     std::string& error)
{
    const std::string temp = path + ".new";
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        error = SystemError("cannot write", temp);
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0; // the umask may have taken bits away; none are added
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    if (!ok)
        error = SystemError("cannot write", temp);
    ::close(fd);
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        error = SystemError("cannot replace", path);
        ok = false;
    }
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

std::string ReadSmallFile(const std::string& path, std::string& error)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = SystemError("cannot read", path);
        return {};
    }
    std::string bytes;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0 && bytes.size() < 1 << 20)
        bytes.append(buffer, n);
    std::fclose(file);
    return bytes;
}

BioPtr MemoryBio(const std::string& bytes)
{
    return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

std::string KeyToPem(EVP_PKEY* key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

X509Ptr MakeRootCertificate(EVP_PKEY* key)
{
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1 || !SetRandomSerial(cert.get()))
        return nullptr;
    X509_NAME* name = X509_get_subject_name(cert.get());
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    // The host name tells two machines' roots apart in a browser's certificate list.
    const std::string commonName = std::string("Kestrune Root CA (") + host + ")";
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Kestrune"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.substr(0, 64).c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kBackdateSeconds);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), kRootValidSeconds);
    X509_set_pubkey(cert.get(), key);
    // Path length 0: the root signs leaves only, never another authority.
    if (!AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0")
        || !AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign")
        || !AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash"))
        return nullptr;
    if (X509_sign(cert.get(), key, EVP_sha256()) <= 0)
        return nullptr;
    return cert;
}

} // namespace

CCertAuthority::CCertAuthority(std::string folder, X509Ptr cert, PKeyPtr key)
    : m_folder(std::move(folder))
    , m_cert(std::move(cert))
    , m_key(std::move(key))
{
}

std::unique_ptr<CCertAuthority> CCertAuthority::Open(const std::string& folder, std::string& error)
{
    const std::string certPath = Join(folder, kCertFileName);
    const std::string keyPath = Join(folder, kKeyFileName);
    if (!Exists(certPath) && !Exists(keyPath))
        return Make(folder, error);

    if (!Exists(certPath) || !Exists(keyPath)) {
        error = "the root certificate in " + folder + " is incomplete ("
                + (Exists(certPath) ? keyPath : certPath) + " is missing); make a new one";
        return nullptr;
    }
    const std::string certPem = ReadSmallFile(certPath, error);
    if (!error.empty())
        return nullptr;
    const std::string keyPem = ReadSmallFile(keyPath, error);
    if (!error.empty())
        return nullptr;
    X509Ptr cert(PEM_read_bio_X509(MemoryBio(certPem).get(), nullptr, nullptr, nullptr));
    PKeyPtr key(PEM_read_bio_PrivateKey(MemoryBio(keyPem).get(), nullptr, nullptr, nullptr));
    if (!cert || !key || X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        error = "the root certificate in " + folder
                + " cannot be used (damaged, or its key does not match); make a new one";
        return nullptr;
    }
    // A key file that others can read (copied by hand, restored from a backup) is closed again.
    struct stat info {};
    if (::stat(keyPath.c_str(), &info) == 0 && (info.st_mode & 077) != 0)
        ::chmod(keyPath.c_str(), 0600);
    return std::unique_ptr<CCertAuthority>(
        new CCertAuthority(folder, std::move(cert), std::move(key)));
}

std::unique_ptr<CCertAuthority> CCertAuthority::Renew(const std::string& folder, std::string& error)
{
    return Make(folder, error);
}

std::unique_ptr<CCertAuthority> CCertAuthority::Make(const std::string& folder, std::string& error)
{
    if (!MakeFolder(folder, error))
        return nullptr;
    PKeyPtr key = NewP256Key();
    X509Ptr cert = key ? MakeRootCertificate(key.get()) : nullptr;
    if (!cert) {
        error = "cannot make a root certificate: " + TakeOpenSslError("unknown OpenSSL error");
        return nullptr;
    }
    const std::string keyPem = KeyToPem(key.get());
    // The key first: a certificate on disk without its key is never left behind.
    if (keyPem.empty() || !WriteAtomically(Join(folder, kKeyFileName), keyPem, 0600, error)
        || !WriteAtomically(Join(folder, kCertFileName), ToPem(cert.get()), 0644, error))
        return nullptr;
    return std::unique_ptr<CCertAuthority>(
        new CCertAuthority(folder, std::move(cert), std::move(key)));
}

std::string CCertAuthority::GetFingerprint() const
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(m_cert.get(), EVP_sha256(), digest, &size) != 1)
        return {};
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i)
            text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::string CCertAuthority::GetCertificatePath() const { return Join(m_folder, kCertFileName); }
std::string CCertAuthority::GetKeyPath() const { return Join(m_folder, kKeyFileName); }

bool CCertAuthority::ExportPem(const std::string& file, std::string& error) const
{
    FILE* out = std::fopen(file.c_str(), "wb");
    if (!out) {
        error = SystemError("cannot write", file);
        return false;
    }
    const std::string pem = GetCertificatePem();
    const bool ok = std::fwrite(pem.data(), 1, pem.size(), out) == pem.size();
    if (std::fclose(out) != 0 || !ok) {
        error = SystemError("cannot write", file);
        return false;
    }
    return true;
}
