// kestrune --convert between HAR and sessions, on a HAR that headless Chromium made through
// Kestrune (tools/make-test-har.sh).
#include "session/SessionReader.h"
#include "trace/Exchange.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The exit status and stderr of kestrune --convert from to.
std::pair<int, QByteArray> Convert(const QString& from, const QString& to)
{
    QProcess convert;
    convert.start(KESTRUNE_EXE, {"--convert", from, to});
    if (!convert.waitForFinished(30000))
        return {-1, "did not finish"};
    return {convert.exitCode(), convert.readAllStandardError()};
}

TEST(SessionConvertTest, ChromiumHarToSessionAndBackKeepsEveryEntry)
{
    QTemporaryDir dir;
    const QString har = KESTRUNE_TEST_DATA "/chromium.har";
    const QString session = dir.filePath("chromium.kestrune");
    const QString again = dir.filePath("again.har");
    auto [status, said] = Convert(har, session);
    ASSERT_EQ(status, 0) << said.toStdString();

    CTraceStore store;
    SSessionInfo info;
    std::string error;
    ASSERT_TRUE(CSessionReader().Read(session.toStdString(), store, info, error)) << error;
    QFile file(har);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonArray entries = QJsonDocument::fromJson(file.readAll())["log"]["entries"].toArray();
    ASSERT_EQ(store.GetExchanges().size(), static_cast<std::size_t>(entries.size()));
    ASSERT_EQ(entries.size(), 7);
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const CExchange& e = *store.GetExchanges()[static_cast<std::size_t>(i)];
        const QJsonObject request = entries[i]["request"].toObject();
        EXPECT_EQ(e.Url(), request["url"].toString().toStdString());
        EXPECT_EQ(e.m_strMethod, request["method"].toString().toStdString());
        EXPECT_EQ(e.m_nStatus, entries[i]["response"]["status"].toInt());
        EXPECT_EQ(e.m_ResponseBody.bytes,
                  entries[i]["response"]["content"]["text"].toString().toStdString());
        EXPECT_GT(e.m_Times.started, 0);
    }
    const CExchange& post = *store.GetExchanges()[5];
    EXPECT_EQ(post.m_RequestBody.bytes, "a=1&b=two");
    EXPECT_EQ(post.RequestField("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(store.GetConnections().front()->GetRecords().size() % 2, 0u); // asked and answered

    std::tie(status, said) = Convert(session, again);
    ASSERT_EQ(status, 0) << said.toStdString();
    QFile back(again);
    ASSERT_TRUE(back.open(QIODevice::ReadOnly));
    const QJsonArray backEntries = QJsonDocument::fromJson(back.readAll())["log"]["entries"].toArray();
    ASSERT_EQ(backEntries.size(), entries.size());
    for (qsizetype i = 0; i < entries.size(); ++i)
        EXPECT_EQ(backEntries[i]["request"]["url"], entries[i]["request"]["url"]);

    // Refused with a message and status 2: an existing result, an unknown kind, a bad input.
    const QString notHar = dir.filePath("not.har");
    QFile bad(notHar);
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly) && bad.write("{\"log\": 5"));
    bad.close();
    const QString fake = dir.filePath("fake.kestrune");
    ASSERT_TRUE(QFile::copy(notHar, fake));
    for (const auto& [from, to, words] :
         {std::tuple{har, session, "exists already"}, std::tuple{har, dir.filePath("x.txt"), ".har"},
          std::tuple{notHar, dir.filePath("y.kestrune"), "not a HAR file"},
          std::tuple{fake, dir.filePath("z.har"), "not a SQLite file"}}) {
        std::tie(status, said) = Convert(from, to);
        EXPECT_EQ(status, 2) << words;
        EXPECT_TRUE(said.contains(words)) << said.toStdString();
    }
}

} // namespace
