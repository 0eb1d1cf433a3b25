#include "http/HttpHead.h"
#include "http/MessageFraming.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

TEST(RequestHeadFault, FieldLinesServersReadDifferentlyAreFaultsOddValidOnesAreNot)
{
    const std::string start = "POST / HTTP/1.1\r\n";
    const char* fault = nullptr;
    for (const std::string& fields : {"Host: a\r\n"s, "X!#$%&'*+-.^_`|~9: \t\x80\0 v \r\n"s,
                                      "X: a\nY: b\n"s, "A:\r\n"s, "\r\nX: a\rb\r\n"s,
                                      "Content-Length: 2, 2 \r\n"s, "Transfer-Encoding: x,\tchunked\r\n"s}) {
        EXPECT_EQ(RequestHeadFault(start + fields + "\r\n"), nullptr) << fields;
        // The relay reads the faults and the framing in one pass: the same framing.
        const CBodyFraming framing = ReadRequestHead(start + fields + "\r\n", fault);
        EXPECT_EQ(fault, nullptr);
        EXPECT_EQ(framing.kind, RequestFraming(start + fields + "\r\n").kind) << fields;
        EXPECT_EQ(framing.length, RequestFraming(start + fields + "\r\n").length) << fields;
    }
    // Faults frame no body: the relay refuses them as it refuses untrusted framing.
    for (const std::string& fields : {"X: a\rb\r\n"s, "X: a\r\r\n"s, "X: a\r\n b\r\n"s, "\tX: a\r\n"s,
                                      " X: a\r\n"s, "X\0Y: a\r\n"s, "X\x01: a\r\n"s, "X : a\r\n"s,
                                      "X\t: a\r\n"s, ": a\r\n"s, "Xa\r\n"s, "\x80: a\r\n"s, "X: a\r\n\r"s}) {
        EXPECT_EQ(RequestFraming(start + fields + "\r\n").kind, EBodyKind::Invalid) << fields;
        EXPECT_EQ(ReadRequestHead(start + fields + "\r\n", fault).kind, EBodyKind::Invalid) << fields;
        EXPECT_NE(fault, nullptr) << fields;
    }
    EXPECT_NE(RequestHeadFault("GET /\r HTTP/1.1\r\n\r\n"), nullptr);
    EXPECT_NE(RequestHeadFault("POST / HTTP/1.0\r\ntransfer-encoding: chunked\r\n\r\n"), nullptr);
}

TEST(ResponseFraming, MalformedLinesNeverChangeTheFramingSilently)
{
    const std::pair<std::string, EBodyKind> cases[] = {
        {"HTTP/1.1 200 OK\nX: a\n b\nX Y: z\nbad\nContent-Length: 3\n\n", EBodyKind::Length},
        {"HTTP/1.1 200 OK\r\nX: a\rb\r\nTransfer-Encoding: chunked\r\n\r\n", EBodyKind::Chunked},
        // Lenient with lines that say nothing of the framing; a framing field that readers
        // take differently is trusted by none.
        {"HTTP/1.1 200 OK\r\nX: a\rContent-Length: 0\r\nContent-Length: 3\r\n\r\n", EBodyKind::UntilClose},
        {"HTTP/1.1 200 OK\r\n Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", EBodyKind::UntilClose},
        {"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", EBodyKind::UntilClose},
        {"HTTP/1.1 200 OK\r\n\tA: 1\r\nC : 2\r\n:3\r\nB:\t\r\nContent-Length :1\r\n\r\n", EBodyKind::UntilClose},
    };
    const auto pairs = [](const std::vector<SHttpHead::SField>& fields) {
        std::vector<std::pair<std::string_view, std::string_view>> list;
        for (const SHttpHead::SField& field : fields)
            list.emplace_back(field.name, field.value);
        return list;
    };
    SResponseHead once;
    for (const auto& [head, kind] : cases) {
        const CBodyFraming framing = ResponseFraming(head, "GET");
        EXPECT_EQ(framing.kind, kind) << head;
        EXPECT_EQ(framing.untrusted, kind == EBodyKind::UntilClose) << head; // said on the Debug page
        // Read once for the relay and its trace: the same framing, the fields ParseHttpHead lists.
        ReadResponseHead(head, "GET", once);
        EXPECT_EQ(once.framing.kind, kind) << head;
        EXPECT_EQ(pairs(once.fields), pairs(ParseHttpHead(head).fields)) << head;
        SResponseHead framingOnly; // as the relay reads it when no record text is made
        ReadResponseHead(head, "GET", framingOnly, false);
        EXPECT_EQ(framingOnly.framing.kind, kind) << head;
        EXPECT_TRUE(framingOnly.fields.empty()) << head;
    }
}

TEST(ForEachHeadField, ListsWhatParseHttpHeadListsAndStopsWhereTheHeadEnds)
{
    for (const std::string_view head :
         {"HTTP/1.1 200 OK\r\nA: 1\r\n\r\nB: body", "GET / HTTP/1.1\nA:1\n\r\r\nB: 2\n\n",
          "\n\nA: 1\r\n\r\n", "X\r\nA: 1\r\nB:\t2 \r", "X\r\n\r\r\nA: 1\r\n\r\n",
          "X\r\n:no\r\nC : 3\r\nD\r\n\r\n", "X\r\nA: 1\r\n\r"}) {
        std::vector<SHttpHead::SField> seen;
        ForEachHeadField(head, [&seen](std::string_view name, std::string_view value) {
            seen.push_back({name, value});
        });
        const SHttpHead parsed = ParseHttpHead(head);
        ASSERT_EQ(seen.size(), parsed.fields.size()) << head;
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].name, parsed.fields[i].name) << head;
            EXPECT_EQ(seen[i].value, parsed.fields[i].value) << head;
        }
    }
}

TEST(RequestHeadFault, ABadByteIsFoundAtEveryPlaceOfANameOrValue)
{
    // Usual lines are read 16 bytes at a time: a byte no name may hold, or a bare CR in the value,
    // is a fault wherever it sits; an odd but valid name byte is none.
    const std::string start = "POST / HTTP/1.1\r\n";
    for (std::size_t size = 1; size <= 36; ++size) {
        for (std::size_t at = 0; at < size; ++at) {
            std::string name(size, 'N');
            name[at] = '_';
            EXPECT_EQ(RequestHeadFault(start + name + ": v\r\n\r\n"), nullptr) << name;
            for (const char bad : {'\x80', ' ', '\0', '\r', '@'}) {
                name[at] = bad;
                EXPECT_NE(RequestHeadFault(start + name + ": v\r\n\r\n"), nullptr) << size << " " << at;
            }
            std::string value(size, 'v');
            value[at] = '\r';
            EXPECT_NE(RequestHeadFault(start + "Name: " + value + "\r\n\r\n"), nullptr) << size << " " << at;
            // A field after such a line frames no body.
            const std::string head = "HTTP/1.1 200 OK\r\nName: " + value + "\r\nContent-Length: 5\r\n\r\n";
            EXPECT_EQ(ResponseFraming(head, "GET").kind, EBodyKind::Length) << size << " " << at;
        }
    }
}

TEST(ReadResponseHeadIn, EndsWhereHeaderEndOffsetEndsAndFramesAsTheHeadAlone)
{
    for (const std::string& bytes :
         {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcHTTP/1.1"s, "HTTP/1.1 200 OK\r\n\r\n\r\n"s,
          "HTTP/1.1 204 No\nX: a\r\r\n\r\nrest"s, "HTTP/1.1 200 OK\r\nX: a\n\r\nContent-Length: 9\r\n\r\n"s,
          "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r"s, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"s,
          "\n\nbody"s, "no status\r\nX: y\r\n\r\n"s, "HTTP/1.1 200 OK\r\nX: a\rContent-Length: 1\r\n\r\n"s,
          "HTTP/1.1 200\rX\r\n\r\n"s, "HTTP/1.0 404 Not Found\n\n"s, "HTTP/1.1 2000 OK\r\n\r\n"s}) {
        SResponseHead in;
        const std::size_t end = ReadResponseHeadIn(bytes, "GET", in);
        EXPECT_EQ(end, HeaderEndOffset(bytes)) << bytes;
        if (end == 0)
            continue;
        SResponseHead alone;
        ReadResponseHead(bytes.substr(0, end), "GET", alone);
        EXPECT_EQ(in.framing.kind, alone.framing.kind) << bytes;
        EXPECT_EQ(in.framing.length, alone.framing.length) << bytes;
        EXPECT_EQ(in.fields.size(), alone.fields.size()) << bytes;
        const std::string_view line = std::string_view(bytes).substr(0, bytes.find('\n')); // one CR cut:
        EXPECT_EQ(in.status, ParseStatusCode(line.substr(0, line.size() - line.ends_with('\r')))) << bytes;
        EXPECT_EQ(alone.status, in.status) << bytes;
    }
}

TEST(ResponseFraming, OneValueAloneReadsAsAListOfOneItem)
{
    const std::tuple<std::string, bool, int> cases[] = {{"1.0 200 OK\r\nConnection: Keep-Alive ", true, 1},
        {"1.0 200 OK\r\nConnection: keep-alives", false, 1}, {"1.1 200 OK\r\nConnection: closed", true, 1},
        {"1.1 200 OK\r\nConnection: CLOSE", false, 1}, {"1.1 200 OK\r\nContent-Length: 001", true, 1},
        {"1.1 200 OK\r\nContent-Length: 1, 4", false, 0}, {"1.1 200 OK\r\nContent-Length: 1234567890123456789", false, 0}};
    for (const auto& [fields, keepAlive, length] : cases) {
        SResponseHead read; // HTTP/1.0 keeps alive only when asked; length 0: not trusted
        ReadResponseHead("HTTP/" + fields + "\r\nContent-Length: 1\r\n\r\n", "GET", read);
        EXPECT_EQ(std::pair(read.framing.keepAlive, read.framing.kind == EBodyKind::Length ? int(read.framing.length) : 0),
                  std::pair(keepAlive, length)) << fields;
    }
}
