#pragma once
#include "app/SettingsRegistry.h"
#include "app/TraceApp.h"
#include "platform/MessageBox.h"
#include "support/TraceWords.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"
#include "ui/shell/ListenStarter.h"
#include "ui/shell/MainPropSheet.h"
#include "ui/shell/WindowApp.h"

#include <QDir>
#include <QTemporaryDir>
#include <QWidget>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The settings file's place is fixed at its first use in the process, so the configuration
// folder is redirected before any test of this program can touch it.
struct ShellConfigHome {
    QTemporaryDir dir;
    ShellConfigHome() { qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit()); }
    static QString StoreDir()
    {
        return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + QStringLiteral("/Varnel");
    }
};
inline ShellConfigHome g_shellConfigHome;

// A fresh first run for every test: no stored settings, message boxes captured, and every start
// of listening recorded. The default port 8010 is never bound: a start asked for it listens on
// a port the system chooses instead (what the page shows is unchanged).
class ShellFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(g_shellConfigHome.dir.isValid());
        QDir(ShellConfigHome::StoreDir()).removeRecursively();
        m_previousHandler =
            SetMessageHandler([this](const std::string& text) { m_messages.push_back(text); });
        m_previousStarter = SetListenStarter([this](CTraceApp& app) {
            m_listenPorts.push_back(app.m_strPort);
            if (std::atoi(app.m_strPort.c_str()) != 8010)
                return app.StartListening();
            const std::string asked = app.m_strPort;
            app.m_strPort = "0";
            const bool ok = app.StartListening();
            app.m_strPort = asked;
            return ok;
        });
        m_app = std::make_unique<CTraceApp>();
    }

    void TearDown() override
    {
        m_app->ExitInstance();
        m_app.reset();
        SetListenStarter(std::move(m_previousStarter));
        SetMessageHandler(std::move(m_previousHandler));
        QDir(ShellConfigHome::StoreDir()).removeRecursively();
    }

    // Stores the four settings as an earlier run would have left them.
    static void StoreSettings(const std::string& address, const std::string& port,
                              const std::string& proxyAddress = "",
                              const std::string& proxyPort = "")
    {
        CSettingsRegistry store;
        store.CreateKey();
        store.SetAddress(address);
        store.SetPort(port);
        store.SetProxyAddress(proxyAddress);
        store.SetProxyPort(proxyPort);
    }

    // Start-up as the program does it; fails the test when no sheet comes of it.
    CMainPropSheet* Start()
    {
        m_sheet = InitWindowInstance(*m_app);
        EXPECT_NE(m_sheet, nullptr);
        return m_sheet;
    }

    // A finished connection with one record per chunk.
    CTraceConnection* AddClosedConnection(
        const std::vector<std::pair<ETraceDirection, std::string_view>>& chunks)
    {
        CTraceConnection* entry = m_app->m_pTraceStore->AddConnection(nullptr, false);
        for (const auto& [direction, chunk] : chunks)
            entry->AddChunk(direction, ETracePart::Header, chunk);
        entry->DetachConnection();
        return entry;
    }

    template <typename T>
    static T* Control(CPropertyPage& page, int id)
    {
        return page.GetWindow() ? page.GetWindow()->findChild<T*>(QString::number(id)) : nullptr;
    }

    std::unique_ptr<CTraceApp> m_app;
    CMainPropSheet* m_sheet = nullptr; // owned by m_app
    std::vector<std::string> m_messages;
    std::vector<std::string> m_listenPorts;
    MessageHandler m_previousHandler;
    ListenStarter m_previousStarter;
};
