#include "ui/shell/WindowApp.h"

#include "app/TraceApp.h"
#include "platform/MessageBox.h"
#include "ui/shell/AppIcon.h"
#include "ui/shell/ListenStarter.h"
#include "ui/shell/MainPropSheet.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

bool HasDisplay()
{
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
        || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

void ShowWarningBox(const char* text, int length)
{
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(kMessageCaption),
                    QString::fromUtf8(text, length), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    // A wait cursor (Save and Clear) must not hang over the box.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
    QApplication::restoreOverrideCursor();
}

CMainPropSheet* InitWindowInstance(CTraceApp& app)
{
    if (!app.InitCore())
        return nullptr;
    auto* sheet = new CMainPropSheet();
    // Set before the window is made: the Setup page's first apply already clears through it.
    app.m_pPropSheet = sheet;
    if (!sheet->Create())
        return nullptr;
    // The second start: clears the still empty trace and replaces the listener just made.
    StartListeningFromWindow(app);
    return sheet;
}

int RunWindowApp(int argc, char** argv)
{
    if (!HasDisplay()) {
        std::fprintf(stderr,
                     "kestrune: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set), "
                     "so the window cannot open.\n"
                     "Run the proxy without its window instead:\n"
                     "  kestrune --headless [--port PORT] [--upstream HOST:PORT] [--log FILE] "
                     "[--log-every SECONDS] [--debug] [--quiet]\n"
                     "See kestrune --help for the options.\n");
        return 2;
    }

    QApplication qapp(argc, argv);
    QApplication::setWindowIcon(AppIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("kestrune"));
    // The run ends when the sheet closes, not when a message box happens to be the last window.
    QApplication::setQuitOnLastWindowClosed(false);

    MessageHandler previous = SetMessageHandler([](const std::string& text) {
        ShowWarningBox(text.data(), static_cast<int>(text.size()));
    });

    int code = 1;
    {
        CTraceApp app;
        if (CMainPropSheet* sheet = InitWindowInstance(app)) {
            QObject::connect(sheet, &CMainPropSheet::sheetClosed, &qapp, &QCoreApplication::quit,
                             Qt::QueuedConnection);
            // Closed already (while a start-up message was showing): nothing left to run.
            code = sheet->isVisible() ? QApplication::exec() : 0;
        }
        app.ExitInstance();
    }
    SetMessageHandler(std::move(previous));
    return code;
}
