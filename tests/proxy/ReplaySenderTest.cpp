#include "ProxyFixture.h"

#include "app/HttpsEngine.h"
#include "proxy/ReplayLauncher.h"
#include "support/CredentialUpstream.h"
#include "support/EventLoopWait.h"
#include "tls/CertAuthority.h"
#include "tls/LeafCache.h"
#include "trace/Exchange.h"
#include "trace/ResendDraft.h"
#include "trace/ResendRequest.h"
#include "trace/TraceStore.h"

#include <mutex>

namespace {

class ReplaySender : public ProxyFixture {
protected:
    // Sends the request and waits until its exchange has ended.
    std::shared_ptr<const CExchange> Replay(const SResendRequest& request)
    {
        std::string error;
        auto exchange = m_pApp->Replays().Send(request, error);
        EXPECT_TRUE(exchange) << error;
        EXPECT_TRUE(exchange && RunUntil([&] { return !exchange->IsOpen(); }, 10000));
        return exchange;
    }
    // What the origin saw of each request, head and body, in the order they came.
    void Saw(std::string request)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_seen.push_back(std::move(request));
    }
    std::vector<std::string> Seen()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_seen;
    }
    std::mutex m_lock;
    std::vector<std::string> m_seen;
};

} // namespace

TEST_F(ReplaySender, PlainReplayAndEditedResendReachTheOriginAsTheBrowserSentThem)
{
    LoopbackServer origin([this](BlockingStream& s) {
        std::string request = ReadHeader(s);
        const std::size_t body = request.size() - (request.find("\r\n\r\n") + 4); // came with it
        request += s.ReadExactly(std::stoul(request.substr(request.find("Length: ") + 8)) - body);
        Saw(request);
        s.Write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    });
    const std::string authority = "127.0.0.1:" + std::to_string(origin.Port());
    Exchange("POST http://" + authority + "/form?x=1 HTTP/1.1\r\nHost: " + authority
             + "\r\nX-Trace: a b\r\nContent-Length: 5\r\n\r\nhello");
    const CTraceStore& store = *m_pApp->m_pTraceStore;
    ASSERT_TRUE(RunUntil(
        [&] { return store.GetExchanges().size() == 1 && !store.GetExchanges()[0]->IsOpen(); }));
    const CExchange& original = *store.GetExchanges()[0];

    SResendRequest request;
    std::string error;
    ASSERT_TRUE(ResendOfExchange(original, request, error)) << error;
    const auto replay = Replay(request);
    ASSERT_TRUE(replay);
    EXPECT_EQ(Seen(), std::vector<std::string>(2, original.m_strForwardedHead + "hello"));
    EXPECT_TRUE(replay->Has(kExchangeReplay) && replay->m_nReplayOf == original.m_nId);
    EXPECT_EQ(replay->m_ResponseBody.bytes, "ok");
    EXPECT_EQ(replay->m_nEnd, EExchangeEnd::Complete);
    EXPECT_NE(replay->m_nServerConnection, 0); // its records are in an entry of their own

    // Edited: a header changed, one added, a longer body; the length follows the body.
    SResendDraft draft = SResendDraft::FromExchange(original);
    draft.fields[1].second = "edited";
    draft.fields.emplace_back("X-New", "1");
    draft.body = "hello, world";
    ASSERT_TRUE(draft.Compose(original.m_nId, request, error)) << error;
    ASSERT_TRUE(Replay(request));
    EXPECT_EQ(Seen().back(),
              "POST /form?x=1 HTTP/1.1\r\nHost: " + authority
                  + "\r\nX-Trace: edited\r\nContent-Length: 12\r\nX-New: 1\r\n\r\nhello, world");
}

TEST_F(ReplaySender, DecryptedExchangeGoesOverTlsVerifyingTheOrigin)
{
    std::string error;
    CHttpsEngine& https = *m_pApp->m_pHttps;
    const auto root = https.GetAuthority(error);
    ASSERT_TRUE(root) << error;
    CLeafCache leaves(*root);
    X509* leaf = leaves.GetLeaf("127.0.0.1", error);
    ASSERT_TRUE(leaf) << error;
    LoopbackServer origin([&](BlockingStream& s) {
        const std::string head = ServeTlsRequest(
            s, leaf, leaves.GetLeafKey(), "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecret");
        if (!head.empty())
            Saw(head);
    });

    CExchange decrypted;
    decrypted.m_nId = 7;
    decrypted.m_nFlags = kExchangeDecrypted;
    decrypted.m_bHttps = true;
    decrypted.m_strHost = "127.0.0.1";
    decrypted.m_nPort = static_cast<std::uint16_t>(origin.Port());
    decrypted.m_strMethod = "GET";
    decrypted.m_strTarget = "/account";
    decrypted.m_strRequestHead = "GET /account HTTP/1.1\r\nHost: bank.test\r\nCookie: id=1\r\n\r\n";
    SResendRequest request;
    ASSERT_TRUE(ResendOfExchange(decrypted, request, error)) << error;

    // Kestrune's root is no root the origin side trusts: the 502 says why, nothing was sent.
    auto refused = Replay(request);
    ASSERT_TRUE(refused && refused->m_nStatus == 502);
    EXPECT_NE(refused->m_strEndReason.find("TLS to the origin server 127.0.0.1"),
              std::string::npos);
    EXPECT_TRUE(Seen().empty());

    CTlsSettings trusted = https.GetSettings();
    trusted.upstreamCaFile = root->GetCertificatePath();
    https.Apply(trusted);
    auto replay = Replay(request);
    ASSERT_TRUE(replay && replay->m_ResponseBody.bytes == "secret");
    EXPECT_TRUE(replay->m_bHttps && replay->m_nReplayOf == 7u);
    EXPECT_EQ(Seen(), std::vector<std::string>{decrypted.m_strRequestHead});
}

TEST_F(ReplaySender, PlainAndTlsReplaysGoThroughTheUpstreamProxyWithItsCredentials)
{
    std::string error;
    CHttpsEngine& https = *m_pApp->m_pHttps;
    const auto root = https.GetAuthority(error);
    ASSERT_TRUE(root) << error;
    CTlsSettings trusted = https.GetSettings();
    trusted.upstreamCaFile = root->GetCertificatePath();
    https.Apply(trusted);
    CredentialUpstream upstream(*root);
    m_pApp->ApplySettings("localhost", "0", "u:p w@127.0.0.1", std::to_string(upstream.Port()));

    CExchange original; // the name is never looked up: the upstream proxy stands for it
    original.m_strHost = CredentialUpstream::kOrigin;
    original.m_strMethod = "GET";
    original.m_strTarget = "/x";
    original.m_strRequestHead = "GET /x HTTP/1.1\r\nHost: origin.kestrune.invalid\r\n\r\n";
    for (const bool tls : {false, true}) {
        original.m_bHttps = tls;
        original.m_nPort = tls ? 443 : 80;
        SResendRequest request;
        ASSERT_TRUE(ResendOfExchange(original, request, error)) << error;
        const auto replay = Replay(request);
        ASSERT_TRUE(replay);
        EXPECT_EQ(replay->m_ResponseBody.bytes, "ok") << replay->m_strEndReason;
        EXPECT_TRUE(replay->Has(kExchangeViaUpstream));
    }
    EXPECT_EQ(
        upstream.Requests(),
        (std::vector<std::string>{"GET http://origin.kestrune.invalid/x HTTP/1.1 | Basic dTpwIHc=",
                                  "CONNECT origin.kestrune.invalid:443 HTTP/1.1 | Basic dTpwIHc=",
                                  "  tls GET /x HTTP/1.1"}));
}
