// HAR export: the entries of exchanges (routed URLs, bodies, timings), validity against the
// HAR 1.2 schema, the run's file as saves replace it, and the headless --har file of a real run.
#include "app/HarBuilder.h"
#include "app/HarReader.h"
#include "app/HarRunFile.h"
#include "support/BlockingStream.h"
#include "support/ExchangeWords.h"
#include "support/HeadlessProcess.h"
#include "support/LoopbackServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

#include <zlib.h>

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

TEST(HarBuilderTest, EntriesReadTheExchangesAndPassTheSchema)
{
    CTraceStore store;
    const auto one = MakeExchange(store, "GET /one?q=a%20b&k HTTP/1.1\r\nHost: a.test\r\nCookie: s=1; t=2\r\n\r\n",
                                  "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nSet-Cookie: u=3; Path=/\r\n"
                                  "Content-Length: 5\r\n\r\nhello", "a.test", 80);
    one->m_Times = {1'765'000'000'000'000, 1'765'000'000'002'000, 1'765'000'000'003'500, 0,
                    1'765'000'000'003'600, 1'765'000'000'013'600, 1'765'000'000'016'600};
    // Decrypted, sent to 127.0.0.1:4443 whatever its Host says.
    const auto bank = MakeExchange(store, "POST /z HTTP/1.1\r\nHost: bank.invalid\r\nContent-Type: text/plain\r\n"
                                   "Transfer-Encoding: chunked\r\n\r\n4\r\n\xe9t\xe9!\r\n0\r\n\r\n",
                                   "HTTP/1.1 404 Not Found\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nnope\r\n0\r\n\r\n",
                                   "127.0.0.1", 4443, true);
    bank->m_nFlags = kExchangeDecrypted | kExchangeReplay; // and sent again from the window
    bank->m_nReplayOf = 1;
    const auto nul = MakeExchange(store, "GET /late HTTP/1.1\r\n\r\n", "", "b.test", 8080);
    nul->m_strTarget = std::string("/la") + '\0' + "te"; // never answered, a NUL in its line
    const auto pic = MakeExchange(store, "GET https://c.test/pic.gif HTTP/1.1\r\n\r\n",
                                  "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n\r\nGIF\x89\xff", "c.test", 443, true);
    pic->m_ResponseBody.total = 9000; // kept in part
    const auto tunnel = MakeExchange(store, "CONNECT d.test:443 HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n", "d.test", 443);
    tunnel->m_nFlags = kExchangeTunnel;
    // 4 MiB of one byte in a few kilobytes: kept as it came, not decoded into the file.
    const std::string plain(4u << 20, 'x');
    std::string zipped(compressBound(plain.size()), '\0');
    uLongf zippedSize = zipped.size();
    compress(reinterpret_cast<Bytef*>(zipped.data()), &zippedSize, reinterpret_cast<const Bytef*>(plain.data()), plain.size());
    zipped.resize(zippedSize);
    MakeExchange(store, "GET /bomb HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\n\r\n" + zipped, "e.test", 80);
    // Bytes JSON must escape, text that is not UTF-8, odd queries, long and fractional times.
    const std::string awkward[][2] = {
        {"GET /q?a=%C3%A9&b=%FF&c&=d&e=1+2 HTTP/1.1\r\nX-C: \x01\x1f\x7f\"\\\t\r\nX-L: "
         "caf\xe9\r\n\r\n",
         "HTTP/1.1 201 \xe2\x80\xa8Made\r\nLocation: /\xe9\r\n\r\n{\"k\": \"\\u00e9\b\f\"}"},
        {std::string("POST /u HTTP/1.1\r\nContent-Type: a\r\n\r\n") + '\0' + "\xff\xfe",
         "HTTP/1.1 200 OK\r\n\r\n\xef\xbb\xbf" "bom"},
    };
    for (const auto& [request, response] : awkward) {
        const auto odd = MakeExchange(store, request, response, "f\xe9.test", 80);
        odd->m_Times = {951'868'799'999'000, 0, 0, 0, 951'868'799'999'001, 951'870'034'567'891,
                        951'870'034'567'899}; // a leap day's last millisecond
        odd->m_strEndReason = "why\n\xff";
        odd->m_nFlags = kExchangeReplay;
    }

    CHarBuilder har;
    for (const auto& exchange : store.GetExchanges()) {
        har.AddExchange(*exchange);
        // As Qt's writer makes the same document: keys in order, its escapes, its numbers.
        QByteArray entry = CHarBuilder::EntryJson(*exchange);
        const QByteArray rewritten = QJsonDocument::fromJson(entry).toJson(QJsonDocument::Compact);
        EXPECT_EQ(rewritten, entry.replace("\\ufeff", "\xef\xbb\xbf"));
    }
    const QJsonObject log = QJsonDocument::fromJson(har.ToJson())["log"].toObject();
    EXPECT_EQ(log["version"].toString(), "1.2");
    const QJsonArray entries = log["entries"].toArray();
    ASSERT_EQ(entries.size(), 7); // the tunnel has no messages to show

    const QJsonObject first = Find(entries, "http://a.test/one?q=a%20b&k");
    EXPECT_EQ(first["request"]["queryString"][0]["value"].toString(), "a b");
    EXPECT_EQ(first["request"]["cookies"][1]["name"].toString(), "t");
    EXPECT_EQ(first["response"]["content"]["text"].toString(), "hello");
    EXPECT_EQ(first["response"]["cookies"][0]["value"].toString(), "3");
    EXPECT_EQ(first["startedDateTime"].toString().toStdString(), "2025-12-06T05:46:40.000Z");
    EXPECT_EQ(first["timings"].toObject(), (QJsonObject{{"blocked", -1}, {"dns", 2}, {"connect", 1.5}, {"ssl", -1},
                                                        {"send", 0.1}, {"wait", 10}, {"receive", 3}}));
    EXPECT_DOUBLE_EQ(first["time"].toDouble(), 16.6);

    EXPECT_EQ(entries[5]["startedDateTime"].toString(), "2000-02-29T23:59:59.999Z");
    EXPECT_EQ(entries[6]["response"]["content"]["text"].toString(), QString(QChar(0xfeff)) + "bom"); // kept

    const QJsonObject form = Find(entries, "https://127.0.0.1:4443/z");
    EXPECT_EQ(form["response"]["status"].toInt(), 404);
    EXPECT_EQ(form["response"]["content"]["text"].toString(), "nope");
    EXPECT_EQ(form["request"]["postData"]["_encoding"].toString(), "base64");
    EXPECT_EQ(QByteArray::fromBase64(form["request"]["postData"]["text"].toString().toLatin1()), QByteArray("\xe9t\xe9!"));
    EXPECT_TRUE(form["comment"].toString().contains("decrypted"));
    EXPECT_EQ(form["_replayOf"].toInt(), 1);

    EXPECT_EQ(Find(entries, "http://b.test:8080/la%00te")["response"]["status"].toInt(), 0);
    const QJsonObject gif = Find(entries, "https://c.test/pic.gif")["response"]["content"].toObject();
    EXPECT_EQ(gif["encoding"].toString(), "base64");
    EXPECT_EQ(gif["comment"].toString(), "body cut: 5 of 9000 bytes kept");
    const QJsonObject bomb = Find(entries, "http://e.test/bomb")["response"]["content"].toObject();
    EXPECT_EQ(bomb["size"].toInteger(), static_cast<qint64>(zippedSize));
    EXPECT_FALSE(bomb.contains("compression"));

    QTemporaryDir dir;
    const QString file = dir.filePath("trace.har");
    ASSERT_TRUE(har.WriteFile(file));
    EXPECT_EQ(SchemaErrors(file), "");
    EXPECT_EQ(QFile::permissions(file) & 0x0077, 0); // nobody but the owner (Qt's bits: 0xOUGO)
    EXPECT_FALSE(har.WriteFile(dir.filePath("missing/trace.har")));
}

// An import numbers the entries anew: a replay's link to its original holds through export,
// import and export again, from files that name the exchanges only in their comments too; a
// link to an exchange not in the file is left unknown rather than pointed at another.
TEST(HarBuilderTest, ReplayLinksSurviveImportAndExportAgain)
{
    CTraceStore store;
    const std::string request = "GET /a HTTP/1.1\r\n\r\n", response = "HTTP/1.1 200 OK\r\n\r\n";
    MakeExchange(store, "CONNECT d.test:443 HTTP/1.1\r\n\r\n", response, "d.test", 443)->m_nFlags =
        kExchangeTunnel; // no entry: the numbers after it shift
    const auto original = MakeExchange(store, request, response, "a.test", 80);
    for (const std::uint64_t replayOf : {original->m_nId, std::uint64_t{99}}) {
        const auto replay = MakeExchange(store, request, response, "a.test", 80);
        replay->m_nFlags = kExchangeReplay;
        replay->m_nReplayOf = replayOf;
    }
    QTemporaryDir dir;
    CTraceStore imported[3];
    const CTraceStore* from = &store;
    for (int round = 0; round < 3; ++round) {
        CHarBuilder har;
        for (const auto& exchange : from->GetExchanges())
            har.AddExchange(*exchange);
        QByteArray json = har.ToJson();
        const QJsonArray entries = QJsonDocument::fromJson(json)["log"]["entries"].toArray();
        ASSERT_EQ(entries.size(), 3);
        EXPECT_EQ(entries[1]["_replayOf"], entries[0]["_exchangeId"]) << round;
        EXPECT_EQ(entries[2]["_replayOf"].toInt(), round == 0 ? 99 : 0) << round;
        if (round == 1)
            json.replace("\"_exchangeId\":", "\"_older\":"); // as an older version wrote it
        QFile file(dir.filePath("round.har"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(json) == json.size());
        file.close();
        std::string error;
        ASSERT_TRUE(CHarReader::Read(file.fileName(), imported[round], error)) << error;
        from = &imported[round];
    }
}

// The run's file: whole after every save, made from entries written once, owner's only.
TEST(HarBuilderTest, RunFileSavesWhatFinishedAndIsAlwaysWhole)
{
    QTemporaryDir dir;
    std::vector<std::string> errors;
    CHarRunFile run(dir.filePath("run.har").toStdString(), [&](const std::string& e) { errors.push_back(e); });
    std::string error;
    ASSERT_TRUE(run.Open(error)) << error;
    CTraceStore store;
    auto entries = [&] {
        QFile file(dir.filePath("run.har"));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.permissions() & 0x0077, 0);
        return QJsonDocument::fromJson(file.readAll())["log"]["entries"].toArray().size();
    };
    ASSERT_TRUE(run.SaveNow());
    EXPECT_EQ(entries(), 0);
    for (int i = 0; i < 50; ++i)
        run.Add(*MakeExchange(store, "GET /" + std::to_string(i) + " HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n", "h", 80));
    run.Save(); // on its own thread; SaveNow follows it
    ASSERT_TRUE(run.SaveNow());
    EXPECT_EQ(entries(), 50);
    EXPECT_EQ(SchemaErrors(dir.filePath("run.har")), "");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"run.har"}); // no leftovers
    EXPECT_TRUE(errors.empty());

    // A thread behind a small bound: the loop never waits, and nothing leaves the HAR unsaid.
    CHarRunFile behind(
        dir.filePath("behind.har").toStdString(),
        [&](const std::string& e) { errors.push_back(e); }, 4096);
    ASSERT_TRUE(behind.Open(error)) << error;
    const std::string body(2048, 'b');
    for (int i = 0; i < 200; ++i)
        behind.Add(*MakeExchange(store, "GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n" + body,
                                 "h", 80));
    ASSERT_TRUE(behind.SaveNow());
    QCoreApplication::processEvents(); // the report, posted to this loop
    QFile file(dir.filePath("behind.har"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject log = QJsonDocument::fromJson(file.readAll())["log"].toObject();
    int whole = 0, cut = 0;
    for (const QJsonValue& entry : log["entries"].toArray()) {
        const QJsonObject content = entry["response"]["content"].toObject();
        whole += content["text"].toString().size() == 2048;
        cut += content["comment"].toString() == "body cut: 0 of 2048 bytes kept";
    }
    EXPECT_EQ(whole + cut, log["entries"].toArray().size());
    const std::string told = "the HAR file fell behind the traffic: " + std::to_string(cut)
                             + " exchanges kept without their bodies, "
                             + std::to_string(200 - whole - cut) + " left out";
    EXPECT_EQ(log["comment"].toString().toStdString(), whole == 200 ? "" : told);
    EXPECT_EQ(errors.empty(), whole == 200) << "told as each fall-behind began";

    CHarRunFile nowhere(dir.filePath("missing/run.har").toStdString(), nullptr);
    EXPECT_FALSE(nowhere.Open(error));
    EXPECT_NE(error.find("missing/run.har"), std::string::npos);
}

// curl through the headless proxy: an exchange line as the exchange ends, the HAR at exit.
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
    const QString lines = dir.filePath("exchanges.jsonl");
    QByteArray stderrText;
    const int port = StartHeadless(proxy, {"--headless", "--port", "0", "--quiet", "--har", har, "--exchanges", lines},
                                   stderrText);
    ASSERT_GT(port, 0) << stderrText.toStdString();

    const QString url = QString("http://127.0.0.1:%1/page?x=1").arg(origin.Port());
    QProcess curl;
    curl.start("curl", {"-sS", "--max-time", "20", "-x", QString("http://127.0.0.1:%1").arg(port), url});
    ASSERT_TRUE(curl.waitForFinished(30000));
    EXPECT_EQ(curl.readAllStandardOutput(), "ok") << curl.readAllStandardError().toStdString();

    EXPECT_TRUE(SignalProcess(proxy, SIGTERM)) << "the program had ended";
    ASSERT_TRUE(proxy.waitForFinished(10000));
    EXPECT_EQ(proxy.exitCode(), 0);
    QFile file(har);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonArray entries = QJsonDocument::fromJson(file.readAll())["log"]["entries"].toArray();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0]["request"]["url"].toString(), url);
    EXPECT_EQ(entries[0]["response"]["content"]["text"].toString(), "ok");
    EXPECT_EQ(SchemaErrors(har), "");

    QFile exchanges(lines);
    ASSERT_TRUE(exchanges.open(QIODevice::ReadOnly));
    EXPECT_EQ(exchanges.permissions() & 0x0077, 0);
    const QList<QByteArray> written = exchanges.readAll().split('\n');
    ASSERT_EQ(written.size(), 2) << "one line and the end"; // the tunnel-free run: one exchange
    const QJsonObject line = QJsonDocument::fromJson(written[0]).object();
    EXPECT_EQ(line["method"].toString(), "GET");
    EXPECT_EQ(line["url"].toString(), url);
    EXPECT_EQ(line["status"].toInt(), 200);
    EXPECT_EQ(line["end"].toString(), "complete");
    EXPECT_EQ(line["response"]["body_bytes"].toInt(), 2);
    EXPECT_EQ(line["response"]["decoded_bytes"].toInt(), 2);
    EXPECT_EQ(line["flags"].toArray().size(), 0);
    EXPECT_GE(line["timings"]["wait"].toDouble(), 0.0);
    EXPECT_GT(line["id"].toInt(), 0);
    EXPECT_TRUE(line["started"].toString().endsWith('Z'));
}

} // namespace
