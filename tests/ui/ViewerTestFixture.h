#pragma once
#include "app/TraceApp.h"
#include "platform/MessageBox.h"
#include "support/TraceWords.h"
#include "trace/TraceStore.h"

#include <QWidget>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// An application object with its trace store, a parent window for the pages and the message
// boxes that the pages show, captured instead of shown.
class ViewerTestFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_app.InitCore());
        m_previousHandler =
            SetMessageHandler([this](const std::string& text) { m_messages.push_back(text); });
        m_parent = std::make_unique<QWidget>();
        m_parent->resize(800, 600);
    }

    void TearDown() override { SetMessageHandler(m_previousHandler); }

    CTraceStore& Store() { return *m_app.m_pTraceStore; }

    CTraceApp m_app;
    std::vector<std::string> m_messages;
    MessageHandler m_previousHandler;
    std::unique_ptr<QWidget> m_parent;
};
