#include "http/HttpHead.h"
#include "http/MessageFraming.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

TEST(RequestHeadFault, FieldLinesServersReadDifferentlyAreFaultsOddValidOnesAreNot)
{
    const std::string start = "GET / HTTP/1.1\r\n";
    struct SCase {
        std::string fields;
        bool fault;
    } cases[] = {
        {"Host: a\r\n", false},
        {"X!#$%&'*+-.^_`|~9: \t\x80\0 v \r\n"s, false}, // a token name; the value is not checked
        {"X: a\nY: b\n", false},                         // bare LF line ends
        {"A:\r\n", false},
        {"X: a\rb\r\n", true},
        {"X: a\r\r\n", true},
        {"X: a\r\n b\r\n", true},    // obs-fold
        {"\tX: a\r\n", true},        // whitespace before the first field
        {" X: a\r\n", true},
        {"X\0Y: a\r\n"s, true},
        {"X\x01: a\r\n", true},
        {"X : a\r\n", true},
        {"X\t: a\r\n", true},
        {": a\r\n", true},
        {"Xa\r\n", true},
        {"\x80: a\r\n", true},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.fields);
        EXPECT_EQ(RequestHeadFault(start + c.fields + "\r\n") != nullptr, c.fault);
        EXPECT_EQ(RequestFraming(start + c.fields + "\r\n").kind == EBodyKind::Invalid, c.fault);
    }
    // Only the head counts; the header end itself may hold no bare CR.
    EXPECT_EQ(RequestHeadFault(start + "\r\nX: a\rb\r\n"), nullptr);
    EXPECT_NE(RequestHeadFault(start + "X: a\r\n\r\r\n"), nullptr);
    EXPECT_NE(RequestHeadFault("GET /\r HTTP/1.1\r\n\r\n"), nullptr);
    // A transfer coding is for HTTP/1.1 only.
    EXPECT_NE(RequestHeadFault("POST / HTTP/1.0\r\ntransfer-encoding: chunked\r\n\r\n"), nullptr);
    EXPECT_EQ(RequestHeadFault("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"), nullptr);
}

TEST(ResponseFraming, MalformedLinesNeverChangeTheFramingSilently)
{
    struct SCase {
        std::string head;
        EBodyKind kind;
    } cases[] = {
        // Lenient with lines that say nothing of the framing.
        {"HTTP/1.1 200 OK\nX: a\n b\nX Y: z\nbad\nContent-Length: 3\n\n", EBodyKind::Length},
        {"HTTP/1.1 200 OK\r\nX: a\rb\r\nTransfer-Encoding: chunked\r\n\r\n", EBodyKind::Chunked},
        // A framing field where readers differ is trusted by none: read until the close.
        {"HTTP/1.1 200 OK\r\nX: a\rContent-Length: 0\r\nContent-Length: 3\r\n\r\n", EBodyKind::UntilClose},
        {"HTTP/1.1 200 OK\r\nContent-Length : 0\r\n\r\n", EBodyKind::UntilClose},
        {"HTTP/1.1 200 OK\r\n Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", EBodyKind::UntilClose},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n 4\r\n\r\n", EBodyKind::UntilClose},
        {"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", EBodyKind::UntilClose},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.head);
        const CBodyFraming framing = ResponseFraming(c.head, "GET");
        EXPECT_EQ(framing.kind, c.kind);
        EXPECT_EQ(framing.untrusted, c.kind == EBodyKind::UntilClose); // said on the Debug page
        EXPECT_EQ(framing.keepAlive, c.kind != EBodyKind::UntilClose);
    }
}

// Chunk lines fed in pieces: with holdLines nothing of a line is taken until it has ended.
TEST(BodyFramer, HeldChunkLinesAreTakenOnlyWhole)
{
    struct SCase {
        std::string bytes;
        std::size_t taken;
        bool done, failed;
        std::string tail; // ends the body when the held line is fed again
    } cases[] = {
        {"5\r\nhello\r\n0\r\n\r\n", 15, true, false, ""},
        {"5\r\nhello\r\n1000", 10, false, false, "\r\n" + std::string(0x1000, 'd') + "\r\n0\r\n\r\n"},
        {"5\r\nhello\r\n1000000000000000", 10, false, true, ""}, // 16 digits
        {"5\r\nhel", 6, false, false, "lo\r\n0\r\n\r\n"},
        {"5\r\nhello\r", 8, false, false, "\n0\r\n\r\n"},
        {"5\r\nhello\rx", 8, false, true, ""},
        {"5;a=b\r\nhello\r\n0\r\nT: 1", 17, false, false, "\r\n\r\n"},
        {"0\r\nT: 1\r\n\r", 9, false, false, "\n"},
        {"5\n", 0, false, true, ""}, // no bare LF from a browser
        {"5;" + std::string(CBodyFramer::kMaxLineBytes, 'e'), 0, false, true, ""},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 40));
        CBodyFramer framer;
        framer.Start(CBodyFraming{EBodyKind::Chunked, 0, true}, false, true);
        EXPECT_EQ(framer.Consume(c.bytes), c.taken);
        EXPECT_EQ(framer.IsDone(), c.done);
        EXPECT_EQ(framer.HasFailed(), c.failed);
        if (c.failed || c.done)
            continue;
        // What was held is read again with the rest behind it; the body then ends whole.
        const std::string rest = c.bytes.substr(c.taken) + c.tail;
        EXPECT_EQ(framer.Consume(rest), rest.size());
        EXPECT_TRUE(framer.IsDone());
    }
}

TEST(BodyFramer, ContentIsTheChunksDataAcrossAnyCut)
{
    const std::string body = "5;x=1\r\nhello\r\n3\r\n, w\r\n0\r\nT: 1\r\n\r\nNEXT";
    for (std::size_t cut = 0; cut <= body.size(); ++cut) {
        CBodyFramer framer;
        framer.Start(CBodyFraming{EBodyKind::Chunked, 0, true}, true);
        std::string content;
        const std::size_t n = framer.Consume(std::string_view(body).substr(0, cut), &content)
                              + framer.Consume(std::string_view(body).substr(cut), &content);
        EXPECT_EQ(content, "hello, w") << cut;
        EXPECT_EQ(n, body.size() - 4) << cut;
        EXPECT_TRUE(framer.IsDone());
    }
}
