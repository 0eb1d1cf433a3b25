// The Exchanges page over exchanges made by hand in the store: its table (columns, sort,
// filter, live rows), the details of typical bodies, and its keys and menu.
#include "ViewerTestFixture.h"

#include "support/EventLoopWait.h"
#include "trace/Exchange.h"
#include "ui/viewers/ExchangeCopy.h"
#include "ui/viewers/ExchangesDlg.h"
#include "ui/viewers/LinesModel.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QTest>
#include <zlib.h>

namespace {

struct SMade {
    const char* method;
    bool https;
    const char* host;
    const char* target;
    int status;
    const char* type;      // Content-Type of the response
    std::size_t bodyBytes; // response body
    std::int64_t ms;       // request start to response end
};

class ExchangesPageTest : public ViewerTestFixture {
protected:
    void SetUp() override
    {
        ViewerTestFixture::SetUp();
        m_page.CreateWindow(m_parent.get());
        m_parent->show();
        m_page.GetWindow()->resize(900, 600);
    }

    std::shared_ptr<CExchange> Make(const SMade& made, bool finish = true)
    {
        std::shared_ptr<CExchange> e = Store().AddExchange();
        e->m_strMethod = made.method;
        e->m_bHttps = made.https;
        e->m_strHost = made.host;
        e->m_nPort = made.https ? 443 : 80;
        e->m_strTarget = made.target;
        e->m_strVersion = "HTTP/1.1";
        e->m_strRequestHead = std::string(made.method) + " " + made.target + " HTTP/1.1\r\nHost: " + made.host + "\r\n\r\n";
        e->m_Times.started = 1'700'000'000'000'000 + static_cast<std::int64_t>(e->m_nId) * 1000;
        if (!finish)
            return e;
        e->m_nStatus = made.status;
        e->m_strResponseHead = "HTTP/1.1 " + std::to_string(made.status) + " X\r\nContent-Type: " + made.type + "\r\n\r\n";
        e->m_ResponseBody.bytes.assign(made.bodyBytes, 'b');
        e->m_ResponseBody.total = made.bodyBytes;
        e->m_Times.ended = e->m_Times.started + made.ms * 1000;
        e->m_nEnd = EExchangeEnd::Complete;
        Store().FinishExchange(*e);
        return e;
    }

    void AddKnownSet()
    {
        const SMade set[] = {
            {"GET", false, "a.test", "http://a.test/one", 200, "text/html; charset=utf-8", 5, 12},
            {"POST", true, "api.b.test", "/v1/items?x=1", 201, "application/json", 150'000, 700},
            {"GET", true, "cdn.c.test", "/logo.png", 404, "image/png", 0, 3},
            {"DELETE", false, "a.test", "/gone", 500, "application/problem+json", 2'000'000, 1500},
        };
        for (const SMade& made : set)
            Make(made);
    }

    std::vector<std::uint64_t> Shown()
    {
        m_page.GetModel()->FinishFilter();
        std::vector<std::uint64_t> ids;
        for (int row = 0; row < m_page.GetModel()->rowCount(); ++row)
            ids.push_back(m_page.GetModel()->GetExchange(row)->m_nId);
        return ids;
    }

    QString Cell(int row, int column)
    {
        return m_page.GetModel()->data(m_page.GetModel()->index(row, column)).toString();
    }

    CExchangesDlg m_page{m_app};
};

using Ids = std::vector<std::uint64_t>;

TEST_F(ExchangesPageTest, ColumnsOfARowAndOfATunnel)
{
    AddKnownSet();
    std::shared_ptr<CExchange> tunnel = Make({"CONNECT", true, "bank.test", "bank.test:443", 200, "", 0, 2500}, false);
    tunnel->m_nFlags = kExchangeTunnel;
    tunnel->m_RequestBody.total = 1234;
    tunnel->m_ResponseBody.total = 56789;
    tunnel->m_Times.ended = tunnel->m_Times.started + 2'500'000;
    tunnel->m_nEnd = EExchangeEnd::Complete;
    Store().FinishExchange(*tunnel);
    m_page.OnFollow();
    ASSERT_EQ(m_page.GetModel()->rowCount(), 5);
    const QStringList second = {"2", "POST", "api.b.test", "/v1/items?x=1", "201", "application/json",
                                "150,000", "700.0"};
    for (int column = 0; column < second.size(); ++column)
        EXPECT_EQ(Cell(1, column), second[column]) << column;
    EXPECT_EQ(Cell(0, CExchangeModel::colPath), "/one"); // an absolute target shows its path
    EXPECT_EQ(Cell(0, CExchangeModel::colType), "text/html");
    EXPECT_EQ(Cell(4, CExchangeModel::colStatus), "tunnel");
    EXPECT_EQ(Cell(4, CExchangeModel::colSize), QStringLiteral("\u21911,234 \u219356,789"));
    EXPECT_EQ(Cell(4, CExchangeModel::colTime), "2500.0");
    EXPECT_EQ(Cell(4, CExchangeModel::colPath), "");
    // Nothing cut at the opening size: every heading and a long host fit their columns.
    QHeaderView* header = m_page.GetList()->horizontalHeader();
    const QFontMetrics metrics = m_page.GetList()->fontMetrics();
    for (int column = 0; column < CExchangeModel::kColumnCount; ++column)
        EXPECT_GT(header->sectionSize(column),
                  metrics.horizontalAdvance(m_page.GetModel()->headerData(column, Qt::Horizontal).toString()));
    EXPECT_GT(header->sectionSize(CExchangeModel::colHost), metrics.horizontalAdvance("www.example.com:8443"));
}

TEST_F(ExchangesPageTest, SortEachColumnBothWaysAndBack)
{
    AddKnownSet();
    m_page.OnFollow();
    // Equal keys keep the order the exchanges came in, whichever way.
    const struct {
        int column;
        Ids ascending;
        Ids descending;
    } cases[] = {
        {CExchangeModel::colMethod, {4, 1, 3, 2}, {2, 1, 3, 4}}, {CExchangeModel::colHost, {1, 4, 2, 3}, {3, 2, 1, 4}},
        {CExchangeModel::colPath, {4, 3, 1, 2}, {2, 1, 3, 4}},   {CExchangeModel::colStatus, {1, 2, 3, 4}, {4, 3, 2, 1}},
        {CExchangeModel::colType, {2, 4, 3, 1}, {1, 3, 4, 2}},   {CExchangeModel::colSize, {3, 1, 2, 4}, {4, 2, 1, 3}},
        {CExchangeModel::colTime, {3, 1, 2, 4}, {4, 2, 1, 3}},   {CExchangeModel::colStarted, {1, 2, 3, 4}, {4, 3, 2, 1}},
    };
    for (const auto& c : cases) {
        m_page.OnHeaderClicked(c.column);
        EXPECT_EQ(Shown(), c.ascending) << c.column;
        m_page.OnHeaderClicked(c.column);
        EXPECT_EQ(Shown(), c.descending) << c.column;
        m_page.OnHeaderClicked(c.column);
        EXPECT_EQ(Shown(), (Ids{1, 2, 3, 4})) << c.column;
    }
    // A row that comes in while sorted takes its place.
    m_page.OnHeaderClicked(CExchangeModel::colSize);
    Make({"GET", false, "d.test", "/", 200, "text/plain", 10, 1});
    m_page.OnFollow();
    EXPECT_EQ(Shown(), (Ids{3, 1, 5, 2, 4}));
}

TEST_F(ExchangesPageTest, FilterTermsAndErrors)
{
    AddKnownSet();
    m_page.OnFollow();
    const struct {
        const char* filter;
        Ids shown;
    } cases[] = {
        {"", {1, 2, 3, 4}},          {"a.test", {1, 4}},          {"host:B.TEST", {2}},
        {"method:get", {1, 3}},      {"status:4xx", {3}},         {"status:500", {4}},
        {"type:json", {2, 4}},       {"-type:json", {1, 3}},      {"size>100k", {2, 4}},
        {"size<=5", {1, 3}},         {"size>1m", {4}},            {"time>500ms", {2, 4}},
        {"time<1s time>10", {1, 2}}, {"gone", {4}},               {"text:charset=utf-8", {1}},
        {"a.test -delete", {1}},     {"zzz", {}},
    };
    for (const auto& c : cases) {
        m_page.GetFilter()->setText(QString::fromLatin1(c.filter));
        EXPECT_EQ(Shown(), c.shown) << c.filter;
        EXPECT_TRUE(m_page.GetFilterError()->isHidden()) << c.filter;
    }
    for (const char* bad : {"status:4", "host:", "-", "size>lots", "time>5h", "size"}) {
        m_page.GetFilter()->setText(QString::fromLatin1(bad));
        EXPECT_EQ(Shown(), (Ids{})) << bad; // the rows of the last good filter stay
        if (std::string(bad) != "size") { // a bare word
            EXPECT_FALSE(m_page.GetFilterError()->isHidden()) << bad;
        }
    }
    // An exchange still open waits until it has ended for the filter to judge it.
    m_page.GetFilter()->setText("status:2xx");
    std::shared_ptr<CExchange> open = Make({"GET", false, "e.test", "/slow", 0, "", 0, 0}, false);
    m_page.OnFollow();
    EXPECT_EQ(Shown(), (Ids{1, 2}));
    open->m_nStatus = 204;
    open->m_nEnd = EExchangeEnd::Complete;
    Store().FinishExchange(*open);
    m_page.OnFollow();
    EXPECT_EQ(Shown(), (Ids{1, 2, 5}));
}

TEST_F(ExchangesPageTest, SelectionSurvivesFiltersThatHideIt)
{
    AddKnownSet();
    m_page.OnFollow();
    m_page.GetList()->selectionModel()->setCurrentIndex(m_page.GetModel()->index(3, 0),
                                                         QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    // Typed a letter at a time, then a word that hides every row, then nothing.
    for (const char* typed : {"g", "go", "gon", "gone"})
        m_page.GetFilter()->setText(QString::fromLatin1(typed));
    m_page.GetFilter()->setText("zzz");
    m_page.GetFilter()->setText("");
    Shown();
    ASSERT_EQ(m_page.SelectedExchanges().size(), 1u);
    EXPECT_EQ(m_page.SelectedExchanges()[0]->m_nId, 4u);
}

TEST_F(ExchangesPageTest, LiveRowsFollowTheBottomAndPurgesDropThem)
{
    for (int i = 0; i < 200; ++i)
        Make({"GET", false, "f.test", "/", 200, "text/plain", 1, 1});
    m_page.OnFollow();
    QScrollBar* bar = m_page.GetList()->verticalScrollBar();
    m_page.GetList()->scrollToBottom();
    Make({"GET", false, "f.test", "/new", 200, "text/plain", 1, 1});
    m_page.OnFollow();
    EXPECT_EQ(bar->value(), bar->maximum());
    m_page.GetList()->scrollToTop();
    Make({"GET", false, "f.test", "/newer", 200, "text/plain", 1, 1});
    m_page.OnFollow();
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(m_page.GetModel()->rowCount(), 202);

    // Delete hides the selected rows from the page only; Ctrl+Shift+Delete clears all data.
    m_parent->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_parent.get()));
    m_page.GetList()->setFocus();
    m_page.GetList()->selectionModel()->setCurrentIndex(m_page.GetModel()->index(0, 0),
                                                         QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QTest::keyClick(m_page.GetList(), Qt::Key_Delete);
    EXPECT_EQ(m_page.GetModel()->rowCount(), 201);
    EXPECT_EQ(Store().GetExchanges().size(), 202u);
    m_page.GetFilter()->setText("f.test");
    EXPECT_EQ(Shown().size(), 201u); // hidden stays hidden
    Store().PurgeClosedConnections(); // by whoever: the rows go at the next look
    m_page.OnFollow();
    EXPECT_EQ(m_page.GetModel()->rowCount(), 0);
}

// Gzip of a text, as an origin would send it.
std::string Gzip(const std::string& text)
{
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, text.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

TEST_F(ExchangesPageTest, DetailsOfJsonImageGzipAndBinaryBodies)
{
    QImage picture(3, 2, QImage::Format_RGB32);
    picture.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    const std::string html = "<p>caf\xe9</p>\n";
    const struct {
        std::string head;
        std::string body;
        SBodyPreview::Kind kind;
        QString firstLine; // of the body, or the notice for an image
        QString notice;
    } cases[] = {
        {"Content-Type: application/json\r\n", R"({"z":1,"a":[true,{}],"s":"x,y:{"})", SBodyPreview::Kind::Text,
         "{", ""},
        {"Content-Type: image/png\r\n", png.toStdString(), SBodyPreview::Kind::Image, "", "3 x 2 pixels"},
        {"Content-Type: text/html; charset=iso-8859-1\r\nContent-Encoding: gzip\r\n", Gzip(html),
         SBodyPreview::Kind::Text, QStringLiteral("<p>caf\u00e9</p>"), "Decoded from gzip"},
        {"Content-Type: application/octet-stream\r\n", std::string("\x00\x01GIF89a", 8) + std::string(20, 'z'),
         SBodyPreview::Kind::Binary, "00000000  00 01 47 49 46 38 39 61  7a 7a 7a 7a 7a 7a 7a 7a  ..GIF89azzzzzzzz", ""},
    };
    for (const auto& c : cases) {
        std::shared_ptr<CExchange> e = Make({"GET", false, "g.test", "/", 200, "x", 0, 1});
        e->m_strResponseHead = "HTTP/1.1 200 OK\r\n" + c.head + "Set-Cookie: a=1\r\nSet-Cookie: b=2\r\n\r\n";
        e->m_ResponseBody.bytes = c.body;
        e->m_ResponseBody.total = c.body.size();
        m_page.GetDetails()->SetExchange(e.get());
        CMessageView* response = m_page.GetDetails()->GetResponse();
        EXPECT_EQ(response->GetBodyKind(), c.kind) << c.head;
        EXPECT_TRUE(response->GetNotice().contains(c.notice)) << response->GetNotice().toStdString();
        if (!c.firstLine.isEmpty()) {
            EXPECT_EQ(response->GetBodyLines()->index(0).data().toString(), c.firstLine) << c.head;
        }
        // Headers in order, duplicates kept; Raw holds the head as recorded.
        QTableWidget* headers = response->GetHeaders();
        ASSERT_GE(headers->rowCount(), 3);
        EXPECT_EQ(headers->item(headers->rowCount() - 2, 1)->text(), "a=1");
        EXPECT_EQ(headers->item(headers->rowCount() - 1, 1)->text(), "b=2");
        EXPECT_EQ(response->GetRawLines()->index(0).data().toString(), "HTTP/1.1 200 OK");
    }
    // JSON keeps its key order and its strings whole.
    std::string json;
    ASSERT_TRUE(IndentJson(R"({"z":1,"a":[true,{}],"s":"x,y:{"})", json));
    EXPECT_EQ(json, "{\n  \"z\": 1,\n  \"a\": [\n    true,\n    {}\n  ],\n  \"s\": \"x,y:{\"\n}");
}

TEST_F(ExchangesPageTest, BigBodiesArePreparedOffTheLoopAndCut)
{
    std::shared_ptr<CExchange> big = Make({"GET", false, "h.test", "/big", 200, "text/plain", 0, 1});
    big->m_ResponseBody.bytes.assign(CExchange::kMaxKeptBody, 'x');
    big->m_ResponseBody.total = CExchange::kMaxKeptBody + 1000;
    CMessageView* response = m_page.GetDetails()->GetResponse();
    m_page.GetDetails()->SetExchange(big.get());
    ASSERT_TRUE(response->IsPreparing());
    EXPECT_TRUE(response->GetNotice().startsWith("Preparing")) << response->GetNotice().toStdString();
    // The loop runs on while the body is prepared: a timer set now fires before it is shown.
    bool ticked = false;
    QTimer::singleShot(0, [&] { ticked = true; });
    ASSERT_TRUE(RunUntil([&] { return !response->IsPreparing(); }, 60000));
    EXPECT_TRUE(ticked);
    EXPECT_TRUE(response->GetNotice().contains("Only the first 16,777,216 of 16,778,216 bytes were kept"));
    EXPECT_EQ(response->GetBodyLines()->rowCount(), static_cast<int>((CExchange::kMaxKeptBody + 1999) / 2000));

    // Decoded past 16 MiB: cut, saying so; a newer selection wins over one still prepared.
    std::shared_ptr<CExchange> bomb = Make({"GET", false, "h.test", "/bomb", 200, "text/plain", 0, 1});
    bomb->m_strResponseHead = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Encoding: gzip\r\n\r\n";
    bomb->m_ResponseBody.bytes = Gzip(std::string(20 << 20, 'y')) + std::string(2 << 20, '\0');
    bomb->m_ResponseBody.total = bomb->m_ResponseBody.bytes.size();
    m_page.GetDetails()->SetExchange(big.get());
    m_page.GetDetails()->SetExchange(bomb.get());
    ASSERT_TRUE(RunUntil([&] { return !response->IsPreparing(); }, 60000));
    EXPECT_TRUE(response->GetNotice().contains("Only the first 16 MiB are shown")) << response->GetNotice().toStdString();
    EXPECT_EQ(response->GetBodyLines()->index(0).data().toString().left(3), "yyy");
}

TEST_F(ExchangesPageTest, CopiesUseTheRoutedUrl)
{
    std::shared_ptr<CExchange> e = Make({"POST", true, "bank.test", "/pay?to=x", 200, "text/plain", 2, 1});
    e->m_nFlags = kExchangeDecrypted;
    e->m_strRequestHead = "POST /pay?to=x HTTP/1.1\r\nHost: other.test\r\nCookie: s=1\r\nContent-Length: 5\r\n\r\n";
    e->m_RequestBody.bytes = "a='b'";
    e->m_RequestBody.total = 5;
    m_page.OnFollow();
    m_page.GetList()->selectAll();
    m_page.CopyUrls();
    EXPECT_EQ(QApplication::clipboard()->text(), "https://bank.test/pay?to=x\n");
    const std::string curl = ExchangeCurlCommand(*e, "127.0.0.1:8010");
    EXPECT_NE(curl.find("'https://bank.test/pay?to=x'"), std::string::npos) << curl;
    EXPECT_NE(curl.find("-x 'http://127.0.0.1:8010'"), std::string::npos) << curl;
    EXPECT_NE(curl.find("--data-raw 'a='\\''b'\\'''"), std::string::npos) << curl;
    m_page.CopyAsText();
    EXPECT_TRUE(QApplication::clipboard()->text().contains("Content-Length: 5\r\n\r\na='b'\r\n\r\nHTTP/1.1 200 X"));

    // The menu's mnemonics are each used once.
    QMenu* menu = m_page.MakeContextMenu();
    QSet<QChar> letters;
    for (QAction* action : menu->actions()) {
        const QString text = action->text();
        const qsizetype at = text.indexOf(QLatin1Char('&'));
        if (at < 0)
            continue;
        EXPECT_FALSE(letters.contains(text[at + 1].toLower())) << text.toStdString();
        letters.insert(text[at + 1].toLower());
    }
    delete menu;
}

} // namespace

TEST_F(ExchangesPageTest, BodiesTheBudgetTakesLeaveTheRowsAndShowTheNote)
{
    for (int i = 0; i < 30; ++i)
        Make({"GET", false, "a.test", "/", 200, "text/plain", 4000, 1});
    m_page.OnFollow();
    Store().SetMemoryBudget(60 << 10);
    EXPECT_EQ(Shown().size(), 30u); // every row stays, with its size
    EXPECT_EQ(Cell(0, 4).toStdString(), Cell(29, 4).toStdString());
    for (const auto& [row, body] : {std::pair{0, "[dropped: memory budget]"}, std::pair{29, "bbbb"}}) {
        m_page.GetList()->selectionModel()->setCurrentIndex(
            m_page.GetModel()->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        m_page.ShowDetails();
        const QString first = m_page.GetDetails()->GetResponse()->GetBodyLines()->index(0).data().toString();
        EXPECT_TRUE(first.startsWith(body)) << first.toStdString();
    }
}
