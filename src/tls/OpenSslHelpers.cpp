#include "tls/OpenSslHelpers.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <arpa/inet.h>

std::string TakeOpenSslError(const char* fallback)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return fallback;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

PKeyPtr NewP256Key()
{
    return PKeyPtr(EVP_EC_gen("P-256"));
}

bool SetRandomSerial(X509* cert)
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    bytes[0] &= 0x7F; // positive, and short enough for every verifier
    bytes[0] |= 0x40; // no leading zero byte to strip
    BIGNUM* number = BN_bin2bn(bytes, sizeof bytes, nullptr);
    if (!number)
        return false;
    const bool ok = BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert)) != nullptr;
    BN_free(number);
    return ok;
}

X509ExtensionPtr MakeExtension(X509* cert, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    return X509ExtensionPtr(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value)
{
    const X509ExtensionPtr extension = MakeExtension(cert, issuer, nid, value);
    return extension && X509_add_ext(cert, extension.get(), -1) == 1;
}

std::string ToPem(X509* cert)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1)
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string DescribeSubjectAltNames(X509* cert)
{
    constexpr int kMaxNames = 8;
    constexpr std::size_t kMaxNameBytes = 80;
    auto* names = static_cast<GENERAL_NAMES*>(
        cert ? X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr) : nullptr);
    std::string text;
    int listed = 0;
    int more = 0;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        std::string entry;
        if (name->type == GEN_DNS) {
            const ASN1_IA5STRING* dns = name->d.dNSName;
            entry.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                         static_cast<std::size_t>(ASN1_STRING_length(dns)));
        } else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* ip = name->d.iPAddress;
            const int length = ASN1_STRING_length(ip);
            char address[INET6_ADDRSTRLEN] = "";
            if (length == 4 || length == 16)
                inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), address,
                          sizeof address);
            entry = address[0] != '\0' ? address : "?";
        } else {
            continue;
        }
        if (listed == kMaxNames) {
            ++more;
            continue;
        }
        if (entry.size() > kMaxNameBytes)
            entry = entry.substr(0, kMaxNameBytes) + "...";
        for (char& c : entry) {
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
                c = '?';
        }
        text += (listed++ > 0 ? ", " : "") + entry;
    }
    GENERAL_NAMES_free(names);
    if (listed == 0)
        return "none";
    if (more > 0)
        text += ", and " + std::to_string(more) + " more";
    return text;
}
