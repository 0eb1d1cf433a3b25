// The real program, headless, when its log file or its settings file cannot be used: it says
// so, keeps relaying, and ends cleanly.
#include "support/BlockingStream.h"
#include "support/LoopbackServer.h"
#include "tls/TlsClientContext.h"
#include "tls/TlsSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include "support/HeadlessProcess.h"

#include <gtest/gtest.h>

#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <vector>
#include <string>

namespace {

const std::string kAnswer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";

class HeadlessFault : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", m_dir.filePath("config"));
        m_process.setProcessEnvironment(env);
    }

    void TearDown() override
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QString SettingsFile() const { return m_dir.filePath("config/Varnel/Kestrune.conf"); }

    void WriteSettings(const QByteArray& bytes)
    {
        ASSERT_TRUE(QDir().mkpath(m_dir.filePath("config/Varnel")));
        QFile file(SettingsFile());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    // Starts the program; the port it reports, or 0 when it did not start listening.
    int Start(const QStringList& args)
    {
        m_stderr.clear();
        return StartHeadless(m_process, QStringList{"--headless", "--quiet"} + args, m_stderr);
    }

    // Waits until stderr holds text (or a few seconds pass).
    bool StderrShows(const QByteArray& text)
    {
        QElapsedTimer timer;
        timer.start();
        while (!m_stderr.contains(text) && timer.elapsed() < 5000) {
            m_process.waitForReadyRead(50);
            m_stderr += m_process.readAllStandardError();
        }
        return m_stderr.contains(text);
    }

    int Finish()
    {
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(10000))
            return -1;
        m_stderr += m_process.readAllStandardError();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
    }

    // One request through the program to an origin of its own.
    std::string Fetch(int port)
    {
        LoopbackServer origin([](BlockingStream& s) {
            s.ReadUntil("\r\n\r\n");
            s.Write(kAnswer);
        });
        BlockingStream browser;
        if (!browser.Connect(port))
            return {};
        browser.Write("GET http://127.0.0.1:" + std::to_string(origin.Port()) + "/ HTTP/1.0\r\n\r\n");
        return browser.ReadToEnd(5000);
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_stderr;
};

} // namespace

TEST_F(HeadlessFault, LogThatCannotBeWrittenIsReportedAndRelayingGoesOn)
{
    QFile probe("/dev/full");
    const QString missing = m_dir.filePath("no-such-folder/trace.log");
    ASSERT_TRUE(QDir().mkpath(m_dir.filePath("a-folder")));
    const QString folder = m_dir.filePath("a-folder");
    struct Case {
        QString log;
        QByteArray message;
    };
    std::vector<Case> cases{{missing, "Kestrune: Could not open file: " + missing.toLocal8Bit()},
                            {folder, "Kestrune: Could not open file: " + folder.toLocal8Bit()}};
    if (probe.exists())
        cases.push_back({"/dev/full", "Kestrune: Error during log write command"});

    for (const Case& c : cases) {
        const int port = Start({"--port", "0", "--log", c.log});
        ASSERT_GT(port, 0) << m_stderr.toStdString();
        EXPECT_EQ(Fetch(port), kAnswer);
        EXPECT_TRUE(SignalProcess(m_process, SIGUSR1)) << "the program had ended";
        EXPECT_TRUE(StderrShows(c.message)) << m_stderr.toStdString();
        EXPECT_FALSE(m_stderr.contains("written and cleared")) << m_stderr.toStdString();
        EXPECT_EQ(Fetch(port), kAnswer) << "still relaying after the failed save";
        EXPECT_TRUE(SignalProcess(m_process, SIGTERM)) << "the program had ended";
        EXPECT_EQ(Finish(), 0) << m_stderr.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(m_dir.filePath("no-such-folder")));
    EXPECT_TRUE(QFileInfo(folder).isDir());
}

TEST_F(HeadlessFault, SettingsFileThatCannotBeUsedGivesDefaults)
{
    // Garbage in the file: defaults, and the port of the command line serves.
    QByteArray garbage;
    for (int i = 0; i < 2048; ++i)
        garbage.append(static_cast<char>((i * 97 + 13) & 0xFF));
    WriteSettings(garbage + "\n[General\n[[[\n=\n@Variant(\\0\\0\\0\\x7f)\n");
    int port = Start({"--port", "0"});
    ASSERT_GT(port, 0) << m_stderr.toStdString();
    EXPECT_FALSE(m_stderr.contains("upstream proxy")) << m_stderr.toStdString();
    EXPECT_EQ(Fetch(port), kAnswer);
    EXPECT_TRUE(SignalProcess(m_process, SIGTERM)) << "the program had ended";
    EXPECT_EQ(Finish(), 0);

    // A folder where the file should be: it can be neither read nor written.
    ASSERT_TRUE(QFile::remove(SettingsFile()));
    ASSERT_TRUE(QDir().mkpath(SettingsFile()));
    port = Start({"--port", "0"});
    ASSERT_GT(port, 0) << m_stderr.toStdString();
    EXPECT_EQ(Fetch(port), kAnswer);
    EXPECT_TRUE(SignalProcess(m_process, SIGTERM)) << "the program had ended";
    EXPECT_EQ(Finish(), 0);
    EXPECT_TRUE(QFileInfo(SettingsFile()).isDir());
}

TEST_F(HeadlessFault, StoredPortThatCannotBeUsedIsAListenError)
{
    WriteSettings("[General]\nHttpPort=99999999\n");
    EXPECT_EQ(Start({}), 0);
    EXPECT_EQ(Finish(), 1);
    EXPECT_TRUE(m_stderr.contains("Listen Error on port: 99999999")) << m_stderr.toStdString();
}

namespace {
// User and system CPU time of a process so far, in clock ticks.
long CpuTicks(qint64 pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().split(')').value(1).trimmed().split(' ');
    return fields.value(11).toLong() + fields.value(12).toLong(); // utime, stime
}
} // namespace

TEST_F(HeadlessFault, OutOfDescriptorsRestsQuietlyAndServesOnceTheyFree)
{
    m_process.setChildProcessModifier([] {
        rlimit few{48, 48};
        ::setrlimit(RLIMIT_NOFILE, &few);
    });
    const int port = Start({"--port", "0"});
    ASSERT_GT(port, 0) << m_stderr.toStdString();
    // One pair served and torn down first: a build with UBSan learns the relay's types then,
    // as its type check cannot read memory (through a pipe) once no descriptor is left.
    ASSERT_EQ(Fetch(port), kAnswer);
    std::vector<BlockingStream> idle;
    for (int i = 0; i < 60; ++i) {
        BlockingStream s;
        if (s.Connect(port, 1000))
            idle.push_back(std::move(s));
    }
    ASSERT_TRUE(StderrShows("cannot accept connections")) << m_stderr.toStdString();
    // Exhausted for two seconds: the program rests (it spun at 84 % of a core before).
    const long before = CpuTicks(m_process.processId());
    QThread::msleep(2000);
    const long used = CpuTicks(m_process.processId()) - before;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 2) << "CPU ticks in 2 s";

    idle.clear();
    EXPECT_EQ(Fetch(port), kAnswer);
    EXPECT_TRUE(StderrShows("accepting connections again"));
    EXPECT_EQ(m_stderr.count("cannot accept connections"), 1) << m_stderr.toStdString();
    EXPECT_TRUE(SignalProcess(m_process, SIGTERM)) << "the program had ended";
    EXPECT_EQ(Finish(), 0);
}

TEST_F(HeadlessFault, UpstreamThatIsThisProxyIsRefused)
{
    for (const QString upstream : {"127.0.0.1:%1", "localhost:%1", "0.0.0.0:%1"}) {
        // A port free on every address a moment ago; other tests may take it meanwhile.
        for (int attempt = 0; attempt < 5; ++attempt) {
            const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            socklen_t length = sizeof a;
            ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
            ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &length);
            ::close(probe);
            const QString port = QString::number(ntohs(a.sin_port));
            m_stderr.clear();
            m_process.start(KESTRUNE_EXE, {"--headless", "--quiet", "--port", port, "--upstream",
                                           upstream.arg(port)});
            const int status = Finish();
            if (m_stderr.contains("Listen Error"))
                continue;
            EXPECT_EQ(status, 2) << upstream.toStdString();
            EXPECT_TRUE(m_stderr.contains("is this proxy's own port")) << m_stderr.toStdString();
            break;
        }
    }
}

namespace {
// Fetches a page of `size` bytes through the proxy; the bytes that came back.
std::size_t FetchBig(int port, std::size_t size)
{
    LoopbackServer origin([size](BlockingStream& s) {
        s.ReadUntil("\r\n\r\n");
        s.Write("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + std::string(size, 'x'));
    });
    BlockingStream browser;
    if (!browser.Connect(port))
        return 0;
    browser.Write("GET http://127.0.0.1:" + std::to_string(origin.Port()) + "/ HTTP/1.0\r\n\r\n");
    return browser.ReadToEnd(20000).size();
}
} // namespace

TEST_F(HeadlessFault, StdoutNobodyReadsNeitherStallsRelayingNorDelaysTheEnd)
{
    int unread[2];
    ASSERT_EQ(::pipe(unread), 0);
    m_process.setChildProcessModifier([&unread] { ::dup2(unread[1], 1); });
    m_stderr.clear();
    const int port = StartHeadless(m_process, {"--headless", "--port", "0"}, m_stderr);
    ::close(unread[1]);
    ASSERT_GT(port, 0) << m_stderr.toStdString();
    // Some 2,000 record lines: far more than the pipe holds.
    const std::size_t header = std::strlen("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n");
    EXPECT_EQ(FetchBig(port, 16 << 20), header + (16 << 20));
    EXPECT_EQ(Fetch(port), kAnswer);
    EXPECT_TRUE(SignalProcess(m_process, SIGTERM)) << "the program had ended";
    EXPECT_EQ(Finish(), 0);
    ::close(unread[0]);
}

TEST_F(HeadlessFault, DebugWritesEveryLine)
{
    const int port = Start({"--port", "0", "--debug"});
    ASSERT_GT(port, 0) << m_stderr.toStdString();
    const std::size_t size = 4 << 20;
    const std::size_t got = FetchBig(port, size);
    EXPECT_TRUE(SignalProcess(m_process, SIGTERM)) << "the program had ended";
    EXPECT_EQ(Finish(), 0);
    // Each send of the server side has its line with the count it took: they add up to the
    // request and the page.
    std::size_t traced = 0;
    for (const QByteArray& line : m_stderr.split('\n')) {
        const int at = line.indexOf("CHost::DoRead Sending to socket=");
        if (at >= 0 && !line.contains("total = 4294967295"))
            traced += line.mid(line.indexOf("total = ") + 8).trimmed().toULongLong();
    }
    EXPECT_EQ(traced, std::strlen("GET / HTTP/1.0\r\n\r\n") + got);
    EXPECT_FALSE(m_stderr.contains("lines dropped"));
}

TEST_F(HeadlessFault, SlowHeadersSilentServersAndHungConnectsTimeOut)
{
    const int port = Start({"--port", "0", "--header-timeout", "1", "--connect-timeout", "1",
                            "--idle-timeout", "2"});
    ASSERT_GT(port, 0) << m_stderr.toStdString();
    bool closed = false;

    // A header that never ends: closed, no answer.
    BlockingStream slow;
    ASSERT_TRUE(slow.Connect(port));
    slow.Write("GET http://127.0.0.1:1/ HTTP/1.0\r\nX-Slow: ");
    EXPECT_EQ(slow.ReadToEnd(15000, &closed), "");
    EXPECT_TRUE(closed);

    // A server that takes the request and never answers, plain and through a tunnel.
    LoopbackServer silent([](BlockingStream& s) { s.ReadToEnd(20000); });
    for (const std::string request : {"GET http://127.0.0.1:%/ HTTP/1.0\r\n\r\n",
                                      "CONNECT 127.0.0.1:% HTTP/1.0\r\n\r\n"}) {
        BlockingStream browser;
        ASSERT_TRUE(browser.Connect(port));
        std::string text = request;
        text.replace(text.find('%'), 1, std::to_string(silent.Port()));
        browser.Write(text);
        const std::string got = browser.ReadToEnd(15000, &closed);
        EXPECT_TRUE(closed) << text;
        EXPECT_TRUE(got.empty() || got.rfind("HTTP/1.0 200 Connection established", 0) == 0) << got;
    }

    // A connect whose SYN is dropped: a listener with a full queue that never accepts.
    int full = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(full, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(full, 0), 0);
    ::getsockname(full, reinterpret_cast<sockaddr*>(&a), &length);
    std::vector<BlockingStream> queued(3);
    for (BlockingStream& q : queued)
        q.Connect(ntohs(a.sin_port), 300);
    BlockingStream browser;
    ASSERT_TRUE(browser.Connect(port));
    browser.Write("GET http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/ HTTP/1.0\r\n\r\n");
    EXPECT_EQ(browser.ReadToEnd(15000, &closed).rfind("HTTP/1.0 404", 0), 0u);
    ::close(full);

    EXPECT_EQ(Fetch(port), kAnswer);
    EXPECT_TRUE(SignalProcess(m_process, SIGTERM)) << "the program had ended";
    EXPECT_EQ(Finish(), 0);
}

TEST_F(HeadlessFault, StalledTlsHandshakesEndWithinTheConnectAndHeaderTimeouts)
{
    // The idle timeout is far off: only the connect and header timeouts can end these.
    const int port = Start({"--port", "0", "--decrypt-https", "--header-timeout", "1",
                            "--connect-timeout", "1", "--idle-timeout", "3600"});
    ASSERT_GT(port, 0) << m_stderr.toStdString();
    LoopbackServer silent([](BlockingStream& s) { s.ReadToEnd(20000); });
    const std::string hop = "127.0.0.1:" + std::to_string(silent.Port());
    bool closed = false;

    // An origin that takes the ClientHello and never answers it: the 502 naming the hop.
    BlockingStream browser;
    ASSERT_TRUE(browser.Connect(port));
    browser.Write("GET https://" + hop + "/ HTTP/1.1\r\nHost: " + hop + "\r\n\r\n");
    const std::string got = browser.ReadToEnd(15000, &closed);
    EXPECT_EQ(got.rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u) << got;
    EXPECT_NE(got.find("\r\n\r\nKestrune: TLS to the origin server " + hop + " failed: timed out"),
              std::string::npos)
        << got;

    // A browser that sends its ClientHello into a decrypted tunnel and no more: closed.
    std::string error;
    const auto client = CTlsClientContext::Create("", false, error);
    ASSERT_TRUE(client) << error;
    BlockingStream stalled;
    ASSERT_TRUE(stalled.Connect(port));
    stalled.Write("CONNECT " + hop + " HTTP/1.1\r\n\r\n"
                  + client->NewSession("a.test")->TakeCiphertext());
    const std::string answer = stalled.ReadToEnd(15000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(answer.rfind("HTTP/1.0 200 Connection established\n", 0), 0u) << answer; // then TLS
}
