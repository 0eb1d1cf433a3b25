// A real proxy in this process, between a browser and a web server that the input plays:
// the input decides the request (behind a valid or invalid request line), how both sides cut
// their bytes, the server's answer, and who ends the connection first and how. Everything
// runs on loopback in the one thread of the Qt event loop. What the browser gets back must be
// the server's answer as the proxy passes it on (or one of the proxy's own replies), what the
// server gets must be the request as the proxy rewrites it (one request: bytes after its body,
// which would be a next request, are not sent; a request whose framing cannot be trusted gets
// the 400 and reaches no server), the trace must count exactly the
// bytes that went through, and every connection pair must be torn down.
//
// Input layout:
//   byte 0  bits 0-2  request line: 0 the input's own first line, 1 GET, 2 POST, 3 CONNECT,
//                     4 GET of an unresolvable host, 5 origin-form GET, 6 lower-case get,
//                     7 CONNECT to a port out of range
//           bit 3     through an upstream proxy (the same loopback server) instead of direct
//           bits 4-6  ending: 0 browser half-closes after its request, 1 browser stays open,
//                     2 server answers before it reads, 3 browser closes early, 4 browser
//                     resets early, 5 server resets in the middle of its answer
//   byte 1  the browser's write size (0: all at once)
//   byte 2  the server's write size (0: all at once)
//   byte 3  after how many writes the browser ends early (modes 3 and 4)
//   bytes 4-5  length of the request bytes (little-endian); they follow, the answer after them
#include "app/TraceApp.h"
#include "platform/MessageBox.h"
#include "http/HeaderFunctions.h"
#include "http/HttpHead.h"
#include "http/MessageFraming.h"
#include "proxy/Proxy.h"
#include "http/RequestFields.h"
#include "trace/Exchange.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what, int line)
{
    std::fprintf(stderr, "invariant broken (line %d): %s\n", line, what);
    std::abort();
}

#define CHECK(cond)                                                                          \
    do {                                                                                     \
        if (!(cond))                                                                         \
            Fail(#cond, __LINE__);                                                           \
    } while (0)

// A name the resolver refuses by itself (a label over 63 bytes), so no query leaves the host.
const std::string kUnresolvable = std::string(64, 'x') + ".invalid";
// No exchange of the input sizes used here takes longer; past it a pair is stuck.
constexpr int kHangMs = 5000;
constexpr int kIdleGiveUpMs = 300;

enum Ending { HalfClose, StayOpen, ServerFirst, BrowserCloses, BrowserResets, ServerResets };

QCoreApplication* g_qapp = nullptr;
CTraceApp* g_app = nullptr;
int g_proxyPort = 0;
// The loopback server listens on several ports and each exchange takes the next one: the
// server side closes first, and its TIME_WAIT connections are spread over the ports.
struct OriginListener {
    int fd;
    int port;
};
std::vector<OriginListener> g_originListeners;
int g_originListener = -1; // the one of this exchange
int g_originPort = 0;

void SetNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void Reset(int fd)
{
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

int ListenOnLoopback(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("origin listener");
        std::exit(1);
    }
    SetNonBlocking(fd);
    port = ntohs(address.sin_port);
    return fd;
}

// Each browser connection comes from its own loopback address: the proxy closes first and
// keeps the connection in TIME_WAIT, and at hundreds of exchanges a second from one address
// the ports would run out.
int ConnectToProxy()
{
    static std::uint32_t next = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::uint32_t n = next++;
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr =
            htonl((127u << 24) | ((n % 250 + 1) << 16) | (((n / 250) % 250 + 1) << 8) | 7u);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(g_proxyPort));

        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        CHECK(fd >= 0);
        // A loopback connect completes in the kernel, before the proxy accepts it.
        if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            SetNonBlocking(fd);
            return fd;
        }
        std::fprintf(stderr, "connect to the proxy: %s\n", std::strerror(errno));
        ::close(fd);
    }
    Fail("the browser reached the proxy", __LINE__);
}

// Connections the proxy opened for an earlier input and gave up: closed before they are seen.
void DropWaitingOriginConnections()
{
    for (const OriginListener& listener : g_originListeners) {
        for (int fd; (fd = ::accept(listener.fd, nullptr, nullptr)) >= 0;)
            ::close(fd);
    }
}

// The answer as the proxy passes it on: every response header's end normalised where the CR LF
// cut finds it, every byte once. firstEnd is where the first final response ends (npos when
// it does not end before the server closes).
std::string RelayedAnswer(const std::string& answer, const std::string& method,
                          std::size_t& firstEnd)
{
    firstEnd = std::string::npos;
    std::string out;
    std::size_t at = 0;
    while (at < answer.size()) {
        const std::string_view rest = std::string_view(answer).substr(at);
        const std::size_t end = HeaderEndOffset(rest);
        if (end == 0) {
            out += rest; // a header that never ends passes as it came
            break;
        }
        std::string header(rest.substr(0, end));
        if (HasCrLfHeaderEnd(header))
            TerminateHeader(header);
        out += header;
        at += end;
        const CBodyFraming framing =
            ResponseFraming(header, firstEnd == std::string::npos ? method : std::string());
        if (framing.kind == EBodyKind::Interim)
            continue;
        CBodyFramer body;
        body.Start(framing, true);
        const std::size_t n = body.Consume(std::string_view(answer).substr(at));
        if (framing.kind == EBodyKind::Tunnel || body.HasFailed() || !body.IsDone()) {
            out += answer.substr(at); // relayed until the server closes
            break;
        }
        out += answer.substr(at, n);
        at += n;
        if (firstEnd == std::string::npos)
            firstEnd = out.size();
    }
    return out;
}

// What must happen, worked out from the request alone with the functions the proxy uses.
struct Expectation {
    bool toOrigin = false;          // the proxy reaches the loopback server
    bool tunnel = false;            // the answer is passed through untouched
    // The browser gets at least this much of the reply (npos: all of it).
    std::size_t atLeast = std::string::npos;
    std::string forwarded;          // what the server must receive
    std::vector<std::string> replies; // what the browser may receive, whole
};

struct Exchange {
    int requestLine = 0;
    bool upstream = false;
    Ending ending = HalfClose;
    std::size_t browserWrite = 0;
    std::size_t serverWrite = 0;
    int browserWritesBeforeEnd = 0;
    std::string request;
    std::string answer;
};

std::string OriginAuthority() { return "127.0.0.1:" + std::to_string(g_originPort); }

std::string RequestLine(int choice)
{
    switch (choice) {
    case 1: return "GET http://" + OriginAuthority() + "/index.html?q=1 HTTP/1.1\r\n";
    case 2: return "POST http://" + OriginAuthority() + "/submit HTTP/1.0\r\n";
    case 3: return "CONNECT " + OriginAuthority() + " HTTP/1.1\r\n";
    case 4: return "GET http://" + kUnresolvable + "/ HTTP/1.1\r\n";
    case 5: return "GET /index.html HTTP/1.0\r\n";
    case 6: return "get HTTP://" + OriginAuthority() + "/lower HTTP/1.0\r\n";
    case 7: return "CONNECT 127.0.0.1:70000 HTTP/1.1\r\n";
    default: return std::string();
    }
}

// Where a direct request would connect, as long as that stays on this machine and reaches
// nothing but the loopback server: empty when it would go anywhere else.
bool SafeDirectTarget(const CRequestFields& fields, bool& toOrigin)
{
    const int port = AtoiText(fields.m_strPort);
    toOrigin = fields.m_strHost == "127.0.0.1" && port == g_originPort;
    if (toOrigin || fields.m_strHost.empty() || fields.m_strHost == kUnresolvable)
        return true;
    // Out of range: refused before any lookup or connect.
    return fields.m_strHost == "127.0.0.1" && (port < 0 || port > 65535);
}

bool Expect(Exchange& exchange, Expectation& expected)
{
    std::string& request = exchange.request;
    const std::size_t end = HeaderEndOffset(request);
    if (end == 0) {
        expected.replies = {std::string()}; // the browser's end tears the pair down: no reply
        return true;
    }
    std::string header = request.substr(0, end);
    std::string rest = request.substr(end);

    std::vector<std::string> lines;
    std::string cut = header;
    SplitHeaderLines(cut, lines);
    if (lines.empty()) {
        expected.replies = {CProxy::kBadHeaderReply};
        return true;
    }
    if (RequestHeadFault(header)) {
        expected.replies = {CProxy::kBadHeaderReply}; // field lines servers read differently
        return true;
    }
    CRequestFields fields;
    fields.ParseRequest(lines[0]);

    const std::string notFound = CProxy::kConnectErrorReply;
    const std::string established = CProxy::kTunnelReply;
    std::size_t firstEnd = std::string::npos;
    const std::string relayed = RelayedAnswer(exchange.answer, std::string(fields.m_strVerb), firstEnd);
    if (!fields.m_bConnect) {
        const CBodyFraming framing = RequestFraming(header);
        if (framing.kind == EBodyKind::Invalid) {
            expected.replies = {CProxy::kBadHeaderReply};
            return true;
        }
        // One request: its body as framed, cut before a bad or unfinished chunk line.
        CBodyFramer body;
        body.Start(framing, false, true);
        rest.resize(body.Consume(rest));
        request = request.substr(0, end) + rest;
        // A browser that half-closes ends the pair once the first answer is out.
        if (exchange.ending != StayOpen && firstEnd != std::string::npos)
            expected.atLeast = firstEnd;
    }
    if (exchange.upstream) {
        TerminateHeader(header);
        expected.toOrigin = true;
        expected.tunnel = fields.m_bConnect != 0;
        expected.forwarded = header + rest;
        expected.replies = {expected.tunnel ? exchange.answer : relayed};
        return true;
    }

    bool toOrigin = false;
    if (!SafeDirectTarget(fields, toOrigin))
        return false;
    expected.toOrigin = toOrigin;
    if (fields.m_bConnect) {
        expected.tunnel = true;
        expected.forwarded = rest;
        expected.replies = {toOrigin ? established + exchange.answer : established + notFound};
        return true;
    }
    header.replace(0, header.find('\n') + 1,
                   std::string(fields.m_strVerb) + " " + std::string(fields.m_strPath) + " "
                       + std::string(fields.m_strVersion) + "\r\n");
    TerminateHeader(header);
    expected.forwarded = header + rest;
    expected.replies = {toOrigin ? relayed : notFound};
    if (!toOrigin)
        expected.atLeast = std::string::npos;
    return true;
}

bool IsPrefixOfAny(const std::string& got, const std::vector<std::string>& replies)
{
    for (const std::string& reply : replies) {
        if (reply.compare(0, got.size(), got) == 0 && got.size() <= reply.size())
            return true;
    }
    return false;
}

bool EqualsAny(const std::string& got, const std::vector<std::string>& replies)
{
    return std::find(replies.begin(), replies.end(), got) != replies.end();
}

// Reads what is there; false once the peer has ended (or failed).
bool ReadAvailable(int fd, std::string& into, bool& progressed)
{
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            progressed = true;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        progressed = true;
        return false;
    }
}

// Writes the next piece of 'bytes' from 'at'; false when the peer is gone.
bool WritePiece(int fd, const std::string& bytes, std::size_t& at, std::size_t piece,
                bool& progressed)
{
    if (at >= bytes.size())
        return true;
    const std::size_t want = piece == 0 ? bytes.size() - at : std::min(piece, bytes.size() - at);
    const ssize_t n = ::send(fd, bytes.data() + at, want, MSG_NOSIGNAL);
    if (n > 0) {
        at += static_cast<std::size_t>(n);
        progressed = true;
        return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

void RunExchange(const Exchange& exchange, const Expectation& expected)
{
    DropWaitingOriginConnections();
    g_app->ClearAllData();

    int browser = ConnectToProxy();
    std::size_t browserSent = 0;
    int browserWrites = 0;
    bool browserWriteDone = false;
    bool browserEnded = false;   // it closed or reset its socket early
    bool browserReadDone = false;
    std::string browserGot;

    int origin = -1;
    bool originSeen = false;
    bool originReadDone = false;
    bool originClosed = false;
    std::size_t originSent = 0;
    std::string originGot;

    const bool completeHeader = HeaderEndOffset(exchange.request) != 0;
    Ending ending = exchange.ending;
    if (ending == StayOpen && !completeHeader)
        ending = HalfClose; // an unfinished header is rightly waited for as long as it stays open

    QElapsedTimer clock;
    clock.start();
    qint64 lastProgress = 0;
    bool browserShut = false;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        bool progressed = false;

        // The browser: its request piece by piece, then its end; and whatever comes back.
        if (browser >= 0) {
            if (!browserWriteDone) {
                const bool early = (ending == BrowserCloses || ending == BrowserResets) &&
                                   browserWrites >= exchange.browserWritesBeforeEnd;
                if (early) {
                    if (ending == BrowserResets)
                        Reset(browser);
                    else
                        ::close(browser);
                    browser = -1;
                    browserEnded = browserWriteDone = browserReadDone = true;
                    progressed = true;
                } else {
                    const std::size_t before = browserSent;
                    if (!WritePiece(browser, exchange.request, browserSent, exchange.browserWrite,
                                    progressed))
                        browserWriteDone = true;
                    browserWrites += browserSent != before ? 1 : 0;
                    if (browserSent >= exchange.request.size()) {
                        browserWriteDone = true;
                        if (ending != StayOpen)
                            ::shutdown(browser, SHUT_WR);
                    }
                }
            }
            if (browser >= 0 && !browserReadDone &&
                !ReadAvailable(browser, browserGot, progressed))
                browserReadDone = true;
        }

        // The server: accept, read the request, answer, close.
        if (!originSeen) {
            origin = ::accept(g_originListener, nullptr, nullptr);
            if (origin >= 0) {
                SetNonBlocking(origin);
                originSeen = progressed = true;
            }
        }
        if (origin >= 0) {
            if (!originReadDone && !ReadAvailable(origin, originGot, progressed))
                originReadDone = true;
            // It answers once it has the whole request (or the proxy has ended its side);
            // in ServerFirst it does not wait.
            const bool haveRequest = originReadDone || originGot.size() >= expected.forwarded.size();
            if (haveRequest || ending == ServerFirst) {
                const std::size_t stopAt = ending == ServerResets ? exchange.answer.size() / 2
                                                                  : exchange.answer.size();
                std::size_t stop = originSent;
                if (originSent < stopAt) {
                    std::string head = exchange.answer.substr(0, stopAt);
                    if (!WritePiece(origin, head, stop, exchange.serverWrite, progressed))
                        originSent = stopAt;
                    else
                        originSent = stop;
                }
                if (originSent >= stopAt && haveRequest) {
                    if (ending == ServerResets)
                        Reset(origin);
                    else
                        ::close(origin);
                    origin = -1;
                    originClosed = progressed = true;
                }
            }
        }

        // A browser that stays open gives up an idle connection once its origin is gone, as a
        // real one would: the proxy may rightly keep a pair whose server it dropped for sending
        // what no request asked for.
        if (progressed)
            lastProgress = clock.elapsed();
        if (ending == StayOpen && browser >= 0 && browserWriteDone && originClosed && !browserShut
            && clock.elapsed() - lastProgress > kIdleGiveUpMs) {
            ::shutdown(browser, SHUT_WR);
            browserShut = true;
        }

        const bool browserFinished = browserReadDone || browser < 0;
        const bool originFinished = !expected.toOrigin || originClosed ||
                                    (browserEnded && !originSeen);
        // Released pairs are freed by the next exchange's accept: waiting for their timer would
        // slow every run down to its delay.
        if (browserFinished && originFinished && g_app->Connections().OpenCount() == 0)
            break;
        if (clock.elapsed() > kHangMs) {
            std::fprintf(stderr, "stuck: browser sent %zu/%zu got %zu, server seen %d got %zu/%zu "
                                 "sent %zu, pairs alive %zu\n",
                         browserSent, exchange.request.size(), browserGot.size(), originSeen,
                         originGot.size(), expected.forwarded.size(), originSent,
                         g_app->Connections().LiveCount());
            Fail("the exchange ended within its bound", __LINE__);
        }
        if (!progressed) {
            pollfd fds[3];
            nfds_t count = 0;
            for (int fd : {browser, origin, originSeen ? -1 : g_originListener}) {
                if (fd >= 0)
                    fds[count++] = {fd, POLLIN, 0};
            }
            ::poll(fds, count, 1);
        }
    }
    if (browser >= 0)
        ::close(browser);
    if (origin >= 0)
        ::close(origin);

    // A browser that ended early reads nothing more; a server reset can cut the answer short.
    // Origin bytes where no response may begin are never relayed: the browser then has a part
    // of what the origin sent, never anything else.
    bool dropped = false;
    for (const auto& e : g_app->m_pTraceStore->GetExchanges())
        dropped = dropped || e->m_nUnexpectedBytes > 0;
    const bool whole = ending != BrowserCloses && ending != BrowserResets && ending != ServerResets;
    const bool answered = !whole || dropped ? IsPrefixOfAny(browserGot, expected.replies)
        : expected.atLeast == std::string::npos
            ? EqualsAny(browserGot, expected.replies)
            : IsPrefixOfAny(browserGot, expected.replies) && browserGot.size() >= expected.atLeast;
    if (!answered) {
        std::fprintf(stderr, "browser got %zu bytes:\n%.*s\n", browserGot.size(),
                     static_cast<int>(std::min<std::size_t>(browserGot.size(), 2000)),
                     browserGot.data());
        Fail("the browser got the answer", __LINE__);
    }
    if (whole) {
        if (expected.toOrigin)
            CHECK(originGot == expected.forwarded);
    } else {
        CHECK(expected.forwarded.compare(0, originGot.size(), originGot) == 0);
    }
    if (!expected.toOrigin)
        CHECK(!originSeen);

    // The trace counts the bytes that went through, direction by direction.
    std::int64_t sent = 0;
    std::int64_t received = 0;
    for (const auto& entry : g_app->m_pTraceStore->GetConnections()) {
        CHECK(!entry->IsOpen());
        for (const auto& record : entry->GetRecords()) {
            const bool up = record->GetDirection() == ETraceDirection::Sent;
            (up ? sent : received) += record->GetByteCount();
        }
    }
    CHECK(sent == g_app->m_nBytesSent && received == g_app->m_nBytesReceived);
    if (whole && expected.toOrigin) {
        CHECK(sent == static_cast<std::int64_t>(expected.forwarded.size()));
        const std::size_t own = expected.tunnel && !exchange.upstream
                                    ? std::string_view(CProxy::kTunnelReply).size()
                                    : 0;
        // What came after the first answer may be recorded and then dropped at the tear-down.
        CHECK(received >= static_cast<std::int64_t>(browserGot.size() - own));
    }
    g_app->ClearAllData();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    // The settings go to a folder of this run's own, removed when the run ends.
    static char folder[] = "/tmp/kestrune-fuzz-XXXXXX";
    if (!::mkdtemp(folder)) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    ::setenv("XDG_CONFIG_HOME", folder, 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    g_qapp = new QCoreApplication(*argc, *argv);
    SetMessageHandler([](const std::string& text) {
        std::fprintf(stderr, "message box: %s\n", text.c_str());
    });

    g_app = new CTraceApp();
    CHECK(g_app->InitCore());
    g_app->m_strPort = "0";
    CHECK(g_app->StartListening());
    g_proxyPort = g_app->GetListenPort();
    CHECK(g_proxyPort > 0);
    for (int i = 0; i < 16; ++i) {
        OriginListener listener{};
        listener.fd = ListenOnLoopback(listener.port);
        g_originListeners.push_back(listener);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 6)
        return 0;
    static std::size_t exchanges = 0;
    const OriginListener& origin = g_originListeners[exchanges++ % g_originListeners.size()];
    g_originListener = origin.fd;
    g_originPort = origin.port;

    Exchange exchange;
    exchange.requestLine = data[0] & 7;
    exchange.upstream = (data[0] & 8) != 0;
    const int ending = (data[0] >> 4) & 7;
    exchange.ending = static_cast<Ending>(ending > ServerResets ? ending - 6 : ending);
    exchange.browserWrite = data[1];
    exchange.serverWrite = data[2];
    exchange.browserWritesBeforeEnd = data[3] % 8;
    const std::size_t length = std::min<std::size_t>(data[4] | (data[5] << 8), size - 6);
    const char* bytes = reinterpret_cast<const char*>(data + 6);
    exchange.request = RequestLine(exchange.requestLine) + std::string(bytes, length);
    exchange.answer.assign(bytes + length, size - 6 - length);

    if (exchange.upstream)
        g_app->ApplySettings("localhost", "0", "127.0.0.1", std::to_string(g_originPort));
    else
        g_app->ApplySettings("localhost", "0", "", "");

    Expectation expected;
    if (!Expect(exchange, expected)) {
        // The input's own request line names another host: it would leave this machine.
        exchange.request = RequestLine(1) + exchange.request;
        expected = Expectation();
        CHECK(Expect(exchange, expected));
    }
    if (exchange.ending == ServerResets && expected.toOrigin) {
        // A server that resets at once can look to the proxy like a connect that failed.
        const bool ownTunnelReply = expected.tunnel && !exchange.upstream;
        expected.replies.push_back(
            (ownTunnelReply ? std::string(CProxy::kTunnelReply) : std::string()) +
            CProxy::kConnectErrorReply);
    }
    RunExchange(exchange, expected);
    return 0;
}
