#include "ViewerTestFixture.h"

#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "ui/shell/DialogUnits.h"
#include "ui/viewers/FixCarriageReturns.h"
#include "ui/viewers/ListDlg.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QTest>

namespace {

TEST(FixCarriageReturnsTest, PutsACarriageReturnBeforeEveryBareLineFeed)
{
    EXPECT_EQ(FixCarriageReturns("GET / HTTP/1.0\nHost: a\n\nbody"),
              "GET / HTTP/1.0\r\nHost: a\r\n\r\nbody");
    EXPECT_EQ(FixCarriageReturns("GET / HTTP/1.0\r\nHost: a\r\n\r\n"),
              "GET / HTTP/1.0\r\nHost: a\r\n\r\n");
    EXPECT_EQ(FixCarriageReturns("\n"), "\r\n");
    EXPECT_EQ(FixCarriageReturns("\n\n"), "\r\n\r\n");
    EXPECT_EQ(FixCarriageReturns(""), "");
    EXPECT_EQ(FixCarriageReturns("\r\r\n\n\r"), "\r\r\n\r\n\r");
    EXPECT_EQ(FixCarriageReturns(std::string("a\0\nb", 4)), std::string("a\0\r\nb", 5));
}

class ListDlgTest : public ViewerTestFixture {
protected:
    void SetUp() override
    {
        ViewerTestFixture::SetUp();
        m_app.m_bRequestViewer = 0;
        m_app.m_bResponseViewer = 0;
    }

    // A connection with one request and one response, marked closed when asked.
    CTraceConnection* AddExchange(const std::string& path, bool close = true)
    {
        CTraceConnection* connection = Store().AddConnection(nullptr, false);
        connection->AddChunk(kSent, kHeader, "GET " + path + " HTTP/1.0\r\n\r\n");
        connection->AddChunk(kReceived, kHeader, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhi " + path);
        if (close)
            connection->DetachConnection();
        return connection;
    }

    QPushButton* Button(int id) { return m_page.GetWindow()->findChild<QPushButton*>(QString::number(id)); }
    QCheckBox* FixBox() { return m_page.GetWindow()->findChild<QCheckBox*>("1029"); }

    void ClickRow(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        CListingView* list = m_page.GetList();
        list->scrollTo(m_page.GetModel()->index(row, 0));
        const QRect rect = list->visualRect(m_page.GetModel()->index(row, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, rect.center());
    }

    std::string FullText(int row) { return m_page.GetModel()->GetRecord(row)->GetFullText(); }

    void CreatePage()
    {
        m_page.CreateWindow(m_parent.get());
        m_parent->show();
        m_page.GetWindow()->resize(700, 400);
        QCoreApplication::processEvents();
    }

    CListDlg m_page{m_app};
};

TEST_F(ListDlgTest, IsLaidOutFromItsTemplate)
{
    EXPECT_EQ(m_page.GetTitle(), "Listing");
    QWidget* window = m_page.CreateWindow(m_parent.get());
    CDialogUnits dlu(window->font());
    EXPECT_EQ(window->size(), dlu.Size(355, 165));

    struct Expected { int id; const char* text; QRect rect; bool enabled; };
    const Expected buttons[] = {
        {1021, "&Refresh", dlu.Rect(7, 7, 43, 14), true},
        {1022, "&Show", dlu.Rect(52, 7, 43, 14), false},
        {1012, "&Copy Text", dlu.Rect(98, 7, 43, 14), false},
        {1011, "C&lear", dlu.Rect(143, 7, 43, 14), true},
    };
    for (const Expected& e : buttons) {
        QPushButton* button = Button(e.id);
        ASSERT_TRUE(button) << e.id;
        EXPECT_EQ(button->text(), e.text);
        EXPECT_EQ(button->geometry(), e.rect) << e.id;
        EXPECT_EQ(button->isEnabled(), e.enabled) << e.id;
    }
    ASSERT_TRUE(FixBox());
    EXPECT_EQ(FixBox()->text(), "&Fix Carriage Returns");
    EXPECT_FALSE(FixBox()->isChecked());
    EXPECT_EQ(FixBox()->geometry().topLeft(), dlu.Rect(192, 7, 80, 13).topLeft());
    EXPECT_GE(FixBox()->width(), std::max(dlu.Rect(192, 7, 80, 13).width(), FixBox()->sizeHint().width()));
    EXPECT_EQ(m_page.GetList()->objectName(), "1014");
    EXPECT_EQ(m_page.GetList()->geometry(), dlu.Rect(7, 23, 187, 135));
    EXPECT_EQ(m_page.GetList()->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(m_page.GetPane()->objectName(), "1015");
    EXPECT_EQ(m_page.GetPane()->geometry(), dlu.Rect(198, 23, 76, 135));

    // Tab visits the controls in template order, Auto Refresh and Filter after Fix Carriage Returns.
    std::vector<QString> order;
    QWidget* w = Button(1021);
    for (int i = 0; i < 64 && order.size() < 9; ++i, w = w->nextInFocusChain()) {
        bool numeric = false;
        w->objectName().toInt(&numeric);
        if (numeric)
            order.push_back(w->objectName());
    }
    EXPECT_EQ(order, (std::vector<QString>{"1021", "1022", "1012", "1011", "1029", "1030", "1031", "1014", "1015"}));

    // Five columns with widths from the list's width at creation, none narrower than its
    // heading and the sort indicator.
    const int width = dlu.Rect(7, 23, 187, 135).width();
    QHeaderView* header = m_page.GetList()->horizontalHeader();
    const char* headings[] = {"Verb / Response", "ID", "Time", "Bytes", "Resp Time"};
    ASSERT_EQ(m_page.GetModel()->columnCount(), 5);
    for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(m_page.GetModel()->headerData(c, Qt::Horizontal).toString(), headings[c]);
        EXPECT_GE(header->sectionSize(c), c == 0 ? width / 2 : width / 8) << c;
        EXPECT_GT(header->sectionSize(c), header->fontMetrics().horizontalAdvance(headings[c]) + 16) << c;
    }
}

TEST_F(ListDlgTest, RefreshListsEveryRecordInStoreOrder)
{
    CreatePage();
    AddExchange("/a");
    AddExchange("/b");
    m_page.OnRefresh();

    CListingModel* model = m_page.GetModel();
    ASSERT_EQ(model->rowCount(), 4);
    EXPECT_EQ(model->index(0, 0).data().toString(), "GET /a HTTP/1.0");
    EXPECT_EQ(model->index(1, 0).data().toString(), "HTTP/1.0 200 OK");
    EXPECT_EQ(model->index(2, 0).data().toString(), "GET /b HTTP/1.0");
    const CTraceRecord* second = model->GetRecord(3);
    EXPECT_EQ(model->index(3, 1).data().toString().toStdString(), second->GetIdText());
    EXPECT_EQ(model->index(3, 2).data().toString().toStdString(), second->GetTimeText());
    EXPECT_EQ(model->index(3, 3).data().toString().toInt(), second->GetByteCount());
    EXPECT_EQ(model->index(3, 4).data().toString().toStdString(), second->GetResponseTimeText());

    // Sent and received rows carry different icons.
    const QIcon sent = model->index(0, 0).data(Qt::DecorationRole).value<QIcon>();
    const QIcon received = model->index(1, 0).data(Qt::DecorationRole).value<QIcon>();
    ASSERT_FALSE(sent.isNull());
    ASSERT_FALSE(received.isNull());
    EXPECT_NE(sent.pixmap(16, 16).toImage(), received.pixmap(16, 16).toImage());
    EXPECT_EQ(sent.pixmap(16, 16).toImage(), model->index(2, 0).data(Qt::DecorationRole).value<QIcon>().pixmap(16, 16).toImage());
}

TEST_F(ListDlgTest, RefreshOfAnEmptyStoreLeavesPaneAndButtons)
{
    CreatePage();
    m_page.GetPane()->SetBytes("kept");
    m_page.OnRefresh();
    EXPECT_EQ(m_page.GetModel()->rowCount(), 0);
    EXPECT_EQ(m_page.GetPane()->GetBytes(), "kept");
    EXPECT_FALSE(Button(1012)->isEnabled());
}

TEST_F(ListDlgTest, ShowJoinsSelectedRowsInAscendingOrder)
{
    CreatePage();
    for (int i = 0; i < 6; ++i)
        AddExchange("/" + std::to_string(i));
    QTest::mouseClick(Button(1021), Qt::LeftButton);
    ASSERT_EQ(m_page.GetModel()->rowCount(), 12);
    EXPECT_FALSE(Button(1022)->isEnabled());

    ClickRow(5);
    ClickRow(2, Qt::ControlModifier);
    ClickRow(9, Qt::ControlModifier);
    EXPECT_TRUE(Button(1022)->isEnabled()); // a mouse click updates the buttons
    QTest::mouseClick(Button(1022), Qt::LeftButton);
    EXPECT_EQ(m_page.GetPane()->GetBytes(), FullText(2) + FullText(5) + FullText(9));
    EXPECT_TRUE(Button(1012)->isEnabled());
}

TEST_F(ListDlgTest, KeyboardSelectionDoesNotUpdateTheButtons)
{
    CreatePage();
    AddExchange("/a");
    m_page.OnRefresh();
    m_page.GetList()->setFocus();
    m_page.GetList()->setCurrentIndex(m_page.GetModel()->index(0, 0));
    QTest::keyClick(m_page.GetList(), Qt::Key_Down);
    EXPECT_TRUE(m_page.GetList()->selectionModel()->hasSelection());
    EXPECT_FALSE(Button(1022)->isEnabled());
}

TEST_F(ListDlgTest, DoubleClickShowsTheRowItSelects)
{
    CreatePage();
    AddExchange("/a");
    AddExchange("/b");
    m_page.OnRefresh();
    ClickRow(0);
    CListingView* list = m_page.GetList();
    const QPoint at = list->visualRect(m_page.GetModel()->index(3, 0)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(m_page.GetPane()->GetBytes(), FullText(3));
}

TEST_F(ListDlgTest, FixCarriageReturnsReshowsTheSelection)
{
    CreatePage();
    CTraceConnection* connection = Store().AddConnection(nullptr, false);
    connection->AddChunk(kSent, kHeader, "POST /x HTTP/1.0\nHost: a\n\nbody");
    connection->AddChunk(kSent, kHeader, "\n");
    m_page.OnRefresh();
    ClickRow(0);
    ClickRow(1, Qt::ShiftModifier);
    m_page.OnShow();
    EXPECT_EQ(m_page.GetPane()->GetBytes(), "POST /x HTTP/1.0\nHost: a\n\nbody\n");

    QTest::mouseClick(FixBox(), Qt::LeftButton);
    EXPECT_EQ(m_page.GetPane()->GetBytes(), "POST /x HTTP/1.0\r\nHost: a\r\n\r\nbody\r\n");

    // With nothing selected the pane empties and Show is disabled.
    m_page.GetList()->clearSelection();
    QTest::mouseClick(FixBox(), Qt::LeftButton);
    EXPECT_EQ(m_page.GetPane()->GetBytes(), "");
    EXPECT_FALSE(Button(1022)->isEnabled());
    EXPECT_FALSE(Button(1012)->isEnabled());
}

TEST_F(ListDlgTest, RespTimeKeepsItsValueUntilTheNextRefresh)
{
    CreatePage();
    CTraceConnection* connection = AddExchange("/a", false);
    m_page.OnRefresh();
    CTraceRecord* request = connection->GetRecords()[0].get();
    const QString before = m_page.GetModel()->index(0, 4).data().toString();
    request->SetElapsed(request->GetElapsed() + 1234);
    EXPECT_EQ(m_page.GetModel()->index(0, 4).data().toString(), before);
    m_page.OnRefresh();
    EXPECT_EQ(m_page.GetModel()->index(0, 4).data().toString().toStdString(),
              request->GetResponseTimeText());
}

TEST_F(ListDlgTest, CopyTextPutsThePaneOnTheClipboard)
{
    CreatePage();
    AddExchange("/a");
    m_page.OnRefresh();
    QTest::mouseClick(Button(1012), Qt::LeftButton); // disabled and empty: nothing
    m_page.OnCopyText();
    EXPECT_TRUE(m_messages.empty());

    ClickRow(1);
    m_page.OnShow();
    QTest::mouseClick(Button(1012), Qt::LeftButton);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), FullText(1));
    EXPECT_EQ(m_messages,
              std::vector<std::string>{"Text in display window has been copied to clipboard"});
}

TEST_F(ListDlgTest, ClearListingDropsRowsBeforeThePurge)
{
    CreatePage();
    AddExchange("/a");
    AddExchange("/b");
    m_page.OnRefresh();
    ClickRow(1);
    m_page.OnShow();

    m_page.ClearListing();
    Store().PurgeClosedConnections();
    EXPECT_TRUE(Store().GetConnections().empty());
    EXPECT_EQ(m_page.GetModel()->rowCount(), 0);
    EXPECT_EQ(m_page.GetPane()->GetBytes(), "");
    EXPECT_FALSE(Button(1022)->isEnabled());
    EXPECT_FALSE(Button(1012)->isEnabled());
    m_page.GetWindow()->grab(); // painting reads no deleted record
}

TEST_F(ListDlgTest, APurgeOfTheStoreAloneTakesTheRowsWithIt)
{
    CreatePage();
    AddExchange("/a");
    AddExchange("/open", false);
    m_page.OnRefresh();
    Store().PurgeClosedConnections(); // nobody cleared the Listing first
    EXPECT_EQ(m_page.GetModel()->rowCount(), 0);
    m_page.GetWindow()->grab(); // painting reads no deleted record
    m_page.OnRefresh();
    EXPECT_EQ(m_page.GetModel()->rowCount(), 2);
}

TEST_F(ListDlgTest, ClearButtonClearsAllData)
{
    CreatePage();
    AddExchange("/a");
    AddExchange("/open", false);
    m_app.m_nBytesSent = 10;
    m_app.m_nBytesReceived = 20;
    m_page.OnRefresh();
    ClickRow(0);
    m_page.OnShow();

    QTest::mouseClick(Button(1011), Qt::LeftButton);
    EXPECT_EQ(m_page.GetModel()->rowCount(), 0);
    EXPECT_EQ(m_page.GetPane()->GetBytes(), "");
    EXPECT_FALSE(Button(1022)->isEnabled());
    EXPECT_FALSE(Button(1012)->isEnabled());
    EXPECT_EQ(m_app.m_nBytesSent, 0);
    EXPECT_EQ(m_app.m_nBytesReceived, 0);
    ASSERT_EQ(Store().GetConnections().size(), 1u); // the open connection stays
    m_page.GetWindow()->grab();
}

TEST_F(ListDlgTest, ClearListingWithoutWindowDoesNothing)
{
    CListDlg page(m_app);
    page.ClearListing();
    page.OnRefresh();
    page.OnShow();
    page.UpdateButtonStates();
    EXPECT_FALSE(page.HasWindow());
}

TEST_F(ListDlgTest, ListAndPaneShareTheWidth)
{
    CreatePage();
    CListingView* list = m_page.GetList();
    list->move(11, list->y());
    QWidget* window = m_page.GetWindow();
    window->resize(601, 333);
    QCoreApplication::processEvents();

    const QRect l = list->geometry();
    const QRect p = m_page.GetPane()->geometry();
    EXPECT_EQ(l.x(), 11);
    EXPECT_EQ(l.x() + l.width(), 601 / 2 - 5);
    EXPECT_EQ(l.y() + l.height(), 333 - 11);
    EXPECT_EQ(p.x(), 601 / 2 - 5 + 11);
    EXPECT_EQ(p.x() + p.width(), 601 - 11);
    EXPECT_EQ(p.y() + p.height(), 333 - 11);
}

} // namespace

TEST_F(ListDlgTest, PagesInTheirDeclaredCharsetsAreShownReadable)
{
    CreatePage();
    CTraceConnection* connection = Store().AddConnection(nullptr, false);
    connection->AddChunk(kSent, kHeader, "GET / HTTP/1.0\r\n\r\n");
    connection->AddChunk(kReceived, kHeader, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n"
                               "<meta charset=\"Shift_JIS\">\x93\xfa\x96\x7b\x8c\xea");
    connection->AddChunk(kSent, kHeader, "GET / HTTP/1.0\r\n\r\n");
    connection->AddChunk(kReceived, kHeader, "HTTP/1.0 200 OK\r\nContent-Type: text/plain; charset=windows-1252"
                               "\r\n\r\nna\xefve \x80 \x93quoted\x94");
    m_page.OnRefresh();
    for (const auto& [row, expected] : {std::pair{1, QStringLiteral("\u65e5\u672c\u8a9e")},
                                        std::pair{3, QStringLiteral("na\u00efve \u20ac \u201cquoted\u201d")}}) {
        m_page.GetList()->selectRow(row);
        m_page.OnShow();
        EXPECT_TRUE(m_page.GetPane()->toPlainText().endsWith(expected))
            << m_page.GetPane()->toPlainText().toStdString();
    }
}

TEST_F(ListDlgTest, TextsTheBudgetTakesLeaveTheRowsInPlaceWithTheNote)
{
    CreatePage();
    for (int i = 0; i < 30; ++i) {
        CTraceConnection* connection = Store().AddConnection(nullptr, false);
        connection->AddChunk(kSent, kHeader, "GET /" + std::to_string(i) + " HTTP/1.0\r\n\r\n");
        connection->AddChunk(kReceived, kHeader, "HTTP/1.0 200 OK\r\n\r\n" + std::string(4000, 'x'));
    }
    m_page.OnRefresh();
    ASSERT_EQ(m_page.GetModel()->rowCount(), 60);
    Store().SetMemoryBudget(1 << 20);
    Store().SetMemoryBudget(60 << 10); // takes the oldest texts out of the rows' records
    EXPECT_EQ(m_page.GetModel()->rowCount(), 60);
    m_page.GetWindow()->grab(); // painting reads every row as before
    m_page.GetList()->selectRow(1);
    m_page.OnShow();
    EXPECT_EQ(m_page.GetPane()->GetBytes(), "HTTP/1.0 200 OK\r\n\r\n[dropped: memory budget]\r\n");
    m_page.GetList()->selectRow(59);
    m_page.OnShow();
    EXPECT_EQ(m_page.GetPane()->GetBytes(), "HTTP/1.0 200 OK\r\n\r\n" + std::string(4000, 'x'));
    m_page.OnRefresh();
    EXPECT_EQ(m_page.GetModel()->rowCount(), 60);
}
