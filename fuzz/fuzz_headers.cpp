// Any byte buffer through the header functions and the request-line parser, checking what
// must hold whatever the bytes: the header end is found the same way by every function that
// looks for it, splitting removes exactly the lines it returns, tokens never hold a delimiter,
// the parsed fields always come from the tokens of the request line. The message framing:
// a body counted on bytes split at every position ends where it ends on the whole, and no
// request whose framing two servers could read differently is accepted.
#include "platform/HostText.h"
#include "http/HeaderFunctions.h"
#include "http/HttpHead.h"
#include "http/MessageFraming.h"
#include "http/RequestFields.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

#define CHECK(cond)                                                                          \
    do {                                                                                     \
        if (!(cond))                                                                         \
            Fail(#cond);                                                                     \
    } while (0)

bool IsCrOrLf(char c) { return c == '\r' || c == '\n'; }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualsNoCase(std::string_view a, std::string_view lower)
{
    if (a.size() != lower.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != lower[i])
            return false;
    }
    return true;
}

bool StartsWithNoCase(std::string_view a, std::string_view lower)
{
    return a.size() >= lower.size() && EqualsNoCase(a.substr(0, lower.size()), lower);
}

void CheckHeaderEnd(const std::string& buffer)
{
    const std::size_t end = HeaderEndOffset(buffer);
    CHECK(IsHeaderComplete(buffer) == (end > 0));
    if (end == 0)
        return;
    CHECK(end <= buffer.size());
    CHECK(buffer[end - 1] == '\n');
    // The end is the first one: the buffer cut just before it holds no complete header.
    CHECK(HeaderEndOffset(buffer.substr(0, end)) == end);
    CHECK(HeaderEndOffset(buffer.substr(0, end - 1)) == 0);
    // Between the two LFs that end it there are only CRs.
    std::size_t i = end - 1;
    while (i > 0 && buffer[i - 1] == '\r')
        --i;
    CHECK(i > 0 && buffer[i - 1] == '\n');
}

// The browser connection resumes the search where the last read ended; wherever the bytes were
// cut, the end found must be the one found in the whole buffer.
void CheckResumedSearch(const std::string& buffer, std::size_t step)
{
    const std::size_t whole = HeaderEndOffset(buffer);
    std::string arrived;
    std::size_t found = 0;
    for (std::size_t at = 0; at < buffer.size() && found == 0; at += step) {
        const std::size_t before = arrived.size();
        arrived.append(buffer, at, step);
        found = HeaderEndOffset(arrived, before);
        CHECK(found == HeaderEndOffset(arrived));
    }
    CHECK(found == whole);
}

void CheckSplit(const std::string& original)
{
    std::string buffer = original;
    std::vector<std::string> lines{"left over from an earlier call"};
    const bool found = SplitHeaderLines(buffer, lines);
    const std::string joined = JoinLines(lines);
    // The first line is the one the split cuts first.
    CHECK(FirstHeaderLineView(original) == (lines.empty() ? std::string() : lines.front()));

    std::size_t total = 0;
    for (const std::string& line : lines) {
        CHECK(!line.empty());
        total += line.size();
    }
    CHECK(joined.size() == total);

    if (!found) {
        CHECK(buffer == original);
        CHECK(original.compare(0, joined.size(), joined) == 0);
        for (const std::string& line : lines) {
            const std::string_view l(line);
            CHECK(l.ends_with("\r\n") || l.ends_with("\r\n\r"));
        }
        return;
    }

    // Exactly the joined lines went from the front; everything after them stayed.
    CHECK(joined + buffer == original);
    CHECK(!lines.empty());
    const std::string_view last(lines.back());
    CHECK(last.ends_with("\r\n\n") || last.ends_with("\r\n\r\n"));
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string_view l(lines[i]);
        CHECK(l.ends_with("\r\n") || l.ends_with("\r\n\r"));
    }
    // A CR LF [CR] LF end is also an end by the counting rule, never an earlier one.
    CHECK(IsHeaderComplete(original));
    CHECK(HeaderEndOffset(original) <= joined.size());

    // Splitting the header again finds the same lines and leaves nothing.
    std::string again = joined;
    std::vector<std::string> lines2;
    CHECK(SplitHeaderLines(again, lines2));
    CHECK(again.empty());
    CHECK(lines2 == lines);
}

void CheckTerminate(const std::string& original)
{
    std::string text = original;
    TerminateHeader(text);
    if (original.empty()) {
        CHECK(text.empty());
        return;
    }
    CHECK(text.size() >= 5);
    CHECK(std::string_view(text).ends_with("\r\n\r\n"));
    CHECK(text[0] == original[0]);
    const std::size_t kept = text.size() - 4;
    CHECK(kept <= original.size());
    CHECK(original.compare(0, kept, text, 0, kept) == 0);
    for (std::size_t i = kept; i < original.size(); ++i)
        CHECK(IsCrOrLf(original[i]));
    CHECK(kept == 1 || !IsCrOrLf(text[kept - 1]));

    std::string twice = text;
    TerminateHeader(twice);
    CHECK(twice == text);
}

void CheckTokenize(std::string_view text, std::string_view delimiters)
{
    std::vector<std::string> tokens{"stale"};
    const int count = Tokenize(text, delimiters, tokens);
    CHECK(count >= 0 && static_cast<std::size_t>(count) == tokens.size());

    std::string expected; // the text up to its first LF without the delimiters
    for (char c : text.substr(0, text.find('\n'))) {
        if (delimiters.find(c) == std::string_view::npos)
            expected.push_back(c);
    }
    std::string concatenated;
    for (const std::string& token : tokens) {
        CHECK(!token.empty());
        CHECK(token.find('\n') == std::string::npos);
        for (char c : token)
            CHECK(delimiters.find(c) == std::string_view::npos);
        concatenated += token;
    }
    CHECK(concatenated == expected);
}

// The C library's conversion, clamped to the int range, is the reference.
int ReferenceAtoi(std::string_view text)
{
    const std::string copy(text.substr(0, text.find('\0')));
    errno = 0;
    const long long value = std::strtoll(copy.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

void CheckAtoi(std::string_view text) { CHECK(AtoiText(text) == ReferenceAtoi(text)); }

void CheckParse(const std::string& line, bool debugTrace)
{
    CRequestFields fields;
    fields.m_strHost = "stale";
    fields.m_bConnect = 1;
    fields.ParseRequest(line);
    CHECK(fields.m_strRequestLine == line);

    if (debugTrace) {
        const std::string expected =
            "CProxy::Parse Request - 300 bytes\r\n" + line.substr(0, 200) + "\r\n";
        CHECK(CRequestFields::DebugLine(line) == expected);
    }

    std::vector<std::string> tokens;
    Tokenize(line, " \r\n", tokens);
    if (tokens.size() != 3) {
        CHECK(fields.m_bConnect == 0);
        CHECK(fields.m_strVerb.empty() && fields.m_strUrl.empty());
        CHECK(fields.m_strVersion.empty() && fields.m_strAuthority.empty());
        CHECK(fields.m_strPath.empty() && fields.m_strHost.empty() && fields.m_strPort.empty());
    } else {
        CHECK(fields.m_strVerb == tokens[0]);
        CHECK(fields.m_strVersion == tokens[2]);
        CHECK(fields.m_bConnect == (EqualsNoCase(tokens[0], "connect") ? 1 : 0));
        if (fields.m_bConnect) {
            CHECK(fields.m_strAuthority == tokens[1]);
            CHECK(fields.m_strPath.empty() && fields.m_strUrl.empty());
        } else {
            const std::string& url = tokens[1];
            if (StartsWithNoCase(url, "http://"))
                CHECK(fields.m_strUrl == url.substr(7));
            else if (StartsWithNoCase(url, "https://"))
                CHECK(fields.m_strUrl == url.substr(8));
            else
                CHECK(fields.m_strUrl.empty());
            // The authority ends at the first "/", "?" or "#"; only a "/" starts a path.
            const std::size_t end = fields.m_strUrl.find_first_of("/?#");
            if (end == std::string::npos || fields.m_strUrl[end] != '/') {
                CHECK(fields.m_strPath.empty() && fields.m_strAuthority.empty());
            } else {
                CHECK(fields.m_strAuthority == fields.m_strUrl.substr(0, end));
                CHECK(fields.m_strPath == fields.m_strUrl.substr(end));
            }
        }
    }

    // Host and port come from the authority alone (RFC 3986 section 3.2): only its own
    // characters, at most one "@" with the user info before it, then a bracketed IPv6 address
    // or a name or full IPv4 address (one trailing dot allowed and dropped), and a port of
    // digits only; else neither. Without a port, https:// means 443 and everything else 80.
    CHECK(fields.m_strHost.empty() == fields.m_strPort.empty());
    const bool https = tokens.size() == 3 && !fields.m_bConnect && StartsWithNoCase(tokens[1], "https://");
    const std::string defaultPort = https ? "443" : "80";
    const std::string authority(fields.m_strAuthority);
    const auto authorityChar = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0
               || std::string_view("-._~%!$&'()*+,;=:@[]").find(c) != std::string_view::npos;
    };
    const auto digits = [](std::string_view text) {
        return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    std::string expectedHost, expectedPort;
    const std::size_t at = authority.find('@');
    if (std::all_of(authority.begin(), authority.end(), authorityChar)
        && (at == std::string::npos || authority.find('@', at + 1) == std::string::npos)) {
        const std::string hostPort = authority.substr(at == std::string::npos ? 0 : at + 1);
        std::string_view afterBracket;
        const std::string_view literal = BracketedAddress(hostPort, afterBracket);
        std::string_view host = literal, port;
        bool shaped = true;
        if (!literal.empty()) {
            shaped = afterBracket.empty() || afterBracket.front() == ':';
            port = afterBracket.substr(afterBracket.empty() ? 0 : 1);
        } else {
            const std::size_t colon = hostPort.find(':');
            host = std::string_view(hostPort).substr(0, colon);
            port = colon == std::string::npos ? std::string_view()
                                              : std::string_view(hostPort).substr(colon + 1);
            if (host.size() > 1 && host.back() == '.' && host[host.size() - 2] != '.')
                host.remove_suffix(1);
            shaped = IsConnectableHost(host);
        }
        if (shaped && digits(port)) {
            expectedHost = std::string(host);
            expectedPort = port.empty() ? defaultPort : std::string(port);
        }
    }
    CHECK(fields.m_strHost == expectedHost);
    CHECK(fields.m_strPort == expectedPort);
    if (!fields.m_strHost.empty()) {
        CHECK(authority.find_first_of("/?#\\") == std::string::npos);
        CHECK(authority.find(fields.m_strHost) != std::string::npos);
        CheckAtoi(fields.m_strPort);
    }

    // A line parsed again, even from the object's own field, gives the same fields.
    CRequestFields again = fields;
    again.ParseRequest(again.m_strRequestLine);
    CHECK(again.m_strRequestLine == fields.m_strRequestLine);
    CHECK(again.m_bConnect == fields.m_bConnect && again.m_strVerb == fields.m_strVerb);
    CHECK(again.m_strUrl == fields.m_strUrl && again.m_strVersion == fields.m_strVersion);
    CHECK(again.m_strAuthority == fields.m_strAuthority && again.m_strPath == fields.m_strPath);
    CHECK(again.m_strPort == fields.m_strPort && again.m_strHost == fields.m_strHost);
}

// Where the body ends, counted on the bytes in pieces of 'step' (1: split at every byte).
struct CBodyEnd {
    std::size_t used = 0;
    bool done = false;
    bool failed = false;
};

CBodyEnd CountBody(const CBodyFraming& framing, bool lenient, bool hold, std::string_view bytes,
                   std::size_t step)
{
    CBodyFramer framer;
    framer.Start(framing, lenient, hold);
    CBodyEnd end;
    // Bytes arrive `step` at a time; what the framer holds back is fed again with the next.
    for (std::size_t arrived = 0;
         arrived < bytes.size() && !framer.IsDone() && !framer.HasFailed();) {
        arrived = std::min(bytes.size(), arrived + step);
        const std::string_view piece = bytes.substr(end.used, arrived - end.used);
        const std::size_t n = framer.Consume(piece);
        CHECK(n <= piece.size());
        end.used += n;
        if (framer.IsDone() || framer.HasFailed())
            break;
        // Short of the piece only at the body's end or a failure, or by a line held back,
        // which is never longer than a line may be.
        if (hold)
            CHECK(piece.size() - n <= CBodyFramer::kMaxLineBytes);
        else
            CHECK(n == piece.size());
    }
    end.done = framer.IsDone();
    end.failed = framer.HasFailed();
    if (end.done)
        CHECK(framer.Consume(bytes) == 0); // nothing more belongs to a finished body
    return end;
}

bool HasField(std::string_view header, std::string_view lowerName)
{
    std::string lower(header);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    return lower.find("\n" + std::string(lowerName) + ":") != std::string::npos;
}

void CheckFraming(const std::string& buffer, std::size_t step)
{
    const std::size_t end = HeaderEndOffset(buffer);
    if (end == 0)
        return;
    const std::string_view header = std::string_view(buffer).substr(0, end);
    const std::string_view body = std::string_view(buffer).substr(end);

    const CBodyFraming request = RequestFraming(header);
    // The relay's one pass says what the two readings say apart.
    const char* fault = nullptr;
    const CBodyFraming checked = ReadRequestHead(header, fault);
    CHECK((fault == nullptr) == (RequestHeadFault(header) == nullptr) && checked.kind == request.kind
          && checked.length == request.length);
    // A request carrying both a length and a transfer coding is never framed by either.
    if (HasField(header, "content-length") && HasField(header, "transfer-encoding"))
        CHECK(request.kind == EBodyKind::Invalid);
    CHECK(request.kind != EBodyKind::UntilClose && request.kind != EBodyKind::Tunnel);

    const CBodyFraming response = ResponseFraming(header, (step & 1) != 0 ? "HEAD" : "GET");
    CHECK(response.kind != EBodyKind::Invalid);
    // The head read once for the relay and its trace: the framing and fields read apart.
    SResponseHead once;
    ReadResponseHead(header, (step & 1) != 0 ? "HEAD" : "GET", once);
    CHECK(once.size == header.size() && once.framing.kind == response.kind
          && once.framing.length == response.length && once.framing.keepAlive == response.keepAlive
          && once.framing.untrusted == response.untrusted);
    SResponseHead framingOnly; // the fields left out change nothing of the framing
    ReadResponseHead(header, (step & 1) != 0 ? "HEAD" : "GET", framingOnly, false);
    CHECK(framingOnly.fields.empty() && framingOnly.framing.kind == once.framing.kind
          && framingOnly.framing.length == once.framing.length
          && framingOnly.framing.keepAlive == once.framing.keepAlive);
    const SHttpHead parsedHead = ParseHttpHead(header);
    CHECK(once.fields.size() == parsedHead.fields.size());
    for (std::size_t i = 0; i < once.fields.size(); ++i)
        CHECK(once.fields[i].name == parsedHead.fields[i].name
              && once.fields[i].value == parsedHead.fields[i].value);
    if (response.kind == EBodyKind::UntilClose)
        CHECK(!response.keepAlive);

    for (const CBodyFraming& framing : {request, response}) {
        for (const bool lenient : {false, true}) {
            CBodyEnd free;
            for (const bool hold : {false, true}) {
                const CBodyEnd whole = CountBody(framing, lenient, hold, body, body.size() + 1);
                const CBodyEnd bytes = CountBody(framing, lenient, hold, body, 1);
                const CBodyEnd pieces = CountBody(framing, lenient, hold, body, step);
                for (const CBodyEnd& split : {bytes, pieces})
                    CHECK(split.used == whole.used && split.done == whole.done
                          && split.failed == whole.failed);
                if (framing.kind == EBodyKind::Length)
                    CHECK(whole.done == (body.size() >= framing.length));
                if (!hold) {
                    free = whole;
                    continue;
                }
                // Held lines change where a body ends or fails never, only how much of a bad
                // or unfinished line is taken: none of it. What is taken is good on its own.
                CHECK(whole.done == free.done && whole.failed == free.failed);
                CHECK(whole.used <= free.used && (!whole.done || whole.used == free.used));
                if (framing.kind == EBodyKind::Invalid)
                    continue;
                CBodyFramer again;
                again.Start(framing, lenient);
                CHECK(again.Consume(body.substr(0, whole.used)) == whole.used
                      && !again.HasFailed());
            }
        }
    }

    // The one header-end rule: a parsed head ends where HeaderEndOffset says.
    const SHttpHead head = ParseHttpHead(buffer);
    CHECK(head.complete && head.size == end);
    // Field lines that servers read differently never frame a request: a bare CR in the head,
    // a line starting with whitespace, a name with a blank or a control byte before its colon.
    bool faulty = false;
    for (std::size_t at = header.find('\n') + 1; at < header.size();) {
        std::size_t eol = header.find('\n', at);
        std::string_view line = header.substr(at, eol - at);
        at = eol + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            break;
        const std::string_view name = line.substr(0, line.find(':'));
        faulty = faulty || line.find('\r') != std::string_view::npos || line.front() == ' '
                 || line.front() == '\t' || name.size() == line.size() || name.empty()
                 || std::any_of(name.begin(), name.end(), [](char c) {
                        return static_cast<unsigned char>(c) <= ' ' || c == 0x7f;
                    });
    }
    std::string_view requestLine = header.substr(0, header.find('\n'));
    if (!requestLine.empty() && requestLine.back() == '\r')
        requestLine.remove_suffix(1);
    faulty = faulty || requestLine.find('\r') != std::string_view::npos;
    CHECK(!faulty || (RequestHeadFault(header) != nullptr && request.kind == EBodyKind::Invalid));
    if (RequestHeadFault(header))
        CHECK(request.kind == EBodyKind::Invalid);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string buffer(reinterpret_cast<const char*>(data), size);
    // Parameters come from the bytes themselves, so that a plain captured request is a good
    // seed and every failure reproduces from its file alone.
    const unsigned first = size > 0 ? data[0] : 0;
    const unsigned last = size > 0 ? data[size - 1] : 0;

    CheckHeaderEnd(buffer);
    CheckResumedSearch(buffer, 1 + (first + last) % 97);
    if (size > 1)
        CheckResumedSearch(buffer, size / 2);
    CheckSplit(buffer);
    CheckTerminate(buffer);
    CheckFraming(buffer, 1 + (first ^ last) % 13);

    std::vector<std::string> lines;
    std::string rest = buffer;
    const bool found = SplitHeaderLines(rest, lines);
    CheckTerminate(JoinLines(lines));

    CheckTokenize(buffer, " \r\n");
    CheckTokenize(buffer, ":");
    CheckTokenize(buffer, "");
    CheckTokenize(buffer, std::string_view(buffer).substr(0, std::min<std::size_t>(size, 3)));

    CheckAtoi(buffer);
    std::vector<std::string> tokens;
    Tokenize(buffer, " \r\n:", tokens);
    for (const std::string& token : tokens)
        CheckAtoi(token);

    // The browser connection parses the first line of the header it split off.
    const std::string& line = found || !lines.empty() ? lines.front() : buffer;
    CheckParse(line, (last & 1) != 0);
    return 0;
}
