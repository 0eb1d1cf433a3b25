#include "ShellFixture.h"

#include "trace/MemoryBudget.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"
#include "ui/viewers/ListDlg.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <tuple>
#include <vector>

namespace {

// Receives the URLs the Help button asks the desktop to open.
class UrlSink : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void Open(const QUrl& url) { urls.append(url); }
};

class SetupPageTest : public ShellFixture {
protected:
    CSettingsDlg& Page() { return m_sheet->GetSettingsPage(); }
    QLineEdit* Edit(int id) { return Control<QLineEdit>(Page(), id); }
    QLabel* Label(int id) { return Control<QLabel>(Page(), id); }
    QPushButton* Button(int id) { return Control<QPushButton>(Page(), id); }
    QCheckBox* Check(int id) { return Control<QCheckBox>(Page(), id); }

    void Click(int id)
    {
        QWidget* w = Control<QWidget>(Page(), id);
        ASSERT_NE(w, nullptr) << id;
        QTest::mouseClick(w, Qt::LeftButton);
    }
    void Retype(int id, const QString& text)
    {
        QLineEdit* edit = Edit(id);
        ASSERT_NE(edit, nullptr) << id;
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }
    void Tick() { Page().OnTimer(Page().GetTimerId()); }
};

TEST_F(SetupPageTest, FirstRunShowsTheDefaultsAppliedAndListens)
{
    ASSERT_TRUE(Start());
    EXPECT_EQ(Edit(1001)->text(), "localhost");
    EXPECT_EQ(Edit(1005)->text(), "8010");
    EXPECT_EQ(Edit(1008)->text(), "");
    EXPECT_EQ(Edit(1010)->text(), "");
    EXPECT_EQ(Label(1023)->text(), "localhost:8010");
    EXPECT_EQ(Label(1024)->text(), "none");
    EXPECT_FALSE(Button(1002)->isEnabled());
    EXPECT_TRUE(Check(1020)->isChecked());
    EXPECT_TRUE(Check(1021)->isChecked());
    EXPECT_FALSE(Check(1019)->isChecked());
    EXPECT_FALSE(Check(1026)->isEnabled());
    EXPECT_EQ(Label(1027)->text(), "0");
    EXPECT_EQ(Label(1028)->text(), "0");
    EXPECT_NE(Page().GetTimerId(), 0);

    // The page's initialisation listens, then start-up listens once more.
    EXPECT_EQ(m_listenPorts, (std::vector<std::string>{"8010", "8010"}));
    EXPECT_GT(m_app->GetListenPort(), 0);
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(m_app->m_strAddress, "localhost");
    EXPECT_EQ(m_app->m_bUseProxy, 0);
}

TEST_F(SetupPageTest, ControlsCarryTheirTextsAndTabOrder)
{
    ASSERT_TRUE(Start());
    EXPECT_EQ(Button(1002)->text(), "&Apply");
    EXPECT_EQ(Button(1007)->text(), "&Default");
    EXPECT_EQ(Button(1006)->text(), "&Cancel");
    EXPECT_EQ(Button(1013)->text(), "&Help");
    EXPECT_EQ(Button(1011)->text(), "&Clear Data");
    EXPECT_EQ(Button(1012)->text(), "&Save and Clear");
    EXPECT_EQ(Check(1026)->text(), "&Auto Log to File");
    EXPECT_EQ(Check(1020)->text(), "Enable Request Viewer");
    EXPECT_EQ(Label(1000)->text(), "Kestrune Address:");

    const std::vector<int> expected = {1001, 1005, 1008, 1010, 1002, 1007, 1006, 1013,
                                       1020, 1021, 1019, 1026, 1025, 1011, 1012};
    std::vector<int> order;
    QWidget* w = Edit(1001);
    for (int guard = 0; guard < 200 && order.size() < expected.size(); ++guard) {
        if (w->focusPolicy() & Qt::TabFocus)
            order.push_back(w->objectName().toInt());
        w = w->nextInFocusChain();
    }
    EXPECT_EQ(order, expected);

    // Ports take digits only; text put in by the program is shown as it is.
    Retype(1005, QStringLiteral("8a0b"));
    EXPECT_EQ(Edit(1005)->text(), "80");
}

TEST_F(SetupPageTest, ApplyStoresTrimmedAddressesAndRestartsListening)
{
    StoreSettings("localhost", "0");
    ASSERT_TRUE(Start());
    EXPECT_FALSE(Button(1002)->isEnabled());
    AddClosedConnection({{kSent, "GET / HTTP/1.0\r\n\r\n"}});
    const CListen* before = m_app->m_pListener.get();

    Retype(1001, QStringLiteral("  my.host  "));
    Retype(1008, QStringLiteral("  upstream.invalid "));
    Retype(1010, QStringLiteral("3128"));
    EXPECT_TRUE(Button(1002)->isEnabled());
    Click(1002);

    EXPECT_FALSE(Button(1002)->isEnabled());
    CSettingsRegistry store;
    EXPECT_EQ(store.GetAddress(), "my.host");
    EXPECT_EQ(store.GetPort(), "0");
    EXPECT_EQ(store.GetProxyAddress(), "upstream.invalid");
    EXPECT_EQ(store.GetProxyPort(), "3128");
    EXPECT_EQ(m_app->m_strAddress, "my.host");
    EXPECT_EQ(m_app->m_strProxyAddress, "upstream.invalid");
    EXPECT_EQ(m_app->m_bUseProxy, 1);
    EXPECT_EQ(Label(1023)->text(), "my.host:0");
    EXPECT_EQ(Label(1024)->text(), "upstream.invalid:3128");

    // Every apply clears the data and replaces the listener.
    EXPECT_EQ(m_listenPorts.size(), 3u);
    EXPECT_NE(m_app->m_pListener, nullptr);
    EXPECT_NE(m_app->m_pListener.get(), before);
    EXPECT_TRUE(m_app->m_pTraceStore->GetConnections().empty());
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(SetupPageTest, ProxyWithoutPortShowsALoneColonAndEmptyListenPortUsesASystemPort)
{
    StoreSettings("localhost", "0");
    ASSERT_TRUE(Start());
    Retype(1008, QStringLiteral("up.invalid"));
    Edit(1005)->clear();
    Click(1002);

    EXPECT_EQ(Label(1024)->text(), "up.invalid:");
    EXPECT_EQ(Label(1023)->text(), "localhost:0");
    EXPECT_EQ(m_app->m_strPort, "0");
    EXPECT_GT(m_app->GetListenPort(), 0);
    // Stored empty, so the next run shows the default again.
    EXPECT_EQ(CSettingsRegistry().GetPort(), "8010");
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(SetupPageTest, UpstreamPasswordStaysOutOfTheSettingsTheFieldAndTheLabels)
{
    // No session bus: the test never reaches a real keyring, and storing must say it failed.
    const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kestrune-test-bus");
    StoreSettings("localhost", "0");
    ASSERT_TRUE(Start());
    Retype(1008, QStringLiteral("me:s3cr3t!@[::1]"));
    Retype(1010, QStringLiteral("3128"));
    Click(1002);
    EXPECT_EQ(Edit(1008)->text(), "me@[::1]");
    EXPECT_EQ(Label(1024)->text(), "me@[::1]:3128");
    EXPECT_EQ(m_app->m_strProxyPassword, "s3cr3t!");
    EXPECT_EQ(m_app->UpstreamHost(), "::1");
    QStringList files = QDir(ShellConfigHome::StoreDir()).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    QFile stored(ShellConfigHome::StoreDir() + "/" + files[0]);
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    const QByteArray text = stored.readAll();
    EXPECT_TRUE(text.contains("me@[::1]") && !text.contains("s3cr3t")) << text.toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !m_messages.empty(); }, 20000));
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_NE(m_messages[0].find("for this run only"), std::string::npos) << m_messages[0];
    // Cancel puts "me@[::1]" back: the password of the run stays.
    Click(1006);
    EXPECT_EQ(m_app->m_strProxyPassword, "s3cr3t!");
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
}

TEST_F(SetupPageTest, CancelPutsTheRunningValuesBackAndStillApplies)
{
    StoreSettings("localhost", "0", "up.invalid", "81");
    ASSERT_TRUE(Start());
    Retype(1001, QStringLiteral("other"));
    Retype(1008, QStringLiteral("elsewhere.invalid"));
    m_app->m_nBytesSent = 42;
    const std::size_t starts = m_listenPorts.size();

    Click(1006);
    EXPECT_EQ(Edit(1001)->text(), "localhost");
    EXPECT_EQ(Edit(1008)->text(), "up.invalid");
    EXPECT_EQ(Edit(1010)->text(), "81");
    EXPECT_EQ(Edit(1005)->text(), "0");
    EXPECT_FALSE(Button(1002)->isEnabled());
    EXPECT_EQ(m_listenPorts.size(), starts + 1);
    EXPECT_EQ(m_app->m_nBytesSent, 0);
    EXPECT_EQ(CSettingsRegistry().GetAddress(), "localhost");
}

TEST_F(SetupPageTest, DefaultClearsTheUpstreamProxyAndStoresTheDefaults)
{
    StoreSettings("somewhere", "0", "up.invalid", "8080");
    ASSERT_TRUE(Start());
    EXPECT_EQ(m_app->m_bUseProxy, 1);
    EXPECT_EQ(Label(1024)->text(), "up.invalid:8080");

    Click(1007);
    EXPECT_EQ(Edit(1001)->text(), "localhost");
    EXPECT_EQ(Edit(1005)->text(), "8010");
    EXPECT_EQ(Edit(1008)->text(), "");
    EXPECT_EQ(Edit(1010)->text(), "");
    EXPECT_EQ(Label(1024)->text(), "none");
    EXPECT_EQ(m_app->m_bUseProxy, 0);
    EXPECT_EQ(m_listenPorts.back(), "8010");
    CSettingsRegistry store;
    EXPECT_EQ(store.GetAddress(), "localhost");
    EXPECT_EQ(store.GetPort(), "8010");
    EXPECT_EQ(store.GetProxyAddress(), "");
}

TEST_F(SetupPageTest, TraceSwitchesWriteTheApplicationFields)
{
    StoreSettings("localhost", "0");
    ASSERT_TRUE(Start());
    Click(1020);
    Click(1021);
    Click(1019);
    EXPECT_EQ(m_app->m_bRequestViewer, 0);
    EXPECT_EQ(m_app->m_bResponseViewer, 0);
    EXPECT_EQ(m_app->m_bDebugTrace, 1);
    Click(1020);
    Click(1019);
    EXPECT_EQ(m_app->m_bRequestViewer, 1);
    EXPECT_EQ(m_app->m_bDebugTrace, 0);
    // None of them is an applied setting.
    EXPECT_FALSE(Button(1002)->isEnabled());

    // Decoding starts off, below the trace options, and is stored at once.
    EXPECT_EQ(Check(1030)->text(), "Decode compressed bodies");
    EXPECT_FALSE(Check(1030)->isChecked());
    EXPECT_EQ(m_app->m_bDecodeBodies, 0);
    Click(1030);
    EXPECT_EQ(m_app->m_bDecodeBodies, 1);
    EXPECT_TRUE(CSettingsRegistry().GetDecodeBodies());
    Click(1030);
    EXPECT_FALSE(CSettingsRegistry().GetDecodeBodies());
}

TEST_F(SetupPageTest, AutoLogFollowsTheLogFileNameAndOnlyExplains)
{
    StoreSettings("localhost", "0");
    ASSERT_TRUE(Start());
    QCheckBox* autoLog = Check(1026);
    Retype(1025, QStringLiteral("   "));
    EXPECT_FALSE(autoLog->isEnabled());
    QTest::keyClicks(Edit(1025), QStringLiteral("trace.log"));
    EXPECT_TRUE(autoLog->isEnabled());

    Click(1026);
    EXPECT_EQ(m_messages, std::vector<std::string>{
                              "Function not available yet.  Check website for newer version."});
    EXPECT_TRUE(autoLog->isChecked());

    Edit(1025)->clear();
    EXPECT_FALSE(autoLog->isEnabled());
}

TEST_F(SetupPageTest, CountersAreRewrittenOnlyWhenTheyChange)
{
    StoreSettings("localhost", "0");
    ASSERT_TRUE(Start());
    m_app->m_nBytesSent = 5'000'000'000LL; // past 32 bits
    m_app->m_nBytesReceived = 7;
    Tick();
    EXPECT_EQ(Label(1027)->text(), "5000000000");
    EXPECT_EQ(Label(1028)->text(), "7");

    // Unchanged numbers leave the labels alone.
    Label(1027)->setText(QStringLiteral("untouched"));
    Tick();
    EXPECT_EQ(Label(1027)->text(), "untouched");

    Click(1011); // Clear Data
    Tick();
    EXPECT_EQ(Label(1027)->text(), "0");
    EXPECT_EQ(Label(1028)->text(), "0");
}

TEST_F(SetupPageTest, SaveAndClearWritesTheLogThenClears)
{
    StoreSettings("localhost", "0");
    ASSERT_TRUE(Start());
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    AddClosedConnection({{kSent, "GET /a HTTP/1.0\r\n\r\n"}, {kReceived, "HTTP/1.0 200 OK\r\n\r\nhello"}});

    Click(1012);
    EXPECT_EQ(m_messages, std::vector<std::string>{"Specify Log File Name"});
    EXPECT_EQ(m_app->m_pTraceStore->GetConnections().size(), 1u);

    m_messages.clear();
    const QString path = dir.filePath(QStringLiteral("trace.log"));
    QTest::keyClicks(Edit(1025), QStringLiteral("  ") + path + QStringLiteral(" "));
    Click(1012);
    EXPECT_EQ(m_messages, std::vector<std::string>{"Kestrune written and cleared."});
    EXPECT_TRUE(m_app->m_pTraceStore->GetConnections().empty());
    EXPECT_EQ(m_app->m_nBytesSent, 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray log = file.readAll();
    EXPECT_TRUE(log.startsWith("\"Type\"\t\"ID1\"")) << log.constData();
    EXPECT_TRUE(log.contains("\"SEND\"")) << log.constData();
    EXPECT_TRUE(log.contains("\"GET /a HTTP/1.0\"")) << log.constData();
    EXPECT_TRUE(log.contains("\"HTTP/1.0 200 OK\"")) << log.constData();
}

TEST_F(SetupPageTest, HelpOpensTheDocumentBesideTheProgramOrExplains)
{
    StoreSettings("localhost", "0");
    ASSERT_TRUE(Start());
    UrlSink sink;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &sink, "Open");

    const QString beside = CSettingsDlg::HelpCandidates().first();
    const bool madeHere = !QFile::exists(beside);
    if (madeHere) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(beside).absolutePath()));
        QFile file(beside);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("<html></html>");
    }
    Click(1013);
    ASSERT_EQ(sink.urls.size(), 1);
    EXPECT_EQ(sink.urls[0], QUrl::fromLocalFile(beside));
    EXPECT_TRUE(m_messages.empty());

    if (madeHere) {
        QFile::remove(beside);
        QDir().rmdir(QFileInfo(beside).absolutePath());
        bool installed = false;
        for (const QString& candidate : CSettingsDlg::HelpCandidates())
            installed = installed || QFile::exists(candidate);
        if (!installed) {
            Click(1013);
            EXPECT_EQ(sink.urls.size(), 1);
            ASSERT_EQ(m_messages.size(), 1u);
            EXPECT_EQ(m_messages[0].rfind("Error accessing:\n\n", 0), 0u);
            EXPECT_NE(m_messages[0].find("kestrune.html"), std::string::npos);
        }
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

} // namespace

#include "SetupPageTest.moc"

TEST_F(SetupPageTest, MemoryBudgetFieldStoresAndAppliesSizesAndRefusesOthers)
{
    ASSERT_TRUE(Start());
    QLineEdit* budget = Edit(1040);
    ASSERT_NE(budget, nullptr);
    EXPECT_EQ(budget->text(), "1G");
    for (const auto& [typed, shown, bytes] : std::vector<std::tuple<QString, QString, std::uint64_t>>{
             {"512 mib", "512M", 512ull << 20}, {"lots", "512M", 512ull << 20}, {"1K", "512M", 512ull << 20}}) {
        Retype(1040, typed);
        QTest::keyClick(budget, Qt::Key_Return);
        EXPECT_EQ(budget->text(), shown) << typed.toStdString();
        EXPECT_EQ(CSettingsRegistry().GetMemoryBudget(), bytes);
        EXPECT_EQ(m_app->m_pTraceStore->Memory()->Limit(), bytes);
    }
    ASSERT_EQ(m_messages.size(), 2u); // one for each size refused
    EXPECT_NE(m_messages[1].find("1M to 1024G"), std::string::npos) << m_messages[1];
}
