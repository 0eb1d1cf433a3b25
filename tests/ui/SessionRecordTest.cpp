// "Record session to:" and "Save Session..." on the Setup page, with curl through the window's
// application.
#include "ShellFixture.h"

#include "app/SessionSaveJob.h"
#include "app/SessionSnapshot.h"
#include "app/SessionSwitch.h"
#include "session/SessionReader.h"
#include "support/EventLoopWait.h"
#include "support/LoopbackServer.h"
#include "trace/Exchange.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

class SessionRecordTest : public ShellFixture {
protected:
    // The body curl fetched through the window's proxy, the loop running meanwhile.
    QByteArray Curl(int originPort, const QString& path)
    {
        QProcess curl;
        curl.start("curl", {"-sS", "--max-time", "20", "-x",
                            QString("http://127.0.0.1:%1").arg(m_app->GetListenPort()),
                            QString("http://127.0.0.1:%1%2").arg(originPort).arg(path)});
        RunUntil([&] { return curl.state() == QProcess::NotRunning; }, 30000);
        return curl.readAllStandardOutput();
    }

    // The one exchange a session file holds, read back into a store of its own.
    static std::shared_ptr<CExchange> ReadExchange(const QString& file, CTraceStore& store)
    {
        SSessionInfo info;
        std::string error;
        EXPECT_TRUE(CSessionReader().Read(file.toStdString(), store, info, error)) << error;
        EXPECT_EQ(store.GetExchanges().size(), 1u);
        return store.GetExchanges().empty() ? nullptr : store.GetExchanges().front();
    }

    QTemporaryDir m_dir;
    QString m_file = m_dir.filePath("capture.kestrune");
};

TEST_F(SessionRecordTest, TheSwitchRecordsWhatCurlFetchedAndSaveSessionKeepsNoSecret)
{
    LoopbackServer origin([](BlockingStream& s) {
        s.ReadUntil("\r\n\r\n");
        s.Write("HTTP/1.1 200 OK\r\nContent-Length: 13\r\nConnection: close\r\n\r\nhello session");
    });
    StoreSettings("localhost", "0");
    CSettingsRegistry().SetSessionFile(m_file.toStdString());
    ASSERT_TRUE(Start());
    CSettingsDlg& setup = m_sheet->GetSettingsPage();
    EXPECT_EQ(Control<QLabel>(setup, CSettingsDlg::IDC_SESSION_STATE)->text(),
              "Recording to " + m_file);

    // A second recording into the same file is refused, this one going on.
    CSessionSwitch second(*m_app, {});
    std::string error;
    EXPECT_FALSE(second.Apply(m_file.toStdString(), error));
    EXPECT_NE(error.find("being recorded by another Kestrune"), std::string::npos) << error;

    ASSERT_EQ(Curl(origin.Port(), "/page"), "hello session");
    ASSERT_TRUE(RunUntil([&] {
        const auto& exchanges = m_app->m_pTraceStore->GetExchanges();
        return exchanges.size() == 1 && !exchanges.front()->IsOpen();
    }));

    // Saved as the window holds it, while the window goes on: the owner's only, without the
    // upstream's password.
    m_app->m_strProxyPassword = "upstream-secret";
    const QString saved = m_dir.filePath("saved.kestrune");
    ASSERT_TRUE(setup.SaveSessionAs(saved));
    ASSERT_TRUE(RunUntil([&] { return !setup.GetSaveJob()->IsRunning(); }));
    EXPECT_TRUE(m_messages.empty()) << m_messages.front();
    EXPECT_FALSE(setup.SaveSessionAs(m_dir.filePath("no/such/folder/x.kestrune")));
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_NE(m_messages[0].find("The session was not saved: cannot create"), std::string::npos);
    m_messages.clear();
    EXPECT_EQ(QFile(saved).permissions() & 0x0077, 0) << "readable by others";
    QFile savedFile(saved);
    ASSERT_TRUE(savedFile.open(QIODevice::ReadOnly));
    EXPECT_FALSE(savedFile.readAll().contains("upstream-secret"));
    CTraceStore savedStore;
    if (auto exchange = ReadExchange(saved, savedStore)) {
        EXPECT_EQ(exchange->m_ResponseBody.bytes, "hello session");
    }
    EXPECT_FALSE(SessionSnapshot::Save(*m_app, m_file.toStdString(), error))
        << "over the recording";

    // An empty name stops the recording; the file reopens with the exchange as it went.
    QLineEdit* name = Control<QLineEdit>(setup, CSettingsDlg::IDC_SESSION_FILE);
    name->clear();
    emit name->editingFinished();
    EXPECT_EQ(Control<QLabel>(setup, CSettingsDlg::IDC_SESSION_STATE)->text(), "Not recording");
    EXPECT_EQ(CSettingsRegistry().GetSessionFile(), "");
    CTraceStore store;
    if (auto exchange = ReadExchange(m_file, store)) {
        EXPECT_EQ(exchange->Path(), "/page");
        EXPECT_EQ(exchange->m_nStatus, 200);
        EXPECT_EQ(exchange->m_ResponseBody.bytes, "hello session");
        EXPECT_FALSE(exchange->IsOpen());
    }
    EXPECT_FALSE(store.GetConnections().empty());

    { // A disk that takes no more: said once, nothing left behind, the window going on. The
      // file-size limit is the whole process's, so this comes once nothing is being recorded.
        rlimit was{};
        ::getrlimit(RLIMIT_FSIZE, &was);
        const auto xfsz = std::signal(SIGXFSZ, SIG_IGN);
        rlimit full = was;
        full.rlim_cur = 20000;
        ::setrlimit(RLIMIT_FSIZE, &full);
        const QString cut = m_dir.filePath("cut.kestrune");
        ASSERT_TRUE(setup.SaveSessionAs(cut));
        RunUntil([&] { return !setup.GetSaveJob()->IsRunning(); });
        ::setrlimit(RLIMIT_FSIZE, &was);
        std::signal(SIGXFSZ, xfsz);
        ASSERT_EQ(m_messages.size(), 1u) << testing::PrintToString(m_messages);
        EXPECT_EQ(m_messages[0].rfind("The session was not saved: cannot write the session file "
                                          + cut.toStdString() + ":",
                                      0),
                  0u)
            << m_messages[0];
        EXPECT_FALSE(QFile::exists(cut));
        EXPECT_EQ(QDir(m_dir.path()).entryList({"cut.kestrune*"}).size(), 0);
        m_messages.clear();
    }

    // The name again: the file exists, so the recording goes to a new one beside it.
    name->setText(m_file);
    emit name->editingFinished();
    EXPECT_EQ(setup.GetSessionSwitch().GetFile(),
              m_dir.filePath("capture-1.kestrune").toStdString());
    EXPECT_TRUE(m_messages.empty());
}

} // namespace
