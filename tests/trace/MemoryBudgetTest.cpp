#include "trace/MemoryBudget.h"
#include "TraceFixture.h"
#include "trace/Exchange.h"

#include <memory>
#include <string>
#include <vector>

using namespace tracetest;

namespace {

class MemoryBudgetTest : public TraceTest {
protected:
    // One request with a body and its answer on a connection of its own, as the relay makes
    // them: the exchange's bodies and the records' texts hold about 2 x 6 KB.
    void Capture(int n)
    {
        auto exchange = m_store.AddExchange();
        const std::string body(3000, static_cast<char>('a' + n % 26));
        exchange->m_strRequestHead = "POST /form/" + std::to_string(n) + " HTTP/1.1\r\n\r\n";
        exchange->m_RequestBody = {body, body.size()};
        exchange->m_ResponseBody = {body, body.size()};
        CTraceConnection& entry = NewConnection();
        entry.AddChunk(kSent, kHeader, exchange->m_strRequestHead + body, exchange->m_nId);
        entry.AddChunk(kReceived, kHeader, Head(n) + body, exchange->m_nId);
        exchange->m_nEnd = EExchangeEnd::Complete;
        m_store.FinishExchange(*exchange);
        m_exchanges.push_back(std::move(exchange));
    }
    // Every other response has a long header.
    static std::string Head(int n)
    {
        return n % 2 ? kStatusLine + "\r\nX-Pad: " + std::string(2000, 'p') + "\r\n\r\n"
                     : ResponseHeader("text/plain");
    }
    std::vector<std::shared_ptr<CExchange>> m_exchanges;
};

} // namespace

TEST_F(MemoryBudgetTest, OldestTextsAndBodiesLeaveFirstAndRowsReadAsBefore)
{
    m_store.SetMemoryBudget(160 << 10);
    for (int n = 0; n < 40; ++n)
        Capture(n);
    EXPECT_LE(m_store.Memory()->Held(), 160u << 10);

    // Dropped ones first, then only whole ones: never a newer one before an older one.
    const auto& entries = m_store.GetConnections();
    std::size_t whole = 0;
    while (whole < entries.size() && Record(*entries[whole], 1).TextsDropped())
        ++whole;
    ASSERT_GT(whole, 20u);
    ASSERT_LT(whole, entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(i);
        const CTraceRecord& request = Record(*entries[i], 0);
        const CTraceRecord& response = Record(*entries[i], 1);
        EXPECT_EQ(response.TextsDropped(), i < whole);
        if (i != whole) { // (its request may have gone, its answer not)
            EXPECT_EQ(m_exchanges[i]->m_bBodiesDropped, i < whole);
        }
        // What the Listing's and the log's rows read stays.
        EXPECT_EQ(request.GetSummary(), "POST /form/" + std::to_string(i) + " HTTP/1.1");
        EXPECT_EQ(response.GetSummary(), kStatusLine);
        EXPECT_EQ(response.GetByteCount(),
                  static_cast<std::int32_t>(Head(static_cast<int>(i)).size() + 3000));
    }
    EXPECT_EQ(Record(*entries[0], 1).GetDisplayText(),
              ResponseHeader("text/plain") + "[dropped: memory budget]\r\n");
    EXPECT_EQ(Record(*entries[1], 1).GetDisplayText(),
              kStatusLine + "\r\n[dropped: memory budget]\r\n");
    EXPECT_EQ(m_store.DisplayText(Record(*entries[0], 1)), Record(*entries[0], 1).GetDisplayText());
    const auto back = m_store.BodiesReadBack(*m_exchanges[0]);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->m_ResponseBody.bytes, "[dropped: memory budget]");
    EXPECT_EQ(back->m_ResponseBody.total, 3000u);
    EXPECT_FALSE(m_store.BodiesReadBack(*m_exchanges.back()));

    // A purge gives everything back; a larger budget keeps everything.
    for (const auto& entry : entries)
        entry->DetachConnection();
    m_store.PurgeClosedConnections();
    m_exchanges.clear();
    EXPECT_EQ(m_store.Memory()->Held(), 0u);
    m_store.SetMemoryBudget(1 << 30);
    for (int n = 0; n < 40; ++n)
        Capture(n);
    EXPECT_FALSE(Record(*m_store.GetConnections().front(), 1).TextsDropped());
    EXPECT_GT(m_store.Memory()->Held(), 40u * 12000);
}
