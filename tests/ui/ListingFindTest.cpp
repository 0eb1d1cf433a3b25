// Filter, follow, sort, readable columns and copy as curl on the Listing, over traces built
// through the store's own calls.
#include "ViewerTestFixture.h"

#include "support/BlockingStream.h"
#include "support/ExchangeWords.h"
#include "support/LoopbackServer.h"
#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "ui/viewers/ListDlg.h"

#include <QApplication>
#include <QHeaderView>
#include <QProcess>
#include <QScrollBar>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

class ListingFindTest : public ViewerTestFixture {
protected:
    void SetUp() override
    {
        ViewerTestFixture::SetUp();
        m_app.m_bRequestViewer = 0;
        m_app.m_bResponseViewer = 0;
        m_page.CreateWindow(m_parent.get());
        m_parent->show();
        m_page.GetWindow()->resize(700, 400);
    }

    // Two keep-alive connections: a.test answers a GET and (after a 100 Continue) a POST with
    // a chunked 404; b.test answers a GIF in two chunks and a HEAD with a redirect. Each record
    // names its exchange, as the relay stamps it.
    void AddKnownTrace()
    {
        auto exchange = [this](const std::string& request, const std::string& response, const char* host,
                               std::uint16_t port) { return MakeExchange(Store(), request, response, host, port)->m_nId; };
        const std::uint64_t one = exchange("GET /one HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n", "a.test", 80);
        const std::uint64_t form = exchange("POST /form?x=1 HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n\r\n", "a.test", 80);
        const std::uint64_t pic = exchange("GET /pic.gif HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n", "b.test", 8080);
        const std::uint64_t head = exchange("HEAD / HTTP/1.1\r\n\r\n", "HTTP/1.1 301 Moved\r\n\r\n", "b.test", 8080);
        CTraceConnection* a = Store().AddConnection(nullptr, false);
        a->AddChunk(kSent, kHeader, "GET /one HTTP/1.1\r\nHost: a.test\r\n\r\n", one);
        a->AddChunk(kReceived, kHeader, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5\r\n\r\nhello", one);
        a->AddChunk(kSent, kHeader, "POST /form?x=1 HTTP/1.1\r\nHost: a.test\r\nContent-Length: 10\r\n\r\n", form);
        a->AddChunk(kReceived, kHeader, "HTTP/1.1 100 Continue\r\n\r\n", form);
        a->AddChunk(kSent, kBody, "it's $HOME", form);
        a->AddChunk(kReceived, kHeader, "HTTP/1.1 404 Not Found\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nnope\r\n0\r\n\r\n", form);
        CTraceConnection* b = Store().AddConnection(nullptr, false);
        b->AddChunk(kSent, kHeader, "GET /pic.gif HTTP/1.1\r\nHost: b.test:8080\r\n\r\n", pic);
        b->AddChunk(kReceived, kHeader, "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n\r\n" + std::string(100, 'g'), pic);
        b->AddChunk(kReceived, kBody, std::string(50, 'g'), pic);
        b->AddChunk(kSent, kHeader, "HEAD / HTTP/1.1\r\nHost: b.test:8080\r\n\r\n", head);
        b->AddChunk(kReceived, kHeader, "HTTP/1.1 301 Moved\r\nLocation: /x\r\n\r\n", head);
    }

    std::vector<std::string> ShownIds()
    {
        m_page.GetModel()->FinishFilter();
        std::vector<std::string> ids;
        for (int row = 0; row < m_page.GetModel()->rowCount(); ++row)
            ids.push_back(m_page.GetModel()->GetRecord(row)->GetIdText());
        return ids;
    }

    void SelectRow(int row, QItemSelectionModel::SelectionFlags how = QItemSelectionModel::ClearAndSelect)
    {
        m_page.GetList()->selectionModel()->select(m_page.GetModel()->index(row, 0),
                                                   how | QItemSelectionModel::Rows);
    }

    CListDlg m_page{m_app};
};

using Ids = std::vector<std::string>;

TEST_F(ListingFindTest, FilterTermsAndTheirCombinations)
{
    AddKnownTrace();
    m_page.OnRefresh();
    const Ids all = ShownIds();
    ASSERT_EQ(all.size(), 11u);
    const std::string time = m_page.GetModel()->GetRecord(0)->GetTimeText();
    Ids sameTime;
    for (int row = 0; row < 11; ++row)
        if (m_page.GetModel()->GetRecord(row)->GetTimeText() == time)
            sameTime.push_back(all[static_cast<std::size_t>(row)]);

    const struct { const char* filter; Ids ids; } cases[] = {
        {"post", {"1-3"}},                                  // a word: the summary, any case
        {"2-4", {"2-4"}},                                   // the ID
        {"method:POST", {"1-3", "1-4", "1-5", "1-6"}},      // the whole pair, interim answer too
        {"status:4xx", {"1-3", "1-4", "1-5", "1-6"}},
        {"status:301", {"2-4", "2-5"}},
        {"status:404 -method:post", {}},
        {"host:B.TEST method:head", {"2-4", "2-5"}},
        {"-host:a.test", {"2-1", "2-2", "2-3", "2-4", "2-5"}},
        {"text:$home", {"1-5"}},                            // the record's whole text
        {"text:nope http", {"1-6"}},
        {"  ", all},
    };
    for (const auto& c : cases) {
        m_page.GetFilter()->setText(QString::fromUtf8(c.filter));
        EXPECT_EQ(ShownIds(), c.ids) << c.filter;
        EXPECT_TRUE(m_page.GetFilterError()->isHidden()) << c.filter;
    }
    m_page.GetFilter()->setText(QString::fromStdString(time));
    EXPECT_EQ(ShownIds(), sameTime);

    // A bad term says so and leaves the rows of the last good filter.
    m_page.GetFilter()->setText("host:a.test");
    for (const char* bad : {"status:abc", "status:", "-", "host: x", "status:4xxx"}) {
        m_page.GetFilter()->setText(bad);
        EXPECT_FALSE(m_page.GetFilterError()->isHidden()) << bad;
        EXPECT_FALSE(m_page.GetFilterError()->toolTip().isEmpty()) << bad;
        EXPECT_EQ(ShownIds().size(), 6u) << bad;
    }

    // Show acts on the selected rows that are still visible.
    m_page.GetFilter()->clear();
    ShownIds();
    SelectRow(0);
    SelectRow(7, QItemSelectionModel::Select);
    m_page.GetFilter()->setText("host:b.test");
    EXPECT_EQ(ShownIds().size(), 5u);
    m_page.OnShow();
    EXPECT_EQ(m_page.GetPane()->GetBytes(), m_page.GetModel()->GetRecord(1)->GetFullText());

    // Ctrl+F puts the focus in the field.
    m_parent->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_parent.get()));
    m_page.GetList()->setFocus();
    QTest::keyClick(m_page.GetList(), Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(m_page.GetFilter()->hasFocus() || QApplication::focusWidget() == m_page.GetFilter());
}

TEST_F(ListingFindTest, SortEachColumnBothWaysAndBack)
{
    AddKnownTrace();
    for (int i = 0; i < 9; ++i) { // ids from 3 to 11: "11-1" sorts after "3-1" as a number
        const std::string request = "GET /" + std::string(static_cast<std::size_t>(i), 'z') + " HTTP/1.1\r\nHost: c\r\n\r\n";
        Store().AddConnection(nullptr, false)->AddChunk(kSent, kHeader, request, MakeExchange(Store(), request, "", "c", 80)->m_nId);
    }
    m_page.OnRefresh();
    CListingModel* model = m_page.GetModel();
    const Ids recordOrder = ShownIds();
    QHeaderView* header = m_page.GetList()->horizontalHeader();

    auto keysSorted = [&](int column, bool descending) {
        for (int row = 1; row < model->rowCount(); ++row) {
            const CTraceRecord* a = model->GetRecord(descending ? row : row - 1);
            const CTraceRecord* b = model->GetRecord(descending ? row - 1 : row);
            bool ordered = true;
            switch (column) {
            case 0: ordered = a->GetSummary() <= b->GetSummary(); break;
            case 1: ordered = std::pair(a->GetConnectionId(), a->GetSequence()) <= std::pair(b->GetConnectionId(), b->GetSequence()); break;
            case 2: ordered = a->GetTimeCaptured() <= b->GetTimeCaptured(); break;
            case 3: ordered = a->GetByteCount() <= b->GetByteCount(); break;
            case 4: ordered = model->index(descending ? row : row - 1, 4).data().toDouble()
                              <= model->index(descending ? row - 1 : row, 4).data().toDouble(); break;
            }
            if (!ordered)
                return false;
        }
        return true;
    };
    for (int column = 0; column < CListingModel::kColumnCount; ++column) {
        header->sectionClicked(column);
        EXPECT_TRUE(keysSorted(column, false)) << column;
        EXPECT_TRUE(header->isSortIndicatorShown());
        EXPECT_EQ(header->sortIndicatorSection(), column);
        EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
        header->sectionClicked(column);
        EXPECT_TRUE(keysSorted(column, true)) << column;
        EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
        header->sectionClicked(column);
        EXPECT_EQ(ShownIds(), recordOrder) << column;
        EXPECT_FALSE(header->isSortIndicatorShown());
    }
    // Sorted, filtered and refreshed at once.
    header->sectionClicked(CListingModel::colBytes);
    m_page.GetFilter()->setText("host:c");
    m_page.OnRefresh();
    EXPECT_EQ(ShownIds(), (Ids{"3-1", "4-1", "5-1", "6-1", "7-1", "8-1", "9-1", "10-1", "11-1"}));
}

TEST_F(ListingFindTest, AutoRefreshFollowsTheBottomOrKeepsItsPlace)
{
    CTraceConnection* open = Store().AddConnection(nullptr, false);
    open->AddChunk(kSent, kHeader, "GET /first HTTP/1.1\r\nHost: a\r\n\r\n");
    auto addClosed = [&](int count) {
        for (int i = 0; i < count; ++i) {
            CTraceConnection* c = Store().AddConnection(nullptr, false);
            c->AddChunk(kSent, kHeader, "GET /" + std::to_string(i) + " HTTP/1.1\r\nHost: a\r\n\r\n");
            c->DetachConnection();
        }
    };
    addClosed(100);
    m_page.GetAutoRefresh()->setChecked(true); // refreshes at once
    CListingModel* model = m_page.GetModel();
    ASSERT_EQ(model->rowCount(), 101);
    QScrollBar* bar = m_page.GetList()->verticalScrollBar();
    m_page.GetList()->scrollToBottom();

    addClosed(50);
    m_page.OnAutoRefresh();
    EXPECT_EQ(model->rowCount(), 151);
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_GT(bar->maximum(), 0);

    // Scrolled up, with a selection shown: rows arrive above and below, nothing moves.
    m_page.GetList()->scrollTo(model->index(40, 0), QAbstractItemView::PositionAtTop);
    const CTraceRecord* top = model->GetRecord(m_page.GetList()->rowAt(0));
    SelectRow(45);
    const CTraceRecord* selected = model->GetRecord(45);
    m_page.OnShow();
    open->AddChunk(kReceived, kHeader, "HTTP/1.1 200 OK\r\n\r\n");
    addClosed(5);
    m_page.OnAutoRefresh();
    EXPECT_EQ(model->rowCount(), 157);
    EXPECT_EQ(model->GetRecord(m_page.GetList()->rowAt(0)), top);
    EXPECT_LT(bar->value(), bar->maximum());
    const QModelIndexList rows = m_page.GetList()->selectionModel()->selectedRows();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(model->GetRecord(rows[0].row()), selected);
    EXPECT_EQ(m_page.GetPane()->GetBytes(), selected->GetFullText());

    m_page.GetAutoRefresh()->setChecked(false);
}

TEST_F(ListingFindTest, FirstRefreshFitsColumnsToTheirTextAndTheSummaryToTheRest)
{
    m_page.GetWindow()->resize(1100, 400); // room for every column
    QHeaderView* header = m_page.GetList()->horizontalHeader();
    std::vector<int> before;
    for (int c = 0; c < CListingModel::kColumnCount; ++c)
        before.push_back(header->sectionSize(c));
    CTraceConnection* c = Store().AddConnection(nullptr, false);
    c->AddChunk(kSent, kHeader, "GET / HTTP/1.1\r\n\r\n" + std::string(1234567, 'x'));
    c->AddChunk(kReceived, kHeader, "HTTP/1.1 200 OK\r\n\r\n");
    c->GetRecords()[0]->SetElapsed(87654);
    m_page.OnRefresh();
    const QFontMetrics metrics = m_page.GetList()->fontMetrics();
    // No column runs past the list: the summary has what the others leave.
    EXPECT_EQ(header->length(), m_page.GetList()->viewport()->width());
    const char* widest[] = {"", "1-2", "00:00:00", "1234585", "87.654"};
    for (int column = 1; column < CListingModel::kColumnCount; ++column) {
        EXPECT_GE(header->sectionSize(column), before[static_cast<std::size_t>(column)]);
        EXPECT_GT(header->sectionSize(column), metrics.horizontalAdvance(widest[column])) << column;
    }
}

// The copied commands, run by sh, make curl send the traced requests to a loopback server: a
// text body as an argument, a body with a NUL and bytes that are not UTF-8 through printf.
TEST_F(ListingFindTest, CopyAsCurlRepeatsTheRequestThroughSh)
{
    std::mutex lock;
    std::vector<std::string> arrived;
    LoopbackServer server([&](BlockingStream& stream) {
        std::string request = stream.ReadUntil("\r\n\r\n");
        const std::size_t field = request.find("Content-Length: ");
        const std::size_t length = field == std::string::npos ? 0 : std::stoul(request.substr(field + 16));
        const std::size_t have = request.size() - request.find("\r\n\r\n") - 4;
        if (have < length)
            request += stream.ReadExactly(length - have);
        {
            std::lock_guard<std::mutex> hold(lock); // before the answer: curl may end at once
            arrived.push_back(request);
        }
        stream.Write("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
    });
    const std::string authority = "127.0.0.1:" + std::to_string(server.Port());
    const std::string fields = "Host: " + authority + "\r\n"
                               "User-Agent: it's \"quoted\" $USER `id` \\ !\r\n"
                               "X-Empty:\r\n"
                               "Content-Type: text/plain\r\n";
    const std::string text = "@/etc/passwd '; echo $(id) \"\r\n\"";
    const std::string binary = std::string("a\0'%s\\\xff\n", 8);
    const auto post = [&](const std::string& target, const std::string& body) {
        const auto exchange = MakeExchange(Store(), "POST " + target + " HTTP/1.1\r\n" + fields +
                                           "Connection: keep-alive\r\nContent-Length: " + std::to_string(body.size())
                                           + "\r\n\r\n" + body, "", "127.0.0.1", static_cast<std::uint16_t>(server.Port()));
        Store().AddConnection(nullptr, false)->AddChunk(kSent, kHeader, exchange->m_strRequestHead + body, exchange->m_nId);
        return exchange;
    };
    post("/p/it's/$HOME?a=1&b=[x]", text);
    post("/bin", binary);
    m_page.OnRefresh();
    SelectRow(0);
    SelectRow(1, QItemSelectionModel::Select);
    const std::vector<std::string> commands = m_page.SelectedCurlCommands(false);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(m_page.SelectedUrls(), (Ids{"http://" + authority + "/p/it's/$HOME?a=1&b=[x]", "http://" + authority + "/bin"}));
    for (const std::string& command : commands) {
        QProcess shell;
        shell.start("sh", {"-c", QString::fromStdString(command) + " -sS -o /dev/null --max-time 20"});
        ASSERT_TRUE(shell.waitForFinished(30000));
        EXPECT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString() << command;
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        ASSERT_EQ(arrived.size(), 2u);
        EXPECT_EQ(arrived[0], "POST /p/it's/$HOME?a=1&b=[x] HTTP/1.1\r\n" + fields + "Content-Length: 31\r\n\r\n" + text);
        EXPECT_EQ(arrived[1], "POST /bin HTTP/1.1\r\n" + fields + "Content-Length: 8\r\n\r\n" + binary);
    }

    // Through Kestrune: the command names its own listener as the proxy. A decrypted request
    // goes to https, at the address it was routed to.
    EXPECT_NE(m_page.SelectedCurlCommands(true)[0].find(" -x 'http://127.0.0.1:"), std::string::npos);
    auto bank = MakeExchange(Store(), "GET /z HTTP/1.1\r\nHost: bank.invalid\r\n\r\n", "", "127.0.0.1", 4443, true);
    bank->m_nFlags = kExchangeDecrypted;
    Store().AddConnection(nullptr, false)->AddChunk(kSent, kHeader, bank->m_strRequestHead, bank->m_nId);
    m_page.OnRefresh();
    SelectRow(2);
    EXPECT_NE(m_page.SelectedCurlCommands(false).at(0).find(" 'https://127.0.0.1:4443/z' -H 'Host: bank.invalid'"),
              std::string::npos);
}

} // namespace
