// Runs the real kestrune program headless on loopback and talks to it through sockets.
#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include "support/HeadlessProcess.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <string>
#include <thread>

namespace {

int ListenLoopback(int& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

void SetTimeouts(int fd)
{
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Answers one request with a small page and closes; keeps the request's header in asked.
void ServeOnceKeeping(int listenFd, std::string reply, std::string* asked)
{
    int c = ::accept(listenFd, nullptr, nullptr);
    if (c < 0)
        return;
    SetTimeouts(c);
    std::string got;
    char buf[4096];
    while (got.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(c, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, n);
    }
    if (asked)
        *asked = got;
    (void)!::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
    ::close(c);
}

void ServeOnce(int listenFd, std::string reply)
{
    ServeOnceKeeping(listenFd, std::move(reply), nullptr);
}

std::string Fetch(int proxyPort, const std::string& request)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    SetTimeouts(fd);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(proxyPort);
    std::string got;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
            got.append(buf, n);
    }
    ::close(fd);
    return got;
}

class Headless : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", m_dir.path());
        m_process.setProcessEnvironment(env);
    }

    void TearDown() override
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Starts the program and returns the port it reports, or 0.
    int Start(const QStringList& args)
    {
        return StartHeadless(m_process, args, m_stderr);
    }

    // Reads stdout until it holds `count` lines or a few seconds pass.
    QByteArray ReadLines(int count)
    {
        QElapsedTimer timer;
        timer.start();
        while (m_stdout.count('\n') < count && timer.elapsed() < 5000) {
            m_process.waitForReadyRead(100);
            m_stdout += m_process.readAllStandardOutput();
        }
        return m_stdout;
    }

    int Finish()
    {
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(10000))
            return -1;
        m_stdout += m_process.readAllStandardOutput();
        m_stderr += m_process.readAllStandardError();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_stdout;
    QByteArray m_stderr;
};

} // namespace

TEST_F(Headless, VersionHelpAndUsageErrors)
{
    m_process.start(KESTRUNE_EXE, {"--version"});
    EXPECT_EQ(Finish(), 0);
    EXPECT_TRUE(m_stdout.startsWith("Kestrune 2.1"));

    m_stdout.clear();
    m_process.start(KESTRUNE_EXE, {"--headless", "--help"});
    EXPECT_EQ(Finish(), 0);
    EXPECT_TRUE(m_stdout.contains("--upstream [USER[:PASSWORD]@]HOST:PORT"));

    m_process.start(KESTRUNE_EXE, {"--headless", "--frobnicate"});
    EXPECT_EQ(Finish(), 2);
    EXPECT_TRUE(m_stderr.contains("unknown argument: --frobnicate"));
}

TEST_F(Headless, PortInUseIsAListenError)
{
    int port = 0;
    const int busy = ListenLoopback(port);
    ASSERT_GE(busy, 0);
    // Bound to loopback only: the proxy's bind on every interface still collides.
    EXPECT_EQ(Start({"--headless", "--port", QString::number(port)}), 0);
    EXPECT_EQ(Finish(), 1);
    EXPECT_TRUE(m_stderr.contains(QByteArray("Listen Error on port: ") + QByteArray::number(port)))
        << m_stderr.toStdString();
    ::close(busy);
}

TEST_F(Headless, RelaysPrintsRecordsAndLogsOnSignals)
{
    int originPort = 0;
    const int origin = ListenLoopback(originPort);
    ASSERT_GE(origin, 0);
    std::thread server(ServeOnce, origin,
                       std::string("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello"));

    const QString log = m_dir.filePath("trace.log");
    const int port = Start({"--headless", "--port", "0", "--log", log});
    ASSERT_GT(port, 0) << m_stderr.toStdString();

    const std::string request = "GET http://127.0.0.1:" + std::to_string(originPort)
                                + "/page HTTP/1.0\r\nHost: x\r\n\r\n";
    const std::string reply = Fetch(port, request);
    server.join();
    ::close(origin);
    EXPECT_EQ(reply, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello");

    const QByteArray out = ReadLines(2);
    EXPECT_TRUE(out.contains("SEND\t")) << out.toStdString();
    EXPECT_TRUE(out.contains("\tGET /page HTTP/1.0\n")) << out.toStdString();
    EXPECT_TRUE(out.contains("RECIEVE\t")) << out.toStdString();
    EXPECT_TRUE(out.contains("\tHTTP/1.0 200 OK\n")) << out.toStdString();

    ::kill(m_process.processId(), SIGUSR1);
    QElapsedTimer timer;
    timer.start();
    while (!QFile(log).exists() && timer.elapsed() < 5000)
        QThread::msleep(20);
    ::kill(m_process.processId(), SIGTERM);
    EXPECT_EQ(Finish(), 0);

    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.startsWith("\"Type\"\t\"ID1\"\t\"ID2\"\t\"Time\"\t\"Bytes\"\t\"Response Time\"\t\"Data\"\r\n"));
    EXPECT_EQ(text.count("\"SEND\""), 1);
    EXPECT_EQ(text.count("\"RECIEVE\""), 1);
    EXPECT_TRUE(m_stderr.contains("Kestrune: " + log.toUtf8() + " written and cleared."))
        << m_stderr.toStdString();
}

TEST_F(Headless, UpstreamPasswordLeavesTheProcessListAndFilesWithSecretsAreTheOwners)
{
    int upstreamPort = 0;
    const int upstream = ListenLoopback(upstreamPort);
    ASSERT_GE(upstream, 0);
    std::string asked; // what reached the upstream proxy
    std::thread server(ServeOnceKeeping, upstream, "HTTP/1.0 200 OK\r\nSet-Cookie: s=1\r\n\r\nok", &asked);
    const QString log = m_dir.filePath("trace.log");
    const QString har = m_dir.filePath("run.har");
    const int port = Start({"--headless", "--port", "0", "--quiet", "--log", log, "--har", har,
                            "--upstream=user:s3cr3t@127.0.0.1:" + QString::number(upstreamPort)});
    ASSERT_GT(port, 0) << m_stderr.toStdString();
    EXPECT_TRUE(m_stderr.contains("KESTRUNE_UPSTREAM_PASSWORD")) << m_stderr.toStdString();
    QFile cmdline("/proc/" + QString::number(m_process.processId()) + "/cmdline");
    ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
    const QByteArray shown = cmdline.readAll();
    EXPECT_FALSE(shown.contains("s3cr3t")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("--upstream=user:******@127.0.0.1:")) << shown.toStdString();

    EXPECT_EQ(Fetch(port, "GET http://origin.test/ HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 OK\r\nSet-Cookie: s=1\r\n\r\nok");
    server.join();
    ::close(upstream);
    EXPECT_NE(asked.find("Proxy-Authorization: Basic dXNlcjpzM2NyM3Q=\r\n"), std::string::npos)
        << asked;
    ::kill(m_process.processId(), SIGTERM);
    EXPECT_EQ(Finish(), 0);
    for (const QString& path : {log, har}) {
        struct stat info = {};
        ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &info), 0) << path.toStdString();
        EXPECT_EQ(info.st_mode & 0777, 0600u) << path.toStdString();
    }
}

// The keyring answers late, or never: the relay listens once the password is known, so the
// first request carries it, or after a bounded wait that it tells about.
TEST_F(Headless, KeyringPasswordIsKnownBeforeTheFirstRequest)
{
    // The program's modules are found beside it: a link to it beside the fake keyring.
    const QString program = FAKE_KEYRING_DIR "/kestrune";
    const QString made = program + "." + QString::number(::getpid());
    ASSERT_TRUE(::link(KESTRUNE_EXE, made.toLocal8Bit().constData()) == 0
                || QFile::copy(KESTRUNE_EXE, made));
    ASSERT_EQ(::rename(made.toLocal8Bit().constData(), program.toLocal8Bit().constData()), 0);
    const struct {
        const char* password; // none: the keyring never answers
        bool told;
    } cases[] = {{"p w", false}, {nullptr, true}};
    for (const auto& c : cases) {
        QProcessEnvironment env = m_process.processEnvironment();
        env.remove("KESTRUNE_UPSTREAM_PASSWORD");
        env.remove("KESTRUNE_TEST_KEYRING_PASSWORD");
        if (c.password) {
            env.insert("KESTRUNE_TEST_KEYRING_PASSWORD", c.password);
            env.insert("KESTRUNE_TEST_KEYRING_DELAY_MS", "300");
        }
        m_process.setProcessEnvironment(env);
        int upstreamPort = 0;
        const int upstream = ListenLoopback(upstreamPort);
        ASSERT_GE(upstream, 0);
        std::string asked;
        std::thread server(ServeOnceKeeping, upstream, "HTTP/1.0 200 OK\r\n\r\nok", &asked);
        m_stderr.clear();
        const int port =
            StartHeadless(m_process, program,
                          {"--headless", "--port", "0", "--quiet",
                           "--upstream=user@127.0.0.1:" + QString::number(upstreamPort)},
                          m_stderr);
        EXPECT_GT(port, 0) << m_stderr.toStdString();
        EXPECT_EQ(Fetch(port, "GET http://origin.test/ HTTP/1.0\r\n\r\n"),
                  "HTTP/1.0 200 OK\r\n\r\nok");
        server.join();
        ::close(upstream);
        const std::string credentials = "Proxy-Authorization: Basic "
                                        + QByteArray("user:p w").toBase64().toStdString() + "\r\n";
        EXPECT_EQ(asked.find(credentials) != std::string::npos, c.password != nullptr) << asked;
        EXPECT_EQ(m_stderr.contains("the keyring did not answer within 5 seconds"), c.told)
            << m_stderr.toStdString();
        SignalProcess(m_process, SIGTERM);
        EXPECT_EQ(Finish(), 0);
    }
}

TEST_F(Headless, SavesSignalledInARowAndAtTheEndWriteEveryRecordOnce)
{
    int originPort = 0;
    const int origin = ListenLoopback(originPort);
    ASSERT_GE(origin, 0);
    const std::string body(32 << 20, 'x'); // some thousands of records
    std::thread server(ServeOnce, origin,
                       "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + body);
    const QString log = m_dir.filePath("trace.log");
    const int port = Start({"--headless", "--port", "0", "--quiet", "--log", log});
    ASSERT_GT(port, 0) << m_stderr.toStdString();
    const std::string reply = Fetch(port, "GET http://127.0.0.1:" + std::to_string(originPort)
                                              + "/big HTTP/1.0\r\n\r\n");
    server.join();
    ::close(origin);
    ASSERT_GT(reply.size(), body.size());
    EXPECT_EQ(reply.compare(reply.size() - body.size(), body.size(), body), 0);

    for (int signal : {SIGUSR1, SIGUSR1, SIGUSR1, SIGTERM})
        ::kill(m_process.processId(), signal);
    EXPECT_EQ(Finish(), 0);
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = file.readAll().split('\n');
    ASSERT_GT(rows.size(), 1000);
    EXPECT_TRUE(rows.front().startsWith("\"Type\"\t"));
    EXPECT_TRUE(rows.back().isEmpty());
    for (qsizetype i = 1; i + 1 < rows.size(); ++i) // one entry: its records in order, once each
        ASSERT_TRUE(rows[i].startsWith((i == 1 ? "\"SEND\"\t\"1\"\t\"" : "\"RECIEVE\"\t\"1\"\t\"")
                                       + QByteArray::number(i) + "\"\t"))
            << i << ": " << rows[i].toStdString();
}

TEST_F(Headless, InterruptWithoutLogExitsAtOnce)
{
    ASSERT_GT(Start({"--headless", "--port", "0", "--quiet"}), 0);
    ::kill(m_process.processId(), SIGINT);
    EXPECT_EQ(Finish(), 0);
    EXPECT_TRUE(m_stdout.isEmpty());
}

TEST_F(Headless, JsonLinesCarryEveryByteOfASummary)
{
    int originPort = 0;
    const int origin = ListenLoopback(originPort);
    ASSERT_GE(origin, 0);
    std::thread server(ServeOnce, origin, std::string("HTTP/1.0 200 OK\r\n\r\nhi"));
    const int port = Start({"--headless", "--port", "0", "--format", "json"});
    ASSERT_GT(port, 0) << m_stderr.toStdString();

    const std::string path = "/a\xff\x01\"\\\xc3\xa9\x7f";
    Fetch(port, "GET http://127.0.0.1:" + std::to_string(originPort) + path
                    + " HTTP/1.0\r\nHost: x\r\n\r\n");
    server.join();
    ::close(origin);

    const QList<QByteArray> lines = ReadLines(2).split('\n');
    ASSERT_GE(lines.size(), 3) << m_stdout.toStdString();
    for (const QByteArray& line : lines.mid(0, 2)) {
        EXPECT_EQ(QString::fromUtf8(line).toUtf8(), line) << "not UTF-8: " << line.toStdString();
        QJsonParseError error{};
        QJsonDocument::fromJson(line, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    }
    const QJsonObject sent = QJsonDocument::fromJson(lines[0]).object();
    EXPECT_EQ(sent.keys(), QStringList({"bytes", "connection", "direction", "response_time",
                                        "sequence", "summary", "time"}));
    EXPECT_EQ(sent["direction"].toString(), "send");
    EXPECT_TRUE(sent["response_time"].isDouble() && sent["time"].toString().contains('T'));
    const QString summary = QString("GET /a") + QChar(0xff) + QChar(1) + "\"\\" + QChar(0xe9)
                            + QChar(0x7f) + " HTTP/1.0";
    EXPECT_EQ(sent["summary"].toString(), summary);
    EXPECT_EQ(QJsonDocument::fromJson(lines[1]).object()["direction"].toString(), "receive");
}

TEST_F(Headless, RootCertificateIsExportedRenewedAndTheOriginChecksAreTold)
{
    const QString exported = m_dir.path() + "/root.pem";
    m_process.start(KESTRUNE_EXE, {"--export-ca", exported});
    ASSERT_EQ(Finish(), 0) << m_stderr.toStdString();
    QFile first(exported);
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    const QByteArray pem = first.readAll();
    EXPECT_TRUE(pem.startsWith("-----BEGIN CERTIFICATE-----"));
    EXPECT_FALSE(pem.contains("PRIVATE"));
    struct stat key {};
    ASSERT_EQ(::stat(QFile::encodeName(m_dir.path() + "/Varnel/kestrune-root-ca.key"), &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);

    m_process.start(KESTRUNE_EXE, {"--new-ca", "--export-ca", exported});
    ASSERT_EQ(Finish(), 0);
    QFile second(exported);
    ASSERT_TRUE(second.open(QIODevice::ReadOnly));
    EXPECT_NE(second.readAll(), pem);

    m_stderr.clear();
    ASSERT_GT(Start({"--headless", "--port", "0", "--decrypt-https", "--insecure-upstream"}), 0);
    EXPECT_TRUE(m_stderr.contains("NOT verified")) << m_stderr.toStdString();
    EXPECT_TRUE(m_stderr.contains("kestrune-root-ca.pem (SHA-256 "));
    m_process.kill();
    Finish();
    m_stderr.clear();
    m_process.start(KESTRUNE_EXE, {"--headless", "--port", "0", "--upstream-ca", "/nonexistent.pem"});
    EXPECT_EQ(Finish(), 1);
    EXPECT_TRUE(m_stderr.contains("/nonexistent.pem"));
}

TEST_F(Headless, DecodeShowsAGzipPageDecodedWhileCurlGetsItsBytesUnchanged)
{
    // One line of letters that compresses badly, so the body spans several records.
    std::string page;
    std::uint32_t seed = 7;
    for (int i = 0; i < 120000; ++i) {
        seed = seed * 1103515245u + 12345u;
        page += static_cast<char>('a' + (seed >> 16) % 26);
    }
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string gzip(deflateBound(&z, page.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(page.data());
    z.avail_in = static_cast<uInt>(page.size());
    z.next_out = reinterpret_cast<Bytef*>(gzip.data());
    z.avail_out = static_cast<uInt>(gzip.size());
    deflate(&z, Z_FINISH);
    gzip.resize(z.total_out);
    deflateEnd(&z);

    int originPort = 0;
    const int origin = ListenLoopback(originPort);
    ASSERT_GE(origin, 0);
    std::thread server(ServeOnce, origin,
                       "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n\r\n" + gzip);
    const int port = Start({"--headless", "--port", "0", "--decode"});
    ASSERT_GT(port, 0) << m_stderr.toStdString();

    QProcess curl;
    curl.start("curl", {"-s", "--compressed", "--max-time", "20", "-x",
                        QString("http://127.0.0.1:%1").arg(port),
                        QString("http://127.0.0.1:%1/page").arg(originPort)});
    ASSERT_TRUE(curl.waitForFinished(30000));
    server.join();
    ::close(origin);
    EXPECT_EQ(curl.readAllStandardOutput().toStdString(), page);

    // A body record's line shows the start of its decoded text: 100 letters.
    const QByteArray out = ReadLines(4);
    EXPECT_TRUE(QString::fromLatin1(out).contains(QRegularExpression(QStringLiteral("\\t[a-z]{100}\\n"))))
        << out.toStdString();
    ::kill(m_process.processId(), SIGTERM);
    EXPECT_EQ(Finish(), 0);
}
