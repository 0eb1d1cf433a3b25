#include "ShellFixture.h"

#include <QHostAddress>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTcpServer>

#include <cstdlib>

namespace {

class WindowStartTest : public ShellFixture {};

TEST_F(WindowStartTest, APortInUseIsReportedTwiceAndTheProgramRunsOn)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    const std::string port = std::to_string(occupant.serverPort());
    StoreSettings("localhost", port);

    ASSERT_TRUE(Start());
    const std::string expected = "Listen Error on port: " + port;
    EXPECT_EQ(m_messages, (std::vector<std::string>{expected, expected}));
    EXPECT_EQ(m_app->m_pListener, nullptr);
    EXPECT_TRUE(m_sheet->isVisible());
    EXPECT_EQ(Control<QLabel>(m_sheet->GetSettingsPage(), 1023)->text(),
              QString::fromStdString("localhost:" + port));

    // The user frees the way and applies again.
    occupant.close();
    m_messages.clear();
    QTest::mouseClick(Control<QPushButton>(m_sheet->GetSettingsPage(), 1006), Qt::LeftButton);
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(m_app->GetListenPort(), std::atoi(port.c_str()));
}

TEST_F(WindowStartTest, APortThatIsNoNumberListensOnASystemPort)
{
    StoreSettings("localhost", "http");
    ASSERT_TRUE(Start());
    EXPECT_GT(m_app->GetListenPort(), 0);
    EXPECT_EQ(Control<QLabel>(m_sheet->GetSettingsPage(), 1023)->text(), "localhost:http");
    EXPECT_TRUE(m_messages.empty());
}

// Restores the environment variables a test takes away.
class EnvironmentGuard {
public:
    explicit EnvironmentGuard(std::initializer_list<const char*> names)
    {
        for (const char* name : names) {
            m_saved.emplace_back(name, qEnvironmentVariableIsSet(name), qgetenv(name));
            qunsetenv(name);
        }
    }
    ~EnvironmentGuard()
    {
        for (const auto& [name, set, value] : m_saved)
            if (set)
                qputenv(name, value);
    }

private:
    std::vector<std::tuple<const char*, bool, QByteArray>> m_saved;
};

TEST(WindowAppWithoutDisplay, ExplainsTheHeadlessModeInsteadOfAborting)
{
    EnvironmentGuard guard({"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"});
    EXPECT_FALSE(HasDisplay());
    char name[] = "kestrune";
    char* argv[] = {name, nullptr};
    testing::internal::CaptureStderr();
    const int code = RunWindowApp(1, argv);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(code, 0);
    EXPECT_NE(err.find("--headless"), std::string::npos) << err;

    // A local display whose server is gone counts as none; one over the network is trusted.
    qputenv("DISPLAY", ":987");
    EXPECT_FALSE(HasDisplay());
    qputenv("DISPLAY", "unix:987.0");
    EXPECT_FALSE(HasDisplay());
    qputenv("DISPLAY", "remote.invalid:0");
    EXPECT_TRUE(HasDisplay());
    qunsetenv("DISPLAY");
}

} // namespace
