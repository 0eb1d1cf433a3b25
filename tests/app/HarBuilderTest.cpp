// HAR export: pairing on keep-alive connections to several hosts, the fields of each entry,
// validity against the HAR 1.2 schema, and the headless --har file of a real run.
#include "app/HarBuilder.h"
#include "app/TraceApp.h"
#include "support/BlockingStream.h"
#include "support/HeadlessProcess.h"
#include "support/LoopbackServer.h"
#include "support/TraceWords.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

// Runs the schema check; its error text when the file is not valid HAR 1.2 or the tools are
// missing (a failure, not a skip: tools/setup.sh installs both halves).
std::string SchemaErrors(const QString& file)
{
    QProcess check;
    check.start("/usr/bin/python3", {HAR_SCHEMA_CHECK, HAR_SCHEMA_DIR, file});
    if (!check.waitForFinished(60000))
        return "the schema check did not finish";
    if (check.exitStatus() == QProcess::NormalExit && check.exitCode() == 0)
        return std::string();
    return "exit " + std::to_string(check.exitCode()) + ": " + check.readAllStandardError().toStdString();
}

const QJsonObject Find(const QJsonArray& entries, const QString& url)
{
    for (const QJsonValue& entry : entries)
        if (entry["request"]["url"].toString() == url)
            return entry.toObject();
    return QJsonObject();
}

TEST(HarBuilderTest, PairsKeepAliveRequestsAndPassesTheSchema)
{
    CTraceApp app;
    ASSERT_TRUE(app.InitCore());
    app.m_bRequestViewer = 0;
    app.m_bResponseViewer = 0;
    CTraceStore& store = *app.m_pTraceStore;

    CTraceConnection* a = store.AddConnection(nullptr, false);
    a->AddChunk(kSent, kHeader, "GET /one?q=a%20b&k HTTP/1.1\r\nHost: a.test\r\nCookie: s=1; t=2\r\n\r\n");
    a->AddChunk(kReceived, kHeader, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nSet-Cookie: u=3; Pa"); // header cut
    a->AddChunk(kReceived, kHeader, "th=/\r\nContent-Length: 5\r\n\r\nhel");
    a->AddChunk(kReceived, kBody, "lo");
    a->AddChunk(kSent, kHeader, "POST /form HTTP/1.1\r\nHost: a.test\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n\r\n");
    a->AddChunk(kReceived, kHeader, "HTTP/1.1 100 Continue\r\n\r\n");
    a->AddChunk(kSent, kBody, "\xe9t\xe9!"); // Latin-1 text: kept exactly, as base64
    a->AddChunk(kReceived, kHeader, "HTTP/1.1 404 Not Found\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nnope\r\n0\r\n\r\n");
    a->AddChunk(kSent, kHeader, "GET /late HTTP/1.1\r\nHost: a.test\r\n\r\n"); // never answered
    CTraceConnection* b = store.AddConnection(nullptr, false);
    b->AddChunk(kSent, kHeader, "GET /pic.gif HTTP/1.1\r\nHost: b.test:8080\r\n\r\n");
    b->AddChunk(kReceived, kHeader, "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n\r\n" + std::string(100, 'g'));
    b->AddChunk(kReceived, kBody, std::string(50, 'g'));
    CTraceConnection* tunnel = store.AddConnection(nullptr, true);
    tunnel->AddChunk(kSent, kHeader, "\x16\x03\x01");

    CHarBuilder har;
    for (const auto& connection : store.GetConnections())
        har.AddConnection(*connection);
    const QJsonObject log = QJsonDocument::fromJson(har.ToJson())["log"].toObject();
    EXPECT_EQ(log["version"].toString(), "1.2");
    const QJsonArray entries = log["entries"].toArray();
    ASSERT_EQ(entries.size(), 4); // the tunnel has no pair to show

    const QJsonObject one = Find(entries, "http://a.test/one?q=a%20b&k");
    EXPECT_EQ(one["request"]["method"].toString(), "GET");
    EXPECT_EQ(one["request"]["queryString"][0]["value"].toString(), "a b");
    EXPECT_EQ(one["request"]["cookies"][1]["name"].toString(), "t");
    EXPECT_EQ(one["response"]["status"].toInt(), 200);
    EXPECT_EQ(one["response"]["content"]["text"].toString(), "hello");
    EXPECT_EQ(one["response"]["bodySize"].toInt(), 5);
    EXPECT_EQ(one["response"]["cookies"][0]["value"].toString(), "3");
    EXPECT_EQ(one["response"]["headers"][2]["value"].toString(), "5");

    const QJsonObject form = Find(entries, "http://a.test/form");
    EXPECT_EQ(form["response"]["status"].toInt(), 404); // the interim 100 answers nothing
    EXPECT_EQ(form["response"]["statusText"].toString(), "Not Found");
    EXPECT_EQ(form["response"]["content"]["text"].toString(), "nope");
    EXPECT_EQ(form["request"]["postData"]["_encoding"].toString(), "base64");
    EXPECT_EQ(QByteArray::fromBase64(form["request"]["postData"]["text"].toString().toLatin1()), QByteArray("\xe9t\xe9!"));
    EXPECT_EQ(form["request"]["bodySize"].toInt(), 4);

    EXPECT_EQ(Find(entries, "http://a.test/late")["response"]["status"].toInt(), 0);
    const QJsonObject pic = Find(entries, "http://b.test:8080/pic.gif");
    EXPECT_EQ(pic["response"]["content"]["size"].toInt(), 150);
    EXPECT_FALSE(pic["response"]["content"].toObject().contains("text"));
    EXPECT_FALSE(pic["response"]["content"]["comment"].toString().isEmpty());
    EXPECT_NE(pic["connection"], one["connection"]);

    QTemporaryDir dir;
    const QString file = dir.filePath("trace.har");
    ASSERT_TRUE(har.WriteFile(file));
    EXPECT_EQ(SchemaErrors(file), "");
    EXPECT_FALSE(har.WriteFile(dir.filePath("missing/trace.har")));
}

// curl through the headless proxy; the HAR is written at exit.
TEST(HarBuilderTest, HeadlessRunWritesItsHarAtExit)
{
    LoopbackServer origin([](BlockingStream& stream) {
        stream.ReadUntil("\r\n\r\n");
        stream.Write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    });
    QTemporaryDir dir;
    QProcess proxy;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.path());
    proxy.setProcessEnvironment(env);
    const QString har = dir.filePath("run.har");
    QByteArray stderrText;
    const int port = StartHeadless(proxy, {"--headless", "--port", "0", "--quiet", "--har", har}, stderrText);
    ASSERT_GT(port, 0) << stderrText.toStdString();

    const QString url = QString("http://127.0.0.1:%1/page?x=1").arg(origin.Port());
    QProcess curl;
    curl.start("curl", {"-sS", "--max-time", "20", "-x", QString("http://127.0.0.1:%1").arg(port), url});
    ASSERT_TRUE(curl.waitForFinished(30000));
    EXPECT_EQ(curl.readAllStandardOutput(), "ok") << curl.readAllStandardError().toStdString();

    ::kill(static_cast<pid_t>(proxy.processId()), SIGTERM);
    ASSERT_TRUE(proxy.waitForFinished(10000));
    EXPECT_EQ(proxy.exitCode(), 0);
    QFile file(har);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonArray entries = QJsonDocument::fromJson(file.readAll())["log"]["entries"].toArray();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0]["request"]["url"].toString(), url);
    EXPECT_EQ(entries[0]["response"]["content"]["text"].toString(), "ok");
    EXPECT_EQ(SchemaErrors(har), "");
}

} // namespace
