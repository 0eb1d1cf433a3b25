// Replay and Edit and Resend from the Exchanges page, against a loopback origin: the keys, the
// row's marker, the editor's refusals and what the origin gets.
#include "ViewerTestFixture.h"

#include "support/EventLoopWait.h"
#include "support/LoopbackServer.h"
#include "trace/Exchange.h"
#include "ui/viewers/ExchangeModel.h"
#include "ui/viewers/ExchangesDlg.h"
#include "ui/viewers/ResendDlg.h"

#include <QTest>

#include <mutex>

namespace {

class ResendDlgTest : public ViewerTestFixture {
protected:
    void SetUp() override
    {
        ViewerTestFixture::SetUp();
        m_page.CreateWindow(m_parent.get());
        m_parent->show();
    }

    // An exchange as the relay would have recorded a POST to the origin.
    void Record(int port)
    {
        auto e = Store().AddExchange();
        e->m_strHost = "127.0.0.1";
        e->m_nPort = static_cast<std::uint16_t>(port);
        e->m_strMethod = "POST";
        e->m_strTarget = "http://127.0.0.1:" + std::to_string(port) + "/form";
        e->m_strRequestHead =
            "POST " + e->m_strTarget + " HTTP/1.1\r\nHost: x.test\r\nContent-Length: 3\r\n\r\n";
        e->m_RequestBody = {"a=1", 3};
        m_page.OnFollow();
    }

    std::string Origin()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_seen;
    }

    std::mutex m_lock;
    std::string m_seen; // every request the origin read
    LoopbackServer m_origin{[this](BlockingStream& s) {
        std::string request = s.ReadUntil("\r\n\r\n");
        const std::size_t body = request.size() - (request.find("\r\n\r\n") + 4);
        request += s.ReadExactly(std::stoul(request.substr(request.find("Length: ") + 8)) - body);
        std::lock_guard<std::mutex> hold(m_lock);
        m_seen += request;
        s.Write("HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n");
    }};
    CExchangesDlg m_page{m_app};
};

TEST_F(ResendDlgTest, ReplayKeyAndEditorSendNewExchangesAndTheEditorRefusesBadInput)
{
    Record(m_origin.Port());
    m_parent->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_parent.get()));
    CListingView* list = m_page.GetList();
    list->setFocus();
    auto selectFirst = [&] {
        list->selectionModel()->setCurrentIndex(m_page.GetModel()->index(0, 0),
                                                QItemSelectionModel::ClearAndSelect
                                                    | QItemSelectionModel::Rows);
    };
    selectFirst();
    QTest::keyClick(list, Qt::Key_R);
    ASSERT_EQ(Store().GetExchanges().size(), 2u);
    const CExchange& replay = *Store().GetExchanges()[1];
    ASSERT_TRUE(RunUntil([&] { return !replay.IsOpen(); }, 10000));
    EXPECT_EQ(Origin(), "POST /form HTTP/1.1\r\nHost: x.test\r\nContent-Length: 3\r\n\r\na=1");
    m_page.OnFollow();
    EXPECT_EQ(
        m_page.GetModel()->data(m_page.GetModel()->index(1, CExchangeModel::colPath)).toString(),
        "/form  (replay of #1)");
    EXPECT_EQ(list->currentIndex().row(), 1); // the new row is the one shown

    selectFirst();
    QTest::keyClick(list, Qt::Key_R, Qt::ShiftModifier);
    auto* editor = m_parent->findChild<CResendDlg*>();
    ASSERT_TRUE(editor);
    // Refused in the editor, never sent: the message says why.
    const struct {
        const char* url;
        const char* name;
        bool hex;
        const char* body;
        const char* says;
    } bad[] = {
        {"http:///form", "Host", false, "a=1", "no host"},
        {nullptr, "Host", true, "61 3", "no hex"},
    };
    const QString url = editor->GetUrl()->text();
    for (const auto& c : bad) {
        editor->GetUrl()->setText(c.url ? QString(c.url) : url);
        editor->GetHeaders()->item(0, 0)->setText(c.name);
        editor->GetHexBox()->setChecked(c.hex);
        editor->GetBody()->setPlainText(c.body);
        EXPECT_FALSE(editor->Send()) << c.says;
        EXPECT_TRUE(editor->GetMessage()->text().contains(c.says))
            << editor->GetMessage()->text().toStdString();
    }
    EXPECT_EQ(Store().GetExchanges().size(), 2u);

    editor->GetHexBox()->setChecked(false);
    editor->GetHeaders()->item(0, 1)->setText("edited.test");
    editor->GetBody()->setPlainText("a=1&b=22");
    EXPECT_EQ(editor->GetHeaders()->item(1, 1)->text(), "8"); // the length follows the body
    ASSERT_TRUE(editor->Send());
    ASSERT_EQ(Store().GetExchanges().size(), 3u);
    ASSERT_TRUE(RunUntil([&] { return !Store().GetExchanges()[2]->IsOpen(); }, 10000));
    EXPECT_TRUE(Origin().ends_with(
        "POST /form HTTP/1.1\r\nHost: edited.test\r\nContent-Length: 8\r\n\r\na=1&b=22"));
    EXPECT_TRUE(editor->isVisible()); // open for the next try
    editor->close();
}

} // namespace
