// The headless program records its run into a session file (--session): what it committed
// survives kill -9, and a disk that refuses writes ends the recording, not the relaying.
#include "session/SessionReader.h"
#include "support/HeadlessProcess.h"
#include "support/LoopbackServer.h"
#include "trace/Exchange.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace {

// The origin answers each request with `size` bytes of text and closes.
LoopbackServer Origin(std::size_t size)
{
    return LoopbackServer([size](BlockingStream& stream) {
        stream.ReadUntil("\r\n\r\n");
        stream.Write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                     std::to_string(size) + "\r\nConnection: close\r\n\r\n" + std::string(size, 'k'));
    });
}

// The body curl fetched through the proxy.
QByteArray Curl(int proxyPort, int originPort, const QString& path)
{
    QProcess curl;
    curl.start("curl", {"-sS", "--max-time", "20", "-x", QString("http://127.0.0.1:%1").arg(proxyPort),
                        QString("http://127.0.0.1:%1%2").arg(originPort).arg(path)});
    return curl.waitForFinished(30000) ? curl.readAllStandardOutput() : QByteArray();
}

// The sent records' texts of the session as it is on disk now; empty when it cannot be read.
std::string SentTexts(const QString& file)
{
    CTraceStore store;
    SSessionInfo info;
    std::string error, texts;
    if (!CSessionReader().Read(file.toStdString(), store, info, error))
        return {};
    for (const auto& entry : store.GetConnections()) {
        for (const auto& record : entry->GetRecords()) {
            if (record->GetDirection() == ETraceDirection::Sent)
                texts += record->GetFullText();
        }
    }
    return texts;
}

class SessionRecordingTest : public ::testing::Test {
protected:
    SessionRecordingTest()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", m_Dir.path());
        m_Proxy.setProcessEnvironment(env);
    }
    ~SessionRecordingTest() override
    {
        m_Proxy.kill();
        m_Proxy.waitForFinished(5000);
    }

    QTemporaryDir m_Dir;
    QString m_File = m_Dir.filePath("run.kestrune");
    QProcess m_Proxy;
    QByteArray m_Stderr;
};

TEST_F(SessionRecordingTest, KillNineKeepsEveryCommittedRequest)
{
    LoopbackServer origin = Origin(2);
    const int port = StartHeadless(m_Proxy, {"--headless", "--port", "0", "--quiet", "--session", m_File}, m_Stderr);
    ASSERT_GT(port, 0) << m_Stderr.toStdString();
    for (const char* path : {"/one", "/two", "/three"})
        ASSERT_EQ(Curl(port, origin.Port(), path), "kk");

    // Committed within a second of the answers: waited for in the file itself, with a bound.
    std::string texts;
    QElapsedTimer waited;
    waited.start();
    while (texts.find("GET /three ") == std::string::npos && waited.elapsed() < 10000) {
        m_Proxy.waitForFinished(20); // the proxy runs on; this only paces the reads
        texts = SentTexts(m_File);
    }
    EXPECT_TRUE(SignalProcess(m_Proxy, SIGKILL)) << "the program had ended";
    ASSERT_TRUE(m_Proxy.waitForFinished(10000));

    texts = SentTexts(m_File);
    for (const char* path : {"/one", "/two", "/three"})
        EXPECT_NE(texts.find(path), std::string::npos) << path << " missing from " << texts;
}

// A kept body the recording takes (past the size given full room at once) reaches the file whole,
// and a stop the moment the answer came keeps its records, with the HAR and the log written too.
TEST_F(SessionRecordingTest, KeptBodiesReachTheFileWhole)
{
    const std::size_t size = 3 << 20;
    LoopbackServer origin = Origin(size);
    const int port = StartHeadless(m_Proxy, {"--headless", "--port", "0", "--quiet", "--session", m_File, "--har",
                                             m_Dir.filePath("run.har"), "--log", m_Dir.filePath("run.log")}, m_Stderr);
    ASSERT_GT(port, 0) << m_Stderr.toStdString();
    ASSERT_EQ(Curl(port, origin.Port(), "/big").size(), size);
    EXPECT_TRUE(SignalProcess(m_Proxy, SIGTERM)) << "the program had ended";
    ASSERT_TRUE(m_Proxy.waitForFinished(10000));
    CTraceStore store;
    SSessionInfo info;
    std::string error;
    ASSERT_TRUE(CSessionReader().Read(m_File.toStdString(), store, info, error)) << error;
    ASSERT_EQ(store.GetExchanges().size(), 1u);
    EXPECT_EQ(store.GetExchanges()[0]->m_ResponseBody.bytes, std::string(size, 'k'));
    EXPECT_EQ(store.GetExchanges()[0]->m_ResponseBody.total, size);
    std::size_t received = 0;
    for (const auto& entry : store.GetConnections()) {
        for (const auto& record : entry->GetRecords())
            received += record->GetDirection() == ETraceDirection::Received ? record->GetByteCount() : 0;
    }
    EXPECT_GT(received, size);
}

// The window records as the headless run does ("Record session to:" stored in the settings):
// kill -9 keeps what was committed.
TEST_F(SessionRecordingTest, KillNineKeepsWhatTheWindowCommitted)
{
    LoopbackServer origin = Origin(2);
    QTcpServer free; // a port for the window to listen on (it prints none)
    ASSERT_TRUE(free.listen(QHostAddress::LocalHost, 0));
    const int port = free.serverPort();
    free.close();
    QSettings settings(m_Dir.filePath("Varnel/Kestrune.conf"), QSettings::IniFormat);
    settings.setValue("HttpAddress", "127.0.0.1");
    settings.setValue("HttpPort", QString::number(port));
    settings.setValue("SessionFile", m_File);
    settings.sync();
    QProcessEnvironment env = m_Proxy.processEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    m_Proxy.setProcessEnvironment(env);
    m_Proxy.start(KESTRUNE_EXE, {});

    // The file's description is written once the window listens.
    SSessionInfo info;
    std::string error, texts;
    QElapsedTimer waited;
    waited.start();
    while (info.RunValue("listen_port").empty() && waited.elapsed() < 20000) {
        m_Proxy.waitForFinished(20);
        CTraceStore store;
        info = {};
        CSessionReader().Read(m_File.toStdString(), store, info, error);
    }
    ASSERT_EQ(info.RunValue("listen_port"), std::to_string(port)) << error;
    for (const char* path : {"/one", "/two", "/three"})
        ASSERT_EQ(Curl(port, origin.Port(), path), "kk");
    while (texts.find("GET /three ") == std::string::npos && waited.elapsed() < 30000) {
        m_Proxy.waitForFinished(20);
        texts = SentTexts(m_File);
    }
    EXPECT_TRUE(SignalProcess(m_Proxy, SIGKILL)) << "the program had ended";
    ASSERT_TRUE(m_Proxy.waitForFinished(10000));
    texts = SentTexts(m_File);
    for (const char* path : {"/one", "/two", "/three"})
        EXPECT_NE(texts.find(path), std::string::npos) << path << " missing from " << texts;
}

TEST_F(SessionRecordingTest, AFullDiskStopsTheRecordingNotTheRelay)
{
    // Files of the program may grow to 256 KiB: the first large answer does not fit.
    m_Proxy.setChildProcessModifier([] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{256 << 10, 256 << 10};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    LoopbackServer origin = Origin(1 << 20);
    const int port = StartHeadless(m_Proxy, {"--headless", "--port", "0", "--quiet", "--session", m_File}, m_Stderr);
    ASSERT_GT(port, 0) << m_Stderr.toStdString();
    ASSERT_EQ(Curl(port, origin.Port(), "/big").size(), 1 << 20);

    QElapsedTimer waited;
    waited.start();
    while (!m_Stderr.contains("session recording stopped") && waited.elapsed() < 10000) {
        m_Proxy.waitForReadyRead(50);
        m_Stderr += m_Proxy.readAllStandardError();
    }
    EXPECT_TRUE(m_Stderr.contains("session recording stopped")) << m_Stderr.toStdString();
    EXPECT_EQ(Curl(port, origin.Port(), "/after").size(), 1 << 20);
    EXPECT_TRUE(SignalProcess(m_Proxy, SIGTERM)) << "the program had ended";
    ASSERT_TRUE(m_Proxy.waitForFinished(10000));
    m_Stderr += m_Proxy.readAllStandardError();
    EXPECT_EQ(m_Stderr.count("session recording stopped"), 1) << m_Stderr.toStdString();
    EXPECT_EQ(m_Proxy.exitCode(), 0);
}

} // namespace
