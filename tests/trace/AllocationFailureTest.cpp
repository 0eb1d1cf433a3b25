#include "TraceFixture.h"

#include "trace/OutOfMemory.h"

#include <cstdlib>
#include <new>
#include <string>

// The program-wide allocation functions of this test program, with a switch that makes the
// allocation n from now (counting from 0) fail once. Off, they behave as the standard ones.
namespace {
long g_allocationsBeforeFailure = -1;

void* Allocate(std::size_t size)
{
    if (g_allocationsBeforeFailure == 0) {
        g_allocationsBeforeFailure = -1; // one failure, then memory is back
        throw std::bad_alloc();
    }
    if (g_allocationsBeforeFailure > 0)
        --g_allocationsBeforeFailure;
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
} // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

using namespace tracetest;

namespace {
using AllocationFailureTest = TraceTest;

// Runs one AddChunk with the n-th allocation failing; false when it threw.
bool AddChunkFailingAt(CTraceConnection& entry, long n, ETraceDirection direction,
                       const std::string& chunk)
{
    g_allocationsBeforeFailure = n;
    bool ok = true;
    try {
        entry.AddChunk(direction, kHeader, chunk);
    } catch (...) {
        ok = false;
    }
    g_allocationsBeforeFailure = -1;
    return ok;
}
} // namespace

TEST_F(AllocationFailureTest, RecordIsKeptWithTheTextsMadeSoFar)
{
    const std::string body(300, 'b');
    const std::string chunk = ResponseHeader("text/html") + body;
    bool sawPartialRecord = false;
    bool completed = false;
    for (long n = 0; n < 200 && !completed; ++n) {
        m_store.ClearResponseText();
        CTraceConnection& entry = NewConnection();
        entry.AddChunk(kSent, kHeader, kRequest);
        const std::int64_t before = m_app.m_nBytesReceived;
        ASSERT_TRUE(AddChunkFailingAt(entry, n, kReceived, chunk)) << "allocation " << n;

        // The feed's count always matches what it holds.
        EXPECT_EQ(m_store.GetResponseCount(),
                  static_cast<std::int64_t>(m_store.TakeResponseText().size()));
        if (entry.GetRecords().size() < 2)
            continue; // the record itself could not be made or kept
        const CTraceRecord& record = Last(entry);
        EXPECT_EQ(record.GetByteCount(), static_cast<std::int32_t>(chunk.size()));
        EXPECT_EQ(m_app.m_nBytesReceived - before, static_cast<std::int64_t>(chunk.size()));
        EXPECT_EQ(Record(entry, 0).GetElapsed(), 0);
        if (record.GetText() != body || record.GetHeader().empty())
            sawPartialRecord = true;
        else if (m_store.TakeResponseText() == record.GetBanner() + record.GetFullText())
            completed = true;
    }
    EXPECT_TRUE(sawPartialRecord);
    EXPECT_TRUE(completed);
}

TEST_F(AllocationFailureTest, FeedsAndLogRowsFailQuietly)
{
    m_app.m_bDebugTrace = 1;
    const std::uint64_t losses = OutOfMemoryLosses();
    const std::string line(100, 'd');
    g_allocationsBeforeFailure = 0;
    m_store.AppendDebugText(line);
    g_allocationsBeforeFailure = -1;
    EXPECT_EQ(m_store.GetDebugCount(), 0);

    CTraceConnection& entry = NewConnection();
    entry.AddChunk(kSent, kHeader, kRequest);
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    g_allocationsBeforeFailure = 0;
    const int written = entry.WriteLog(file);
    g_allocationsBeforeFailure = -1;
    EXPECT_EQ(written, 0);
    EXPECT_FALSE(Record(entry, 0).IsWritten());
    EXPECT_EQ(entry.WriteLog(file), 1);
    std::fclose(file);
    EXPECT_EQ(OutOfMemoryLosses(), losses + 2) << "each loss is counted once";
}
