// kestrune --replay against loopback origins: a HAR's requests sent again, their answers
// compared with the recorded ones.
#include "support/CredentialUpstream.h"
#include "support/LoopbackServer.h"
#include "tls/CertAuthority.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <mutex>

namespace {

// An HTTP/1.1 origin that keeps connections alive: /changed answers 500, the rest 200 "ok".
// It keeps every request it got, head and body.
class Origin {
public:
    Origin()
        : m_Server([this](BlockingStream& s) { Serve(s); })
    {
    }
    int Port() const { return m_Server.Port(); }
    std::string Requests()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_strRequests;
    }

private:
    void Serve(BlockingStream& stream)
    {
        for (int i = 0; i < 100; ++i) {
            std::string head = stream.ReadUntil("\r\n\r\n");
            if (head.find("\r\n\r\n") == std::string::npos)
                return;
            const std::size_t length = head.find("Content-Length: ");
            if (length != std::string::npos)
                head += stream.ReadExactly(std::stoul(head.substr(length + 16)));
            {
                std::lock_guard<std::mutex> lock(m_Lock);
                m_strRequests += head;
            }
            const bool changed = head.find(" /changed ") != std::string::npos;
            stream.Write(changed ? "HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n"
                                 : "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        }
    }
    std::mutex m_Lock;
    std::string m_strRequests;
    LoopbackServer m_Server;
};

QJsonObject Entry(const QString& method, const QString& url, const QString& host, int status)
{
    QJsonObject request{{"method", method},
                        {"url", url},
                        {"httpVersion", "HTTP/1.1"},
                        {"headers", QJsonArray{QJsonObject{{"name", "Host"}, {"value", host}}}}};
    if (method == "POST")
        request["postData"] = QJsonObject{{"mimeType", "text/plain"}, {"text", "a=1"}};
    const QJsonObject content{{"size", 2}, {"mimeType", "text/plain"}, {"text", "ok"}};
    return {{"startedDateTime", "2026-01-01T00:00:00.000Z"},
            {"request", request},
            {"response", QJsonObject{{"status", status},
                                     {"httpVersion", "HTTP/1.1"},
                                     {"headers", QJsonArray{}},
                                     {"content", content}}}};
}

struct SRun {
    int status = -1;
    QList<QJsonObject> lines;
    QJsonObject Line(const QString& urlEnd) const
    {
        for (const QJsonObject& line : lines)
            if (line["url"].toString().endsWith(urlEnd))
                return line;
        return {};
    }
};

SRun Replay(const QJsonArray& entries, QStringList options)
{
    QTemporaryDir dir;
    const QString har = dir.filePath("capture.har");
    QFile file(har);
    file.open(QIODevice::WriteOnly);
    file.write(QJsonDocument(QJsonObject{{"log", QJsonObject{{"entries", entries}}}}).toJson());
    file.close();
    QProcess replay;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.filePath("config")); // no stored upstream proxy
    replay.setProcessEnvironment(env);
    replay.start(KESTRUNE_EXE, QStringList{"--replay", har} + options);
    SRun run;
    if (!replay.waitForFinished(60000))
        return run;
    run.status = replay.exitCode();
    for (const QByteArray& line : replay.readAllStandardOutput().split('\n'))
        if (!line.isEmpty())
            run.lines.push_back(QJsonDocument::fromJson(line).object());
    return run;
}

TEST(ReplayTest, ChangedAnswerFailsTheRunAndPostIsSkippedUnlessAsked)
{
    Origin origin;
    const QString base = QString("http://127.0.0.1:%1").arg(origin.Port());
    const QString host = QString("127.0.0.1:%1").arg(origin.Port());
    const QJsonArray entries{
        Entry("GET", base + "/same", host, 200), Entry("GET", base + "/changed", host, 200),
        Entry("POST", base + "/form", host, 200), Entry("GET", base + "/same?again", host, 200)};
    SRun run = Replay(entries, {"--concurrency", "2"});
    ASSERT_EQ(run.status, 1);
    ASSERT_EQ(run.lines.size(), 4);
    EXPECT_EQ(run.Line("/changed")["result"], "differs");
    EXPECT_EQ(run.Line("/changed")["status"], 500);
    EXPECT_EQ(run.Line("/same")["result"], "same");
    EXPECT_EQ(run.Line("/same")["body_equal"], true);
    EXPECT_EQ(run.Line("/form")["result"], "skipped");
    EXPECT_EQ(origin.Requests().find("POST"), std::string::npos);

    run = Replay(entries, {"--unsafe-methods", "--filter", "-/changed"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.lines.size(), 3);
    EXPECT_NE(origin.Requests().find("POST /form HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(origin.Requests().find("\r\n\r\na=1"), std::string::npos);
}

TEST(ReplayTest, TargetGetsTheRequestWithItsHostField)
{
    Origin origin;
    const QJsonArray entries{Entry("GET", "http://shop.example.invalid:8080/cart?id=7",
                                   "shop.example.invalid:8080", 200)};
    const SRun run = Replay(entries, {"--target", QString("127.0.0.1:%1").arg(origin.Port())});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(origin.Requests(),
              "GET /cart?id=7 HTTP/1.1\r\nHost: shop.example.invalid:8080\r\n\r\n");
}

TEST(ReplayTest, PlainAndHttpsGoThroughTheUpstreamProxyWithItsCredentials)
{
    QTemporaryDir dir;
    std::string error;
    const auto root = CCertAuthority::Open(dir.path().toStdString(), error);
    ASSERT_TRUE(root) << error;
    CredentialUpstream upstream(*root);
    const QString origin = CredentialUpstream::kOrigin; // never looked up
    const QJsonArray entries{Entry("GET", "http://" + origin + "/plain", origin, 200),
                             Entry("GET", "https://" + origin + "/secret", origin, 200)};
    const auto options = [&](const QString& credentials) {
        return QStringList{
            "--concurrency", "1",
            "--upstream",    QString("%1@127.0.0.1:%2").arg(credentials).arg(upstream.Port()),
            "--upstream-ca", QString::fromStdString(root->GetCertificatePath())};
    };
    EXPECT_EQ(Replay(entries, options("u:p w")).status, 0);
    EXPECT_EQ(upstream.Requests(),
              (std::vector<std::string>{
                  "GET http://origin.kestrune.invalid:80/plain HTTP/1.1 | Basic dTpwIHc=",
                  "CONNECT origin.kestrune.invalid:443 HTTP/1.1 | Basic dTpwIHc=",
                  "  tls GET /secret HTTP/1.1"}));

    // Refused credentials are named for both, not taken for a changed answer.
    const SRun refused = Replay(entries, options("u:wrong"));
    EXPECT_EQ(refused.status, 1);
    for (const char* path : {"/plain", "/secret"})
        EXPECT_EQ(refused.Line(path)["error"], "the upstream proxy asks for credentials (407)");
}

TEST(ReplayTest, UsageErrorsExitTwo)
{
    for (const QStringList& options :
         {QStringList{"--filter", "status:abc"}, QStringList{"--target", "nohost"},
          QStringList{"--concurrency", "0"}, QStringList{"--headless"}}) {
        const SRun run = Replay(QJsonArray{}, options);
        EXPECT_EQ(run.status, 2) << options.join(' ').toStdString();
    }
}

} // namespace
