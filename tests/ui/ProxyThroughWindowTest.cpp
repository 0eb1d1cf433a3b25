#include "ShellFixture.h"

#include "support/EventLoopWait.h"
#include "support/LoopbackServer.h"
#include "ui/viewers/ListingModel.h"
#include "ui/viewers/TextPane.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

namespace {

class ProxyThroughWindowTest : public ShellFixture {
protected:
    void ClickTab(int index)
    {
        QTabBar* bar = m_sheet->GetTabControl()->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
    }
};

// One page fetched through the running window shows up on every page that reads the trace.
TEST_F(ProxyThroughWindowTest, ARequestReachesTheViewersTheListingAndTheLog)
{
    StoreSettings("localhost", "0");
    ASSERT_TRUE(Start());
    const int proxyPort = m_app->GetListenPort();
    ASSERT_GT(proxyPort, 0);
    ClickTab(1); // the Request Viewer is showing while the traffic flows

    LoopbackServer origin([](BlockingStream& s) {
        s.ReadUntil("\r\n\r\n");
        s.Write("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello from origin");
        s.Close();
    });
    std::string reply;
    ASSERT_TRUE(RunClient([&] {
        BlockingStream client;
        if (!client.Connect(proxyPort))
            return;
        client.Write("GET http://127.0.0.1:" + std::to_string(origin.Port())
                     + "/page HTTP/1.0\r\n\r\n");
        reply = client.ReadToEnd();
    }));
    EXPECT_NE(reply.find("hello from origin"), std::string::npos) << reply;
    const auto& entries = m_app->m_pTraceStore->GetConnections();
    ASSERT_TRUE(RunUntil([&] { return entries.size() == 1 && !entries[0]->IsOpen(); }));

    // The Request Viewer's next tick brings the request in, path form, behind its banner.
    CViewTraceDlg& request = m_sheet->GetRequestPage();
    request.OnTimer(request.GetTimerId());
    const std::string shown = request.GetPane()->GetBytes();
    EXPECT_NE(shown.find(" (1-1) --------\r\nGET /page HTTP/1.0"), std::string::npos) << shown;

    // The counters follow at the Setup page's next tick.
    CSettingsDlg& setup = m_sheet->GetSettingsPage();
    setup.OnTimer(setup.GetTimerId());
    EXPECT_EQ(Control<QLabel>(setup, 1027)->text().toLongLong(), m_app->m_nBytesSent);
    EXPECT_GT(m_app->m_nBytesReceived, 0);
    EXPECT_EQ(Control<QLabel>(setup, 1028)->text().toLongLong(), m_app->m_nBytesReceived);

    // The Listing shows the request and its answer after Refresh.
    ClickTab(3);
    CListDlg& listing = m_sheet->GetListPage();
    QTest::mouseClick(Control<QPushButton>(listing, 1021), Qt::LeftButton);
    EXPECT_EQ(listing.GetModel()->rowCount(), 2);

    // Save and Clear writes both rows, then everything is cleared.
    ClickTab(0);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("trace.log"));
    QTest::keyClicks(Control<QLineEdit>(setup, 1025), path);
    QTest::mouseClick(Control<QPushButton>(setup, 1012), Qt::LeftButton);
    EXPECT_EQ(m_messages, std::vector<std::string>{"Kestrune written and cleared."});
    EXPECT_EQ(listing.GetModel()->rowCount(), 0);
    EXPECT_TRUE(entries.empty());

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines[1].startsWith("\"SEND\"\t\"1\"\t\"1\"")) << lines[1].constData();
    EXPECT_TRUE(lines[1].contains("\"GET /page HTTP/1.0\"")) << lines[1].constData();
    EXPECT_TRUE(lines[2].startsWith("\"RECIEVE\"\t\"1\"\t\"2\"")) << lines[2].constData();
    EXPECT_TRUE(lines[2].contains("\"HTTP/1.0 200 OK\"")) << lines[2].constData();
}

} // namespace
