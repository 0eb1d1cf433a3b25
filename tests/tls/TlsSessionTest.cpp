#include "tls/BadGatewayReply.h"
#include "tls/ClientHello.h"
#include "tls/DecryptPolicy.h"
#include "tls/RootFileLoader.h"
#include "tls/TlsClientContext.h"
#include "tls/TlsFixture.h"
#include "tls/TlsServerContext.h"
#include "tls/TunnelSniffer.h"

using TlsSessionTest = TlsFixture;

namespace {
// The handshake bytes of one record again, in records of at most size bytes (0: unchanged).
std::string InRecordsOf(const std::string& record, std::size_t size)
{
    std::string records = size == 0 ? record : std::string();
    for (std::size_t at = 5; size > 0 && at < record.size(); at += size) {
        const std::string part = record.substr(at, size);
        records += record.substr(0, 3) + static_cast<char>(part.size() >> 8)
                   + static_cast<char>(part.size() & 0xFF) + part;
    }
    return records;
}
} // namespace

TEST_F(TlsSessionTest, BrowserAndOriginSidesTalkThroughMemory)
{
    std::string error;
    auto server = CTlsServerContext::Create(m_authority, error);
    ASSERT_TRUE(server) << error;
    const std::string rootFile = WritePem("root.pem", m_authority->GetCertificate());
    auto client = CTlsClientContext::Create(rootFile, true, error);
    ASSERT_TRUE(client) << error;

    for (const std::string host : {"www.example.com", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        // Without SNI (an address) the tunnel's host names the certificate.
        const bool address = host == "127.0.0.1";
        auto browserSide = server->NewSession(address ? host : "fallback.example.com");
        auto originSide = client->NewSession(host);
        // The first flight is a ClientHello naming the host (no SNI for an address).
        const std::string hello = originSide->TakeCiphertext();
        EXPECT_EQ(SniffClientHello(hello.data(), 1), HelloSniff::NeedMore);
        EXPECT_EQ(SniffClientHello(hello.data(), hello.size()), HelloSniff::Tls);
        std::string name;
        EXPECT_EQ(ReadClientHello(hello.data(), hello.size(), name), HelloRead::Complete);
        EXPECT_EQ(name, address ? "" : host);
        EXPECT_EQ(ReadClientHello(hello.data(), hello.size() - 1, name), HelloRead::NeedMore);

        browserSide->PutCiphertext(hello);
        Pump(*browserSide, *originSide);
        ASSERT_TRUE(browserSide->IsOpen()) << browserSide->GetError();
        ASSERT_TRUE(originSide->IsOpen()) << originSide->GetError();
        EXPECT_EQ(browserSide->GetServerName(), address ? "" : host);
        EXPECT_EQ(originSide->GetAlpn(), "http/1.1");

        const std::string request = "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
        std::string body(1 << 20, 'x');
        for (std::size_t i = 0; i < body.size(); i += 4093)
            body[i] = static_cast<char>(i);
        originSide->QueuePlaintext(request);
        browserSide->QueuePlaintext(body);
        browserSide->Shutdown();
        Pump(*browserSide, *originSide);
        EXPECT_EQ(browserSide->TakePlaintext(), request);
        EXPECT_EQ(originSide->TakePlaintext(), body);
        EXPECT_TRUE(originSide->HasPeerSentCloseNotify());
        EXPECT_FALSE(browserSide->HasPeerClosed());
        originSide->Shutdown();
        Pump(*browserSide, *originSide);
        EXPECT_TRUE(browserSide->HasPeerSentCloseNotify());
        EXPECT_TRUE(originSide->IsOpen());
    }
}

TEST_F(TlsSessionTest, OriginsThatFailVerificationSayWhy)
{
    const Issued trustedRoot = Issue("", -3600, 86400 * 30);
    const Issued otherRoot = Issue("", -3600, 86400 * 30);
    const std::string trustedFile = WritePem("trusted.pem", trustedRoot.cert.get());
    std::string error;
    auto client = CTlsClientContext::Create(trustedFile, true, error);
    ASSERT_TRUE(client) << error;

    struct Case {
        const char* what;
        Issued origin;
        const char* expected;
    } cases[] = {
        {"good", Issue("DNS:origin.test", -3600, 86400, &trustedRoot), nullptr},
        {"untrusted", Issue("DNS:origin.test", -3600, 86400, &otherRoot), "unknown issuer"},
        {"expired", Issue("DNS:origin.test", -86400 * 3, -86400, &trustedRoot), "has expired"},
        {"wrong name", Issue("DNS:other.test,IP:10.0.0.1", -3600, 86400, &trustedRoot),
         "wrong name: the certificate is not valid for origin.test (it is for other.test, "
         "10.0.0.1)"},
        {"many names",
         Issue("DNS:a.test,DNS:b.test,DNS:c.test,DNS:d.test,DNS:e.test,DNS:f.test,"
               "DNS:g.test,DNS:h.test,DNS:i.test,IP:::1",
               -3600, 86400, &trustedRoot),
         "(it is for a.test, b.test, c.test, d.test, e.test, f.test, g.test, h.test, and 2 more)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto origin = OriginSession(c.origin);
        auto session = client->NewSession("origin.test");
        Pump(*session, *origin);
        if (!c.expected) {
            EXPECT_TRUE(session->IsOpen()) << session->GetError();
            continue;
        }
        EXPECT_EQ(session->GetFailure(), TlsFailure::Verify);
        EXPECT_NE(session->GetError().find(c.expected), std::string::npos) << session->GetError();
        EXPECT_NE(session->GetError().find("origin.test"), std::string::npos);
        // The origin's bytes went nowhere: nothing to decrypt, nothing queued.
        EXPECT_EQ(session->TakePlaintext(), "");
    }

    // Without verification the expired certificate is accepted.
    auto insecure = CTlsClientContext::Create("", false, error);
    auto origin = OriginSession(cases[2].origin);
    auto session = insecure->NewSession("origin.test");
    Pump(*session, *origin);
    EXPECT_TRUE(session->IsOpen()) << session->GetError();

    const std::string reply = MakeBadGatewayReply("TLS to the origin server origin.test:443",
                                                  "the certificate has expired");
    const std::size_t body = reply.find("\r\n\r\n") + 4;
    EXPECT_EQ(reply.compare(0, 26, "HTTP/1.1 502 Bad Gateway\r\n"), 0);
    EXPECT_NE(reply.find("Content-Length: " + std::to_string(reply.size() - body) + "\r\n"),
              std::string::npos);
}

TEST_F(TlsSessionTest, BrowserThatRefusesOurCertificateIsRecognised)
{
    std::string error;
    auto server = CTlsServerContext::Create(m_authority, error);
    auto untrusting = CTlsClientContext::Create("", true, error); // the system store only
    for (const bool hangUp : {false, true}) {
        auto browserSide = server->NewSession("pinned.example.com");
        auto app = untrusting->NewSession("pinned.example.com");
        if (hangUp) { // a client that gives up without an alert
            browserSide->PutCiphertext(app->TakeCiphertext());
            browserSide->PutEndOfStream();
        } else {
            Pump(*browserSide, *app);
        }
        EXPECT_EQ(browserSide->GetFailure(), TlsFailure::PeerRefused) << browserSide->GetError();
    }

    CDecryptPolicy policy;
    EXPECT_FALSE(policy.ShouldDecrypt("a.example.com")); // off by default
    policy.Apply({true, "*.example.com, Intranet.Local.", "pass.example.com", "", false});
    EXPECT_TRUE(policy.ShouldDecrypt("A.Example.COM"));
    EXPECT_TRUE(policy.ShouldDecrypt("deep.a.example.com"));
    EXPECT_TRUE(policy.ShouldDecrypt("intranet.local"));
    EXPECT_FALSE(policy.ShouldDecrypt("example.com"));
    EXPECT_FALSE(policy.ShouldDecrypt("pass.example.com"));
    EXPECT_FALSE(policy.ShouldDecrypt("badexample.com"));
    EXPECT_TRUE(policy.NoteRefused("a.example.com"));
    EXPECT_FALSE(policy.NoteRefused("A.example.com."));
    EXPECT_FALSE(policy.ShouldDecrypt("a.example.com"));
    policy.Apply({true, "", "", "", false}); // empty list: every host; refusals stay for the run
    EXPECT_TRUE(policy.ShouldDecrypt("[::1]"));
    EXPECT_FALSE(policy.ShouldDecrypt("a.example.com"));

    const std::string plain = "GET / HTTP/1.1\r\n";
    EXPECT_EQ(SniffClientHello(plain.data(), plain.size()), HelloSniff::NotTls);
    EXPECT_EQ(SniffClientHello("\x16\x03\x01\x00\x10\x02", 6), HelloSniff::NotTls);
}

TEST_F(TlsSessionTest, TunnelsAreDecryptedOnlyForTlsToChosenHosts)
{
    std::string error;
    auto server = CTlsServerContext::Create(m_authority, error);
    auto client = CTlsClientContext::Create("", false, error);
    CDecryptPolicy policy;
    policy.Apply({true, "", "pass.test", "", false});
    using Verdict = CTunnelSniffer::Verdict;
    struct Case {
        const char* connectHost;
        const char* sni;
        Verdict verdict;
    } cases[] = {{"a.test", "www.a.test", Verdict::Decrypt}, {"a.test", "pass.test", Verdict::Tunnel},
                 {"pass.test", "a.test", Verdict::Tunnel}, {"a.test", "bad name", Verdict::Tunnel}};
    // Split into records of at most this many bytes (0: as made, in one record), as some
    // clients send it: the name may come in any of them.
    for (const std::size_t split : {0, 200, 9}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.sni) + " in records of " + std::to_string(split));
            auto app = client->NewSession(c.sni);
            const std::string hello = InRecordsOf(app->TakeCiphertext(), split);
            CTunnelSniffer sniffer(c.connectHost);
            // Byte by byte up to the last: never decided early.
            for (std::size_t i = 0; i + 1 < hello.size(); ++i)
                ASSERT_EQ(sniffer.Feed(hello.data() + i, 1, policy, server->GetLeaves()),
                          Verdict::NeedMore);
            EXPECT_EQ(sniffer.Feed(&hello.back(), 1, policy, server->GetLeaves()), c.verdict);
            EXPECT_EQ(sniffer.GetName(), c.sni);
            EXPECT_EQ(sniffer.TakeHeld(), hello); // replayed or decrypted, nothing lost
            if (c.verdict != Verdict::Decrypt)
                continue;
            auto browserSide = server->NewSession(c.connectHost);
            browserSide->PutCiphertext(hello);
            Pump(*browserSide, *app);
            EXPECT_TRUE(browserSide->IsOpen()) << browserSide->GetError();
        }
    }
    // A hello whose server name list does not add up is passed through, never decrypted.
    std::string broken = client->NewSession("www.a.test")->TakeCiphertext();
    const std::size_t name = broken.find("www.a.test");
    ASSERT_NE(name, std::string::npos);
    ++broken[name - 4]; // the list's length, low byte
    CTunnelSniffer sniffer("a.test");
    EXPECT_EQ(sniffer.Feed(broken.data(), broken.size(), policy, server->GetLeaves()),
              Verdict::Tunnel);
    EXPECT_EQ(sniffer.GetReason(), "its ClientHello could not be read");

    CTunnelSniffer plain("a.test");
    EXPECT_EQ(plain.Feed("GET / HTTP/1.1\r\n", 16, policy, server->GetLeaves()), Verdict::Tunnel);
}

TEST_F(TlsSessionTest, OriginsResumeTheirOwnVerifiedSessionsOnly)
{
    const Issued root = Issue("", -3600, 86400 * 30);
    const Issued otherRoot = Issue("", -3600, 86400 * 30);
    std::string error;
    auto client = CTlsClientContext::Create(WritePem("root.pem", root.cert.get()), true, error);
    ASSERT_TRUE(client) << error;
    struct Case {
        const char* what;
        Issued identity;
        int version;
        bool verifies;
    } cases[] = {
        {"TLS 1.3 tickets", Issue("DNS:origin.test", -3600, 86400, &root), TLS1_3_VERSION, true},
        {"TLS 1.2 session", Issue("DNS:origin.test", -3600, 86400, &root), TLS1_2_VERSION, true},
        {"untrusted", Issue("DNS:origin.test", -3600, 86400, &otherRoot), TLS1_3_VERSION, false},
    };
    std::vector<std::shared_ptr<SSL_CTX>> origins;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // One origin (its own port) whose server keeps its ticket keys across connections.
        auto ctx = std::shared_ptr<SSL_CTX>(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
        SSL_CTX_use_certificate(ctx.get(), c.identity.cert.get());
        SSL_CTX_use_PrivateKey(ctx.get(), c.identity.key.get());
        SSL_CTX_set_max_proto_version(ctx.get(), c.version);
        origins.push_back(ctx);
        for (int connection = 0; connection < 3; ++connection) {
            CTlsSession origin(SslPtr(SSL_new(ctx.get())), TlsRole::Server, "", ctx);
            auto session = client->NewSession("origin.test", 8000 + static_cast<int>(origins.size()));
            Pump(*session, origin);
            EXPECT_EQ(session->IsOpen(), c.verifies) << session->GetError();
            EXPECT_EQ(session->IsResumed(), c.verifies && connection > 0) << connection;
        }
    }
    EXPECT_EQ(client->Sessions().Size(), 2u); // none from the origin that failed verification

    // The same server under another port is another origin: nothing to resume there.
    CTlsSession origin(SslPtr(SSL_new(origins[0].get())), TlsRole::Server, "", origins[0]);
    auto session = client->NewSession("origin.test", 443);
    Pump(*session, origin);
    EXPECT_TRUE(session->IsOpen());
    EXPECT_FALSE(session->IsResumed());
}

TEST_F(TlsSessionTest, KnownChainsStillMatchEachConnectionsName)
{
    const Issued root = Issue("", -3600, 86400 * 30);
    const Issued otherRoot = Issue("", -3600, 86400 * 30);
    std::string error;
    auto client = CTlsClientContext::Create(WritePem("root.pem", root.cert.get()), true, error);
    ASSERT_TRUE(client) << error;
    const Issued shared = Issue("DNS:a.test,DNS:b.test,IP:10.0.0.1", -3600, 86400, &root);
    const Issued untrusted = Issue("DNS:a.test", -3600, 86400, &otherRoot);
    struct Case {
        const char* host;
        const Issued& identity;
        const char* failure;
    } cases[] = {{"a.test", shared, nullptr},        {"b.test", shared, nullptr},
                 {"c.test", shared, "wrong name"},   {"10.0.0.1", shared, nullptr},
                 {"10.0.0.2", shared, "wrong name"}, {"a.test", untrusted, "unknown issuer"}};
    for (const Case& c : cases) {
        auto origin = OriginSession(c.identity);
        auto session = client->NewSession(c.host); // no port: nothing resumes
        Pump(*session, *origin);
        EXPECT_EQ(session->IsOpen(), !c.failure) << c.host << ": " << session->GetError();
        const std::string why = c.failure ? c.failure : "";
        EXPECT_NE(session->GetError().find(why), std::string::npos) << session->GetError();
    }
    EXPECT_EQ(client->VerifiedChains().Size(), 1u); // checked once, matched by name each time
}

TEST_F(TlsSessionTest, NamesOfOneServerShareTls13SessionsTheCertificateCovers)
{
    const Issued root = Issue("", -3600, 86400 * 30);
    std::string error;
    auto client = CTlsClientContext::Create(WritePem("root.pem", root.cert.get()), true, error);
    ASSERT_TRUE(client) << error;
    const Issued identity = Issue("DNS:a.test,DNS:*.b.test", -3600, 86400, &root);
    auto serverOf = [&identity](int version) {
        auto ctx = std::shared_ptr<SSL_CTX>(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
        SSL_CTX_use_certificate(ctx.get(), identity.cert.get());
        SSL_CTX_use_PrivateKey(ctx.get(), identity.key.get());
        SSL_CTX_set_max_proto_version(ctx.get(), version);
        return ctx;
    };
    const auto tls13 = serverOf(TLS1_3_VERSION);
    const auto tls12 = serverOf(TLS1_2_VERSION);
    struct Case {
        const char* host;
        const char* server;
        const std::shared_ptr<SSL_CTX>& ctx;
        bool opens;
        bool resumed;
    } cases[] = {
        {"a.test", "10.0.0.1:443", tls13, true, false},
        {"c.test", "10.0.0.1:443", tls13, false, false}, // not named: verified in full, refused
        {"x.b.test", "10.0.0.1:443", tls13, true, true},
        {"y.b.test", "10.0.0.2:443", tls13, true, false}, // another server
        {"z.b.test", "10.0.0.1:443", tls13, true, true},
        {"p.b.test", "10.0.0.3:443", tls12, true, false},
        {"q.b.test", "10.0.0.3:443", tls12, true, false}, // a TLS 1.2 session keeps to its name
    };
    for (const Case& c : cases) {
        CTlsSession origin(SslPtr(SSL_new(c.ctx.get())), TlsRole::Server, "", c.ctx);
        auto session = client->NewSession(c.host, 443, c.server);
        Pump(*session, origin);
        EXPECT_EQ(session->IsOpen(), c.opens) << c.host << ": " << session->GetError();
        EXPECT_EQ(session->IsResumed(), c.resumed) << c.host;
    }
}

// SSL_CERT_FILE's bundle is indexed off the caller's thread, which a chain checked at once waits for;
// roots past entries that are no certificate count; an unreadable bundle trusts nothing.
TEST_F(TlsSessionTest, TheSystemBundleIsReadInTheBackgroundBeforeAChainIsChecked)
{
    const Issued root = Issue("", -3600, 86400 * 30), other = Issue("", -3600, 86400 * 30);
    const Issued leaf = Issue("DNS:a.test", -3600, 86400, &root);
    const std::string otherPem = WritePem("other.pem", other.cert.get()), bundle = m_folder + "/all.pem";
    ASSERT_EQ(std::system(("(cat " + otherPem + "; echo 'no certificate'; cat "
                           + WritePem("root.pem", root.cert.get()) + ") > " + bundle).c_str()), 0);
    const std::string saved = std::getenv("SSL_CERT_FILE") ? std::getenv("SSL_CERT_FILE") : "";
    for (const auto& [file, opens] : {std::pair{bundle, true}, {otherPem, false},
                                      {m_folder + "/missing.pem", false}}) {
        SCOPED_TRACE(file);
        ::setenv("SSL_CERT_FILE", file.c_str(), 1);
        std::string error;
        auto client = CTlsClientContext::Create("", true, error);
        ASSERT_TRUE(client) << error;
        auto origin = OriginSession(leaf);
        auto session = client->NewSession("a.test");
        Pump(*session, *origin);
        EXPECT_EQ(session->IsOpen(), opens) << session->GetError();
        EXPECT_NE(session->GetError().find(opens ? "" : "unknown issuer"), std::string::npos);
    }
    // Only the root a chain looks for is decoded; the others stay bytes in the index.
    X509_STORE* store = X509_STORE_new();
    {
        CRootFileLoader roots;
        roots.Start(store, bundle);
        X509_STORE_CTX* check = X509_STORE_CTX_new();
        ASSERT_EQ(X509_STORE_CTX_init(check, store, leaf.cert.get(), nullptr), 1);
        EXPECT_EQ(X509_verify_cert(check), 1);
        X509_STORE_CTX_free(check);
        EXPECT_EQ(roots.Indexed(), 2u);
        EXPECT_EQ(roots.Decoded(), 1);
        X509_STORE_free(store); // before the lookup it holds
    }
    (void)(saved.empty() ? ::unsetenv("SSL_CERT_FILE") : ::setenv("SSL_CERT_FILE", saved.c_str(), 1));
}
