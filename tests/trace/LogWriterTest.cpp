#include "TraceFixture.h"

#include <cstdio>
#include <string>

using namespace tracetest;

namespace {
class LogWriterTest : public TraceTest {
protected:
    LogWriterTest() : m_file(std::tmpfile()) {}
    ~LogWriterTest() override
    {
        if (m_file)
            std::fclose(m_file);
    }

    std::string Contents()
    {
        std::string text;
        std::rewind(m_file);
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0)
            text.append(buffer, n);
        return text;
    }

    std::FILE* m_file;
};

std::string Row(const char* type, int id1, int id2, int bytes, const char* responseTime,
                const std::string& data)
{
    return std::string("\"") + type + "\"\t\"" + std::to_string(id1) + "\"\t\"" +
           std::to_string(id2) + "\"\t\"14:03:22\"\t\"" + std::to_string(bytes) + "\"\t\"" +
           responseTime + "\"\t\"" + data + "\"\r\n";
}
} // namespace

TEST_F(LogWriterTest, RequestAndThreeResponseChunksGiveFourRows)
{
    ASSERT_NE(m_file, nullptr);
    CTraceConnection& entry = NewConnection();
    const std::string header = ResponseHeader("text/html");
    AddAt(entry, 1000, kSent, kHeader, kRequest);
    AddAt(entry, 1020, kReceived, kHeader, header + "<html>");
    AddAt(entry, 1045, kReceived, kBody, std::string(700, 'b'));
    AddAt(entry, 2045, kReceived, kBody, std::string(5, 'c'));

    EXPECT_EQ(m_store.WriteLog(m_file), 1);
    const int n = static_cast<int>(kRequest.size());
    const int h = static_cast<int>(header.size()) + 6;
    EXPECT_EQ(Contents(), Row("SEND", 1, 1, n, "1.045", "GET /index.html HTTP/1.0") +
                              Row("RECIEVE", 1, 2, h, "0.020", kStatusLine) +
                              Row("RECIEVE", 1, 3, 700, "0.025", "700 bytes") +
                              Row("RECIEVE", 1, 4, 5, "1.000", "5 bytes"));
    for (const auto& record : entry.GetRecords())
        EXPECT_TRUE(record->IsWritten());

    // Written rows are never written again; only the new record follows.
    EXPECT_EQ(m_store.WriteLog(m_file), 1);
    AddAt(entry, 3000, kSent, kHeader, "GET /\"quoted\" HTTP/1.0\r\n\r\n");
    EXPECT_EQ(entry.WriteLog(m_file), 1);
    const std::string all = Contents();
    EXPECT_EQ(all.substr(all.rfind("\"SEND\"")),
              Row("SEND", 1, 5, 26, "0.955", "GET / quoted  HTTP/1.0"));
}

TEST_F(LogWriterTest, DataColumnDependsOnTheRecordBeforeEvenWhenWritten)
{
    ASSERT_NE(m_file, nullptr);
    CTraceConnection& entry = NewConnection();
    entry.AddChunk(kReceived, kHeader, ResponseHeader("text/html")); // no request before it
    EXPECT_EQ(entry.WriteLog(m_file), 1);
    entry.AddChunk(kSent, kHeader, kRequest);
    EXPECT_EQ(entry.WriteLog(m_file), 1);
    entry.AddChunk(kReceived, kBody, ResponseHeader("text/plain") + "x");
    EXPECT_EQ(entry.WriteLog(m_file), 1);

    const std::string all = Contents();
    EXPECT_NE(all.find("\"1\"\t\"1\"\t\"14:03:22\"\t\"" +
                       std::to_string(ResponseHeader("text/html").size()) + "\"\t\"0.000\"\t\"" +
                       std::to_string(ResponseHeader("text/html").size()) + " bytes\"\r\n"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("\"" + kStatusLine + "\"\r\n"), std::string::npos) << all;
}

TEST_F(LogWriterTest, WireTextIsNeverAFormat)
{
    ASSERT_NE(m_file, nullptr);
    CTraceConnection& entry = NewConnection();
    entry.AddChunk(kSent, kHeader, "GET /%s%n%d HTTP/1.0\r\n\r\n");
    EXPECT_EQ(m_store.WriteLog(m_file), 1);
    EXPECT_NE(Contents().find("\"GET /%s%n%d HTTP/1.0\""), std::string::npos);
}

TEST_F(LogWriterTest, RowTheStreamRefusesLeavesItsRecordUnwritten)
{
    std::FILE* full = std::fopen("/dev/full", "a");
    if (!full)
        GTEST_SKIP() << "no /dev/full";
    CTraceConnection& entry = NewConnection();
    entry.AddChunk(kSent, kHeader, kRequest);
    CTraceConnection& other = NewConnection();
    other.AddChunk(kSent, kHeader, kRequest);

    EXPECT_EQ(m_store.WriteLog(full), 0);
    EXPECT_FALSE(Record(entry, 0).IsWritten());
    EXPECT_FALSE(Record(other, 0).IsWritten());
    EXPECT_EQ(entry.GetRecords()[0]->WriteLogRow(nullptr, 1), 0);
    std::fclose(full);

    // The same records are written later, when a stream takes them.
    ASSERT_NE(m_file, nullptr);
    EXPECT_EQ(m_store.WriteLog(m_file), 1);
    EXPECT_TRUE(Record(entry, 0).IsWritten());
    EXPECT_TRUE(Record(other, 0).IsWritten());
}

TEST_F(LogWriterTest, DroppingWrittenRecordsKeepsTheLogExactlyAsWithoutDropping)
{
    // The same exchanges saved in steps, once keeping everything and once dropping what was
    // written (and the texts only viewers read): the two logs are the same.
    std::string logs[2];
    for (int drop = 0; drop < 2; ++drop) {
        m_store.SetKeepRecordTexts(drop == 0);
        m_app.m_nLastEntryId = 0;
        CTraceConnection& entry = NewConnection();
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        for (int round = 0; round < 4; ++round) {
            entry.AddChunk(kSent, kHeader, kRequest);
            entry.AddChunk(kReceived, kHeader, ResponseHeader("text/plain") + std::string(300, 'a' + round));
            entry.AddChunk(kReceived, kBody, std::string(500, 'b'));
            if (round == 1)
                entry.AddChunk(kReceived, kBody, "tail"); // a save lands between the chunks of an answer
            ASSERT_EQ(m_store.WriteLog(file), 1);
            if (drop)
                m_store.DropWrittenRecords();
        }
        EXPECT_LE(entry.GetRecords().size(), drop ? 3u : 13u);
        std::rewind(file);
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            logs[drop].append(buffer, n);
        std::fclose(file);
        m_store.PurgeClosedConnections();
        entry.DetachConnection();
        m_store.PurgeClosedConnections();
    }
    EXPECT_EQ(logs[1], logs[0]);
    EXPECT_NE(logs[0].find("\"HTTP/1.0 200 OK\""), std::string::npos);
}
