#include "ShellFixture.h"

#include "app/HttpsEngine.h"
#include "ui/shell/DialogUnits.h"
#include "ui/viewers/ListingModel.h"
#include "ui/viewers/TextPane.h"

#include <QCheckBox>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <cstdlib>

namespace {

class MainPropSheetTest : public ShellFixture {
protected:
    void SetUp() override
    {
        ShellFixture::SetUp();
        StoreSettings("localhost", "0");
    }

    // Switches pages the way the user does: a click on the tab.
    void ClickTab(int index)
    {
        QTabBar* bar = m_sheet->GetTabControl()->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
        ASSERT_EQ(m_sheet->GetActiveIndex(), index);
    }

    // The active page's rectangle lies kPageInset pixels inside the tab control.
    void ExpectPageInset()
    {
        QWidget* page = m_sheet->GetActivePage()->GetWindow();
        const QWidget* tabs = m_sheet->GetTabControl();
        EXPECT_EQ(tabs->geometry(), m_sheet->rect());
        EXPECT_EQ(page->x() + page->width(), tabs->width() - CMainPropSheet::kPageInset);
        EXPECT_EQ(page->y() + page->height(), tabs->height() - CMainPropSheet::kPageInset);
        EXPECT_EQ(page->geometry(), m_sheet->GetPageRect());
    }
};

TEST_F(MainPropSheetTest, OneWindowWithEightTabsInOrder)
{
    ASSERT_TRUE(Start());
    EXPECT_EQ(m_sheet->windowTitle(), "Kestrune");
    EXPECT_TRUE(m_sheet->isVisible());
    EXPECT_FALSE(m_sheet->windowIcon().isNull());
    QTabWidget* tabs = m_sheet->GetTabControl();
    ASSERT_EQ(tabs->count(), 8);
    const QStringList titles = {"Setup", "Request Viewer", "Response Viewer",
                                "Listing", "Exchanges", "Debug", "HTTPS", "About"};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(tabs->tabText(i), titles[i]);
    // No sheet buttons: every push button belongs to a page.
    for (QPushButton* button : m_sheet->findChildren<QPushButton*>())
        EXPECT_TRUE(m_sheet->GetSettingsPage().GetWindow()->isAncestorOf(button))
            << button->text().toStdString();

    // Only the Setup page has a window until another tab is shown.
    EXPECT_EQ(m_sheet->GetActiveIndex(), 0);
    EXPECT_TRUE(m_sheet->GetSettingsPage().HasWindow());
    for (int i = 1; i < 8; ++i)
        EXPECT_FALSE(m_sheet->GetPage(i)->HasWindow()) << i;
}

TEST_F(MainPropSheetTest, PagesAreMadeOnFirstShowAndActivatedOnTabChanges)
{
    ASSERT_TRUE(Start());
    ClickTab(1);
    CViewTraceDlg& request = m_sheet->GetRequestPage();
    ASSERT_TRUE(request.HasWindow());
    EXPECT_EQ(request.GetWindow()->objectName(), "131");
    EXPECT_TRUE(request.GetWindow()->isVisible());
    EXPECT_FALSE(m_sheet->GetSettingsPage().GetWindow()->isVisible());
    EXPECT_NE(request.GetTimerId(), 0);

    ClickTab(3);
    EXPECT_EQ(request.GetTimerId(), 0);
    EXPECT_FALSE(request.GetWindow()->isVisible());
    EXPECT_TRUE(m_sheet->GetListPage().GetWindow()->isVisible());
    EXPECT_FALSE(m_sheet->GetResponsePage().HasWindow());

    ClickTab(1);
    EXPECT_NE(request.GetTimerId(), 0);
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(MainPropSheetTest, StartsTenPixelsLargerThanThePagesAndCentred)
{
    ASSERT_TRUE(Start());
    // Ten pixels larger, and wider still if the Listing's top row needs it.
    EXPECT_EQ(m_sheet->height(), m_sheet->GetTemplateWindowSize().height() + 10);
    EXPECT_GE(m_sheet->width(), m_sheet->GetTemplateWindowSize().width() + 10);
    // The page area fits the widest and the tallest page template.
    const CDialogUnits units(m_sheet->font());
    EXPECT_GE(m_sheet->GetPageRect().width(), units.X(355));
    EXPECT_GE(m_sheet->GetPageRect().height(), units.Y(213));

    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    const QPoint centre = m_sheet->frameGeometry().center();
    EXPECT_LE(std::abs(centre.x() - screenCentre.x()), 1);
    EXPECT_LE(std::abs(centre.y() - screenCentre.y()), 1);
    ExpectPageInset();

    // At that size the Listing's top row shows whole: no control covers the text of the one
    // before it, and the filter field has room inside the page.
    ClickTab(3);
    QWidget* page = m_sheet->GetListPage().GetWindow();
    const auto* fix = page->findChild<QCheckBox*>("1029");
    const auto* autoRefresh = page->findChild<QCheckBox*>("1030");
    const auto* filter = page->findChild<QLineEdit*>("1031");
    ASSERT_TRUE(fix && autoRefresh && filter);
    EXPECT_GE(autoRefresh->x(), fix->x() + fix->sizeHint().width());
    EXPECT_GT(filter->x(), autoRefresh->x() + autoRefresh->sizeHint().width());
    EXPECT_LE(filter->geometry().right(), page->width() - units.X(7));
    EXPECT_GE(filter->width(), 150);
}

TEST_F(MainPropSheetTest, ActivePageKeepsFivePixelsInsideTheTabsAfterEveryResize)
{
    ASSERT_TRUE(Start());
    const QPoint topLeft = m_sheet->GetPageRect().topLeft();
    m_sheet->resize(900, 700);
    ExpectPageInset();
    EXPECT_EQ(m_sheet->GetPageRect().topLeft(), topLeft);

    m_sheet->resize(500, 400);
    ExpectPageInset();

    // A page shown later is stretched at once, not at the next resize.
    ClickTab(3);
    ExpectPageInset();
    EXPECT_EQ(m_sheet->GetPageRect().topLeft(), topLeft);

    // Too small for the page: it shrinks to nothing rather than turning inside out.
    m_sheet->resize(3, 3);
    EXPECT_GE(m_sheet->GetPageRect().width(), 0);
    EXPECT_GE(m_sheet->GetPageRect().height(), 0);
}

TEST_F(MainPropSheetTest, ClearDataEmptiesEverythingButTheDebugPane)
{
    ASSERT_TRUE(Start());
    for (int tab : {1, 2, 3, 4, 5})
        ClickTab(tab);
    AddClosedConnection({{kSent, "GET /x HTTP/1.0\r\n\r\n"}, {kReceived, "HTTP/1.0 200 OK\r\n\r\nbody"}});
    ClickTab(3);
    m_sheet->GetListPage().OnRefresh();
    ASSERT_EQ(m_sheet->GetListPage().GetModel()->rowCount(), 2);
    m_sheet->GetRequestPage().GetPane()->SetBytes("request text");
    m_sheet->GetResponsePage().GetPane()->SetBytes("response text");
    m_sheet->GetDebugPage().GetPane()->SetBytes("debug text");
    m_app->m_pTraceStore->AppendDebugText("pending\r\n");
    ASSERT_GT(m_app->m_nBytesSent, 0);
    ASSERT_GT(m_app->m_nBytesReceived, 0);

    ClickTab(0);
    QTest::mouseClick(Control<QPushButton>(m_sheet->GetSettingsPage(), 1011), Qt::LeftButton);

    EXPECT_EQ(m_app->m_nBytesSent, 0);
    EXPECT_EQ(m_app->m_nBytesReceived, 0);
    EXPECT_EQ(m_sheet->GetRequestPage().GetPane()->GetBytes(), "");
    EXPECT_EQ(m_sheet->GetResponsePage().GetPane()->GetBytes(), "");
    EXPECT_EQ(m_sheet->GetListPage().GetModel()->rowCount(), 0);
    EXPECT_TRUE(m_app->m_pTraceStore->GetConnections().empty());
    EXPECT_EQ(m_app->m_pTraceStore->GetRequestCount(), 0);
    EXPECT_EQ(m_app->m_pTraceStore->GetResponseCount(), 0);
    EXPECT_EQ(m_app->m_pTraceStore->GetDebugCount(), 0);
    EXPECT_EQ(m_sheet->GetDebugPage().GetPane()->GetBytes(), "debug text");
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(MainPropSheetTest, ClearDataBeforeAnyViewerWasShown)
{
    ASSERT_TRUE(Start());
    AddClosedConnection({{kSent, "GET /x HTTP/1.0\r\n\r\n"}});
    m_sheet->ClearAllData();
    EXPECT_TRUE(m_app->m_pTraceStore->GetConnections().empty());
    EXPECT_EQ(m_app->m_nBytesSent, 0);
    EXPECT_FALSE(m_sheet->GetRequestPage().HasWindow());
}

TEST_F(MainPropSheetTest, ClosingEndsTheRunWithoutAQuestion)
{
    ASSERT_TRUE(Start());
    QSignalSpy closed(m_sheet, &CMainPropSheet::sheetClosed);
    EXPECT_TRUE(m_sheet->close());
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(m_sheet->isVisible());
    EXPECT_TRUE(m_messages.empty());
    // The application's shutdown order takes the sheet, the store and the listener.
    m_app->ExitInstance();
    EXPECT_EQ(m_app->m_pPropSheet, nullptr);
    EXPECT_EQ(m_app->m_pTraceStore, nullptr);
    EXPECT_EQ(m_app->m_pListener, nullptr);
}

TEST_F(MainPropSheetTest, AboutPageShowsVersionAndSelectableContacts)
{
    ASSERT_TRUE(Start());
    ClickTab(7);
    CAboutDlg& about = m_sheet->GetAboutPage();
    QStringList texts;
    for (QLabel* label : about.GetWindow()->findChildren<QLabel*>())
        texts << label->text();
    EXPECT_TRUE(texts.contains("Kestrune Version 2.1"));
    EXPECT_TRUE(texts.contains("For additional Information or newer versions, contact author at:"));

    for (int id : {1023, 1022}) {
        QLineEdit* field = Control<QLineEdit>(about, id);
        ASSERT_NE(field, nullptr) << id;
        EXPECT_TRUE(field->isReadOnly());
        EXPECT_FALSE(field->text().isEmpty());
        QTest::keyClicks(field, QStringLiteral("typed"));
        EXPECT_FALSE(field->text().contains("typed"));
        field->selectAll();
        EXPECT_EQ(field->selectedText(), field->text());
    }
    EXPECT_EQ(Control<QLineEdit>(about, 1023)->text(), "https://kestrune.example.org/");
    // Opening the About page changes nothing.
    EXPECT_EQ(m_listenPorts.size(), 2u);
}

TEST_F(MainPropSheetTest, HttpsPageStoresItsSwitchesAndManagesTheRoot)
{
    ASSERT_TRUE(Start());
    ClickTab(6);
    CHttpsDlg& https = m_sheet->GetHttpsPage();
    EXPECT_EQ(https.GetWindow()->objectName(), "138");
    QCheckBox* decrypt = Control<QCheckBox>(https, 1101);
    EXPECT_FALSE(decrypt->isChecked()); // off by default
    Control<QLineEdit>(https, 1102)->setText(" *.example.com ");
    decrypt->click(); // takes effect at once and is stored
    EXPECT_TRUE(m_app->m_pHttps->GetSettings().decrypt);
    EXPECT_EQ(m_app->m_pHttps->GetSettings().decryptHosts, "*.example.com");
    EXPECT_TRUE(CSettingsRegistry().GetDecryptHttps());
    EXPECT_EQ(CSettingsRegistry().GetDecryptHosts(), "*.example.com");

    const QString fingerprint = Control<QLineEdit>(https, 1106)->text();
    EXPECT_EQ(fingerprint.size(), 95);
    EXPECT_TRUE(Control<QLineEdit>(https, 1107)->text().startsWith(ShellConfigHome::StoreDir()));
    const QString exported = ShellConfigHome::StoreDir() + "/exported.pem";
    https.SetExportFileChooser([&](QWidget*) { return exported; });
    QTest::mouseClick(Control<QPushButton>(https, 1104), Qt::LeftButton);
    QFile file(exported);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().startsWith("-----BEGIN CERTIFICATE-----"));
    QTest::mouseClick(Control<QPushButton>(https, 1105), Qt::LeftButton);
    EXPECT_NE(Control<QLineEdit>(https, 1106)->text(), fingerprint);
    EXPECT_TRUE(m_messages.empty());
}

} // namespace
