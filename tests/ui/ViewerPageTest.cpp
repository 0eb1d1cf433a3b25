#include "ViewerTestFixture.h"

#include "trace/TraceConnection.h"
#include "trace/TraceRecord.h"
#include "ui/shell/DialogUnits.h"
#include "ui/viewers/DebugDlg.h"
#include "ui/viewers/RecieveDataWatcherDlg.h"
#include "ui/viewers/ViewTraceDlg.h"

#include <QApplication>
#include <QClipboard>
#include <QTest>
#include <QTimerEvent>

namespace {

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

template <typename T>
T* Child(CPropertyPage& page, int id)
{
    return page.GetWindow()->findChild<T*>(QString::number(id));
}

// The page's controls with numeric names, in the order Tab visits them.
std::vector<QString> TabOrder(QWidget* first)
{
    std::vector<QString> names;
    QWidget* w = first;
    for (int i = 0; i < 64; ++i) {
        bool numeric = false;
        w->objectName().toInt(&numeric);
        if (numeric && (names.empty() || names.front() != w->objectName()))
            names.push_back(w->objectName());
        else if (numeric)
            break;
        w = w->nextInFocusChain();
    }
    return names;
}

class ViewerPageTest : public ViewerTestFixture {
protected:
    void PutRequest(const std::string& text) { Store().AppendRequestText(text, std::string()); }
};

TEST_F(ViewerPageTest, RequestViewerIsLaidOutFromItsTemplate)
{
    CViewTraceDlg page(m_app);
    EXPECT_EQ(page.GetTitle(), "Request Viewer");
    QWidget* window = page.CreateWindow(m_parent.get());
    CDialogUnits dlu(window->font());
    EXPECT_EQ(window->size(), dlu.Size(295, 168));

    auto* clear = Child<QPushButton>(page, 1011);
    auto* copy = Child<QPushButton>(page, 1012);
    auto* freeze = Child<QCheckBox>(page, 1013);
    auto* pane = Child<CTextPane>(page, 1007);
    ASSERT_TRUE(clear && copy && freeze && pane);
    EXPECT_EQ(clear->text(), "&Clear");
    EXPECT_EQ(copy->text(), "Co&py");
    EXPECT_EQ(freeze->text(), "&Freeze");
    EXPECT_FALSE(freeze->isChecked());
    EXPECT_EQ(clear->geometry(), dlu.Rect(7, 7, 39, 13));
    EXPECT_EQ(copy->geometry(), dlu.Rect(49, 7, 39, 13));
    EXPECT_EQ(freeze->geometry(), dlu.Rect(97, 7, 45, 14));
    auto* refresh = window->findChild<QLabel*>();
    ASSERT_TRUE(refresh);
    EXPECT_EQ(refresh->text(), "3 second refresh rate");
    EXPECT_EQ(refresh->geometry(), dlu.Rect(147, 7, 82, 12));

    // Laid out at creation: the pane keeps its left and top, same margin right and bottom.
    const QRect paneRect = pane->geometry();
    EXPECT_EQ(paneRect.topLeft(), dlu.Rect(7, 25, 275, 136).topLeft());
    EXPECT_EQ(window->width() - (paneRect.x() + paneRect.width()), paneRect.x());
    EXPECT_EQ(window->height() - (paneRect.y() + paneRect.height()), paneRect.x());

    EXPECT_EQ(pane->focusPolicy(), Qt::ClickFocus); // not a tab stop
    EXPECT_EQ(pane->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_FALSE(pane->isReadOnly());
    EXPECT_EQ(TabOrder(clear), (std::vector<QString>{"1011", "1012", "1013", "1007"}));
}

TEST_F(ViewerPageTest, ResponseAndDebugPagesDifferWhereTheirTemplatesDo)
{
    CRecieveDataWatcherDlg response(m_app);
    CDebugDlg debug(m_app);
    EXPECT_EQ(response.GetTitle(), "Response Viewer");
    EXPECT_EQ(debug.GetTitle(), "Debug");
    response.CreateWindow(m_parent.get());
    debug.CreateWindow(m_parent.get());
    CDialogUnits dlu(debug.GetWindow()->font());

    EXPECT_EQ(response.GetWindow()->size(), dlu.Size(316, 151));
    ASSERT_TRUE(Child<CTextPane>(response, 1008));
    EXPECT_EQ(Child<CTextPane>(response, 1008)->focusPolicy(), Qt::StrongFocus);
    EXPECT_EQ(response.GetWindow()->findChild<QLabel*>()->geometry(), dlu.Rect(149, 7, 82, 12));

    // The Debug page neither lays out at creation nor shows the refresh-rate text.
    EXPECT_EQ(debug.GetWindow()->size(), dlu.Size(276, 165));
    ASSERT_TRUE(Child<CTextPane>(debug, 1018));
    EXPECT_EQ(Child<CTextPane>(debug, 1018)->geometry(), dlu.Rect(7, 23, 215, 120));
    EXPECT_EQ(debug.GetWindow()->findChild<QLabel*>(), nullptr);
    EXPECT_EQ(TabOrder(Child<QPushButton>(debug, 1011)),
              (std::vector<QString>{"1011", "1012", "1013", "1018"}));
}

TEST_F(ViewerPageTest, ViewersPullOnceAtCreationButDebugWaitsForItsTimer)
{
    m_app.m_bDebugTrace = 1;
    PutRequest("GET / HTTP/1.0\r\n\r\n");
    Store().AppendDebugText("CListen::CListen\r\n");

    CViewTraceDlg request(m_app);
    CDebugDlg debug(m_app);
    request.CreateWindow(m_parent.get());
    debug.CreateWindow(m_parent.get());
    EXPECT_EQ(request.GetPane()->GetBytes(), "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Store().GetRequestCount(), 0);
    EXPECT_EQ(debug.GetPane()->GetBytes(), "");
    EXPECT_EQ(Store().GetDebugCount(), 18);

    debug.OnSetActive();
    QTimerEvent tick(debug.GetTimerId());
    QCoreApplication::sendEvent(debug.GetWindow(), &tick);
    EXPECT_EQ(debug.GetPane()->GetBytes(), "CListen::CListen\r\n");
    EXPECT_EQ(Store().GetDebugCount(), 0);
}

TEST_F(ViewerPageTest, EachRecordArrivesBehindItsBanner)
{
    CViewTraceDlg request(m_app);
    CRecieveDataWatcherDlg response(m_app);
    request.CreateWindow(m_parent.get());
    response.CreateWindow(m_parent.get());
    request.OnSetActive();

    CTraceConnection* connection = Store().AddConnection(nullptr, false);
    connection->AddChunk(kSent, kHeader, "GET http://a/ HTTP/1.0\r\n\r\n");
    connection->AddChunk(kReceived, kHeader, "HTTP/1.0 200 OK\r\n\r\nhi");
    const CTraceRecord& sent = *connection->GetRecords()[0];
    const CTraceRecord& received = *connection->GetRecords()[1];

    QTimerEvent tick(request.GetTimerId());
    QCoreApplication::sendEvent(request.GetWindow(), &tick);
    EXPECT_EQ(request.GetPane()->GetBytes(), sent.GetBanner() + sent.GetFullText());
    // The Response Viewer is not active: its text waits in the feed.
    EXPECT_EQ(response.GetPane()->GetBytes(), "");
    response.PullFeed();
    EXPECT_EQ(response.GetPane()->GetBytes(), received.GetBanner() + received.GetFullText());
}

TEST_F(ViewerPageTest, TimerRunsOnlyWhileThePageIsActive)
{
    CViewTraceDlg page(m_app);
    page.OnSetActive(); // no window yet: nothing to run a timer on
    EXPECT_EQ(page.GetTimerId(), 0);

    page.CreateWindow(m_parent.get());
    EXPECT_EQ(page.GetTimerId(), 0);
    page.OnSetActive();
    const int first = page.GetTimerId();
    EXPECT_NE(first, 0);
    page.OnSetActive(); // activated twice: still one timer
    EXPECT_NE(page.GetTimerId(), 0);
    page.OnKillActive();
    EXPECT_EQ(page.GetTimerId(), 0);

    // A tick arriving after the page was left (a stale event) pulls harmlessly.
    PutRequest("late");
    QTimerEvent tick(first);
    QCoreApplication::sendEvent(page.GetWindow(), &tick);
    EXPECT_EQ(page.GetPane()->GetBytes(), "late");
}

TEST_F(ViewerPageTest, PaneRollsPastTheLimitBehindOneMarker)
{
    CViewTraceDlg page(m_app);
    page.CreateWindow(m_parent.get());
    const std::string start = "0123456789" + Repeat('a', PANE_LIMIT - 20);
    PutRequest(start); // 127990 characters
    page.PullFeed();
    ASSERT_EQ(page.GetPane()->GetByteLength(), PANE_LIMIT - 10);

    PutRequest(Repeat('b', 20));
    page.PullFeed();
    const std::string& shown = page.GetPane()->GetBytes();
    const std::string joined = start + Repeat('b', 20);
    EXPECT_EQ(shown.size(), PANE_LIMIT + 22);
    EXPECT_EQ(shown, std::string(kRolledPastMarker) + joined.substr(10));
    EXPECT_EQ(page.GetPane()->toPlainText().left(20), "*** rolled past ****");

    // The next roll cuts the old marker away with the oldest text.
    PutRequest(Repeat('c', 5));
    page.PullFeed();
    const std::string& again = page.GetPane()->GetBytes();
    EXPECT_EQ(again.size(), PANE_LIMIT + 22);
    EXPECT_EQ(again.find("rolled past"), again.rfind("rolled past"));
    EXPECT_EQ(again.substr(again.size() - 5), "ccccc");
}

TEST_F(ViewerPageTest, TextOfExactlyTheLimitIsKeptWhole)
{
    EXPECT_EQ(CViewerPage::RollPaneText(Repeat('x', PANE_LIMIT)), Repeat('x', PANE_LIMIT));
    const std::string over = "y" + Repeat('x', PANE_LIMIT);
    EXPECT_EQ(CViewerPage::RollPaneText(over), kRolledPastMarker + Repeat('x', PANE_LIMIT));
}

TEST_F(ViewerPageTest, FreezeHoldsThePaneWhileTheFeedFills)
{
    CViewTraceDlg page(m_app);
    page.CreateWindow(m_parent.get());
    PutRequest("one ");
    page.PullFeed();

    QTest::mouseClick(Child<QCheckBox>(page, 1013), Qt::LeftButton);
    ASSERT_TRUE(Child<QCheckBox>(page, 1013)->isChecked());
    PutRequest("two ");
    page.PullFeed();
    EXPECT_EQ(page.GetPane()->GetBytes(), "one ");
    EXPECT_EQ(Store().GetRequestCount(), 4);

    QTest::mouseClick(Child<QCheckBox>(page, 1013), Qt::LeftButton);
    page.PullFeed();
    EXPECT_EQ(page.GetPane()->GetBytes(), "one two ");
}

TEST_F(ViewerPageTest, ClearEmptiesThePaneButNotTheFeed)
{
    CRecieveDataWatcherDlg page(m_app);
    page.CreateWindow(m_parent.get());
    Store().AppendResponseText("HTTP/1.0 200 OK\r\n", "\r\n-- banner --\r\n");
    page.PullFeed();
    ASSERT_FALSE(page.GetPane()->GetBytes().empty());

    Store().AppendResponseText("body", std::string());
    QTest::mouseClick(Child<QPushButton>(page, 1011), Qt::LeftButton);
    EXPECT_EQ(page.GetPane()->GetBytes(), "");
    EXPECT_EQ(page.GetPane()->toPlainText(), "");
    page.PullFeed();
    EXPECT_EQ(page.GetPane()->GetBytes(), "body");
}

TEST_F(ViewerPageTest, OperationsOnAPageWithoutWindowTouchNothing)
{
    CViewTraceDlg page(m_app);
    PutRequest("waiting");
    page.ClearPane();
    page.PullFeed();
    page.OnCopy();
    page.ResizeControls();
    page.OnKillActive();
    EXPECT_EQ(Store().GetRequestCount(), 7);
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(ViewerPageTest, CopyPutsTheWholeTextOnTheClipboardWithThePagesMessage)
{
    CViewTraceDlg request(m_app);
    CRecieveDataWatcherDlg response(m_app);
    CDebugDlg debug(m_app);
    request.CreateWindow(m_parent.get());
    response.CreateWindow(m_parent.get());
    debug.CreateWindow(m_parent.get());

    QApplication::clipboard()->setText("before");
    QTest::mouseClick(Child<QPushButton>(request, 1012), Qt::LeftButton);
    EXPECT_TRUE(m_messages.empty()); // an empty pane copies nothing
    EXPECT_EQ(QApplication::clipboard()->text(), "before");

    PutRequest("GET / HTTP/1.0\r\nHost: a\r\n\r\n");
    request.PullFeed();
    QTest::mouseClick(Child<QPushButton>(request, 1012), Qt::LeftButton);
    EXPECT_EQ(QApplication::clipboard()->text(), "GET / HTTP/1.0\r\nHost: a\r\n\r\n");
    EXPECT_EQ(request.GetPane()->textCursor().selectedText().size(),
              request.GetPane()->toPlainText().size());

    Store().AppendResponseText("HTTP/1.0 200 OK\r\n", std::string());
    response.PullFeed();
    response.OnCopy();

    m_app.m_bDebugTrace = 1;
    Store().AppendDebugText("CProxy::CProxy\r\n");
    debug.PullFeed();
    debug.OnCopy();
    EXPECT_EQ(QApplication::clipboard()->text(), "CProxy::CProxy\r\n");

    EXPECT_EQ(m_messages, (std::vector<std::string>{"Text copied to clipboard",
                                                    "Trace Recieve Data copied to clipboard",
                                                    "Text copied to clipboard"}));
}

TEST_F(ViewerPageTest, Utf8AndBinaryBytesAreShownWithoutLoss)
{
    CViewTraceDlg page(m_app);
    page.CreateWindow(m_parent.get());
    const std::string bytes("caf\xC3\xA9 \xFF\xFE nul:\0after\r\n", 21);
    PutRequest(bytes);
    page.PullFeed();
    EXPECT_EQ(page.GetPane()->GetBytes(), bytes);
    const QString shown = page.GetPane()->toPlainText();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("caf\u00e9 \uFFFD\uFFFD nul:")));
    EXPECT_TRUE(shown.contains(QChar(0)));
    EXPECT_TRUE(shown.contains(QStringLiteral("after")));

    // A character or a CR LF pair split between two pulls shows as if it came whole.
    page.ClearPane();
    PutRequest("x\xC3");
    page.PullFeed();
    PutRequest("\xA9y\r");
    page.PullFeed();
    PutRequest("\nz");
    page.PullFeed();
    EXPECT_EQ(page.GetPane()->toPlainText(), QStringLiteral("x\u00e9y\nz"));
    EXPECT_EQ(page.GetPane()->GetBytes(), "x\xC3\xA9y\r\nz");
}

TEST_F(ViewerPageTest, TextTypedByTheUserIsPartOfThePane)
{
    CViewTraceDlg page(m_app);
    page.CreateWindow(m_parent.get());
    m_parent->show();
    PutRequest("trace\r\n");
    page.PullFeed();

    CTextPane* pane = page.GetPane();
    pane->setFocus();
    pane->moveCursor(QTextCursor::End);
    QTest::keyClicks(pane, "note");
    EXPECT_TRUE(pane->IsUserEdited());
    PutRequest("more");
    page.PullFeed();
    EXPECT_EQ(pane->GetBytes(), "trace\r\nnotemore");
    EXPECT_EQ(pane->toPlainText(), "trace\nnotemore");
}

TEST_F(ViewerPageTest, MnemonicsReachTheButtons)
{
    CRecieveDataWatcherDlg page(m_app);
    page.CreateWindow(m_parent.get());
    m_parent->show();
    m_parent->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_parent.get(), 2000));
    Store().AppendResponseText("HTTP/1.0 200 OK\r\n", std::string());
    page.PullFeed();

    // A mnemonic presses its button visibly, so the click comes a moment later.
    QTest::keyClick(m_parent->windowHandle(), Qt::Key_F, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Child<QCheckBox>(page, 1013)->isChecked(); }, 2000));
    QTest::keyClick(m_parent->windowHandle(), Qt::Key_P, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !m_messages.empty(); }, 2000));
    EXPECT_EQ(m_messages, std::vector<std::string>{"Trace Recieve Data copied to clipboard"});
    QTest::keyClick(m_parent->windowHandle(), Qt::Key_C, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return page.GetPane()->GetBytes().empty(); }, 2000));
}

TEST_F(ViewerPageTest, PaneFollowsThePagesSize)
{
    CDebugDlg page(m_app);
    QWidget* window = page.CreateWindow(m_parent.get());
    window->resize(500, 400);
    page.ResizeControls();
    const QRect pane = page.GetPane()->geometry();
    EXPECT_EQ(pane.x() + pane.width(), 500 - pane.x());
    EXPECT_EQ(pane.y() + pane.height(), 400 - pane.x());

    // Through the window's own size events as well.
    m_parent->show();
    window->resize(300, 250);
    QCoreApplication::processEvents();
    const QRect smaller = page.GetPane()->geometry();
    EXPECT_EQ(smaller.x() + smaller.width(), 300 - smaller.x());
    EXPECT_EQ(smaller.y() + smaller.height(), 250 - smaller.x());
}

} // namespace
