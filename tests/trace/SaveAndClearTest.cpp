#include "TraceFixture.h"

#include "platform/MessageBox.h"
#include "trace/EntryDisposer.h"
#include "trace/LogSaveJob.h"
#include "trace/LogSaver.h"

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace tracetest;
namespace fs = std::filesystem;

namespace {
const std::string kHeaderLine =
    "\"Type\"\t\"ID1\"\t\"ID2\"\t\"Time\"\t\"Bytes\"\t\"Response Time\"\t\"Data\"\r\n";

class SaveAndClearTest : public TraceTest {
protected:
    SaveAndClearTest()
    {
        std::string pattern = (fs::temp_directory_path() / "kestrune-log-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            m_dir = pattern;
        m_previous = SetMessageHandler([this](const std::string& text) { m_messages.push_back(text); });
    }

    ~SaveAndClearTest() override
    {
        SetMessageHandler(m_previous);
        std::error_code ignored;
        if (!m_dir.empty())
            fs::remove_all(m_dir, ignored);
    }

    bool Save(const std::string& name)
    {
        return SaveAndClear(m_store, name, [this] {
            ++m_clears;
            m_app.m_nBytesSent = 0;
            m_app.m_nBytesReceived = 0;
            m_store.PurgeClosedConnections();
        });
    }

    static std::string Read(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static int CountOf(const std::string& text, const std::string& part)
    {
        int count = 0;
        for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }

    // One finished exchange: a request and its first answer, then the connection closed.
    void CaptureClosedExchange()
    {
        CTraceConnection& entry = NewConnection();
        entry.AddChunk(kSent, kHeader, kRequest);
        entry.AddChunk(kReceived, kHeader, ResponseHeader("text/html") + "<html>");
        entry.DetachConnection();
    }

    fs::path m_dir;
    std::vector<std::string> m_messages;
    MessageHandler m_previous;
    int m_clears = 0;
};
} // namespace

TEST_F(SaveAndClearTest, NewFileGetsTheHeaderLineOnceAndRowsAreNotRepeated)
{
    ASSERT_FALSE(m_dir.empty());
    const fs::path log = m_dir / "trace.log";
    CaptureClosedExchange();
    CTraceConnection& open = NewConnection();
    open.AddChunk(kSent, kHeader, "GET http://open.test/ HTTP/1.0\r\n\r\n");
    EXPECT_GT(m_app.m_nBytesSent, 0);

    EXPECT_TRUE(Save("  \t" + log.string() + " \r\n"));
    EXPECT_EQ(m_messages, std::vector<std::string>{"Kestrune written and cleared."});
    EXPECT_EQ(m_clears, 1);
    EXPECT_EQ(m_app.m_nBytesSent, 0);
    ASSERT_EQ(m_store.GetConnections().size(), 1u);

    std::string text = Read(log);
    EXPECT_EQ(text.rfind(kHeaderLine, 0), 0u);
    EXPECT_EQ(CountOf(text, "\r\n"), 4);
    EXPECT_EQ(CountOf(text, "\"SEND\""), 2);
    EXPECT_EQ(CountOf(text, "\"RECIEVE\""), 1);

    // The open connection goes on: the next save appends only its new record.
    open.AddChunk(kReceived, kHeader, "HTTP/1.0 404 Not Found\r\n\r\n");
    EXPECT_TRUE(Save(log.string()));
    text = Read(log);
    EXPECT_EQ(CountOf(text, kHeaderLine), 1);
    EXPECT_EQ(CountOf(text, "\r\n"), 5);
    EXPECT_EQ(CountOf(text, "\"SEND\""), 2);
    EXPECT_NE(text.find("\"HTTP/1.0 404 Not Found\"\r\n"), std::string::npos);
}

TEST_F(SaveAndClearTest, ExistingFileGetsNoHeaderAndKeepsItsContent)
{
    ASSERT_FALSE(m_dir.empty());
    const fs::path log = m_dir / "empty.log";
    std::ofstream(log).close();
    EXPECT_TRUE(Save(log.string()));
    EXPECT_EQ(Read(log), "");

    std::ofstream(log, std::ios::binary) << "earlier\r\n";
    CaptureClosedExchange();
    EXPECT_TRUE(Save(log.string()));
    const std::string text = Read(log);
    EXPECT_EQ(text.rfind("earlier\r\n\"SEND\"", 0), 0u);
    EXPECT_EQ(CountOf(text, kHeaderLine), 0);
    EXPECT_TRUE(m_store.GetConnections().empty());
}

TEST_F(SaveAndClearTest, NothingCapturedStillWritesTheHeaderAndClears)
{
    ASSERT_FALSE(m_dir.empty());
    const fs::path log = m_dir / "nothing.log";
    EXPECT_TRUE(Save(log.string()));
    EXPECT_EQ(Read(log), kHeaderLine);
    EXPECT_EQ(m_clears, 1);
    EXPECT_EQ(m_messages, std::vector<std::string>{"Kestrune written and cleared."});
}

TEST_F(SaveAndClearTest, NamesThatCannotBeUsedClearNothing)
{
    ASSERT_FALSE(m_dir.empty());
    CaptureClosedExchange();

    EXPECT_FALSE(Save(" \t\r\n "));
    const std::string missing = (m_dir / "no-such-folder" / "trace.log").string();
    EXPECT_FALSE(Save(missing + "  "));
    EXPECT_FALSE(Save(m_dir.string()));
    const std::string withNul = (m_dir / "a").string() + std::string(1, '\0') + "b";
    EXPECT_FALSE(Save(withNul));

    EXPECT_EQ(m_messages, (std::vector<std::string>{
                              "Specify Log File Name",
                              "Could not open file: " + missing,
                              "Could not open file: " + m_dir.string(),
                              "Could not open file: " + withNul,
                          }));
    EXPECT_FALSE(fs::exists(m_dir / "a"));
    EXPECT_EQ(m_clears, 0);
    ASSERT_EQ(m_store.GetConnections().size(), 1u);
    EXPECT_FALSE(Record(*m_store.GetConnections()[0], 0).IsWritten());
}

TEST_F(SaveAndClearTest, FailedRowKeepsTheUnsavedRecordsAndReportsTheError)
{
    std::FILE* probe = std::fopen("/dev/full", "r");
    if (!probe)
        GTEST_SKIP() << "no /dev/full";
    std::fclose(probe);
    CaptureClosedExchange();

    EXPECT_FALSE(Save("/dev/full"));
    EXPECT_EQ(m_messages, std::vector<std::string>{"Error during log write command"});
    EXPECT_EQ(m_clears, 0);
    ASSERT_EQ(m_store.GetConnections().size(), 1u);
    EXPECT_FALSE(Record(*m_store.GetConnections()[0], 0).IsWritten());

    // They can still be saved elsewhere.
    ASSERT_FALSE(m_dir.empty());
    EXPECT_TRUE(Save((m_dir / "second.log").string()));
    EXPECT_EQ(CountOf(Read(m_dir / "second.log"), "\r\n"), 3);
    EXPECT_TRUE(m_store.GetConnections().empty());
}

TEST_F(SaveAndClearTest, HeaderLineThatCannotBeWrittenIsReported)
{
    // With a file size limit of 0 a new file can be created but not written to.
    ASSERT_FALSE(m_dir.empty());
    CaptureClosedExchange();
    const fs::path log = m_dir / "limited.log";
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit zero = saved;
    zero.rlim_cur = 0;
    void (*previousSignal)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &zero), 0);
    const bool result = Save(log.string());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousSignal);

    EXPECT_FALSE(result);
    EXPECT_EQ(m_messages, std::vector<std::string>{"Could not write log file: " + log.string()});
    EXPECT_EQ(m_clears, 0);
    EXPECT_FALSE(Record(*m_store.GetConnections().at(0), 0).IsWritten());
}

TEST_F(SaveAndClearTest, SaveCutShortByAFullDiskEndsAtAWholeRowAndTheRestIsWrittenOnce)
{
    ASSERT_FALSE(m_dir.empty());
    for (int i = 0; i < 40; ++i)
        CaptureClosedExchange();
    const fs::path log = m_dir / "limited.log";

    // The file may grow to a size that falls inside a row (rows are some 70 bytes).
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = kHeaderLine.size() + 1000 + 7;
    void (*previousSignal)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool cutShort = Save(log.string());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousSignal);

    EXPECT_FALSE(cutShort);
    const std::string partial = Read(log);
    ASSERT_GT(partial.size(), kHeaderLine.size());
    EXPECT_LT(partial.size(), limited.rlim_cur);
    EXPECT_EQ(partial.substr(partial.size() - 2), "\r\n");

    // The next save writes every row that did not land, exactly once, after the whole rows.
    ASSERT_TRUE(Save(log.string()));
    const std::string all = Read(log);
    EXPECT_EQ(all.compare(0, partial.size(), partial), 0);
    EXPECT_EQ(CountOf(all, "\r\n"), 81);
    EXPECT_EQ(CountOf(all, "\r\n\"SEND\"\t\""), 40);
    EXPECT_EQ(CountOf(all, "\r\n\"RECIEVE\"\t\""), 40);
    EXPECT_EQ(CountOf(all, "\"\t\"40\"\t\"2\""), 1);
}

TEST_F(SaveAndClearTest, SaveInSlicesWritesWhatOneGoWritesAndLeavesWhatCameDuringItToTheNext)
{
    ASSERT_FALSE(m_dir.empty());
    for (int i = 0; i < 100; ++i)
        CaptureClosedExchange();
    ASSERT_TRUE(Save((m_dir / "one.log").string()));
    const std::string oneGo = Read(m_dir / "one.log");

    // The same records again (the clock is faked), and two connections still open.
    m_app.m_nLastEntryId = 0;
    for (int i = 0; i < 100; ++i)
        CaptureClosedExchange();
    CTraceConnection& open = NewConnection();
    CTraceConnection& closing = NewConnection();
    open.AddChunk(kSent, kHeader, kRequest);
    closing.AddChunk(kSent, kHeader, kRequest);
    const fs::path log = m_dir / "sliced.log";
    CLogSaveJob job(m_store);
    ASSERT_TRUE(job.Begin(log.string()));
    int steps = 0;
    while (!job.Step(std::chrono::steady_clock::time_point::min())) {
        if (++steps == 1) { // meanwhile: answers, a connection that ends, a new exchange
            open.AddChunk(kReceived, kHeader, ResponseHeader("text/plain"));
            closing.AddChunk(kReceived, kHeader, ResponseHeader("text/plain"));
            closing.DetachConnection();
            CaptureClosedExchange();
        }
    }
    EXPECT_GE(steps, 3);
    ASSERT_TRUE(job.Succeeded());
    const std::string sliced = Read(log);
    EXPECT_EQ(sliced.substr(0, oneGo.size()), oneGo);
    const std::string rest = sliced.substr(oneGo.size()); // the requests of the two open ones
    EXPECT_EQ(CountOf(rest, "\r\n"), 2);
    EXPECT_EQ(CountOf(rest, "\"SEND\"\t\"10"), 2);

    // Only the entries the save emptied go; the ending one keeps its unsaved answer.
    CEntryDisposer disposer;
    disposer.Dispose(CLogSaveJob::TakeSavedClosedEntries(m_store));
    disposer.Wait();
    ASSERT_EQ(m_store.GetConnections().size(), 3u);
    EXPECT_EQ(m_store.GetConnections()[1].get(), &closing);
    ASSERT_TRUE(Save(log.string()));
    const std::string all = Read(log);
    EXPECT_EQ(CountOf(all, "\r\n"), 1 + 202 + 4);
    EXPECT_EQ(CountOf(all, "\"\t\"102\"\t\"2\""), 1);
    EXPECT_EQ(CountOf(all, "\"\t\"103\"\t\"1\""), 1);
}
