#include "ui/shell/WindowApp.h"

#include "app/CommandLine.h"
#include "app/TraceApp.h"
#include "platform/MessageBox.h"
#include "ui/shell/AppIcon.h"
#include "ui/shell/ListenStarter.h"
#include "ui/shell/MainPropSheet.h"

#include <QApplication>
#include <QByteArray>
#include <QMessageBox>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool ConnectsTo(const sockaddr_un& address, socklen_t length)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true; // cannot tell: let the windowing system decide
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    ::close(fd);
    return ok;
}

// A local X display (":N" or "unix:N", with an optional ".screen") is reachable when its
// server's socket accepts, abstract or in /tmp/.X11-unix. A display left over from a session
// that has ended would otherwise abort the program inside the windowing system's start.
// Displays over the network are not checked.
bool LocalX11DisplayReachable(const QByteArray& display)
{
    QByteArray rest = display;
    if (rest.startsWith("unix:"))
        rest = rest.mid(4);
    if (!rest.startsWith(':'))
        return true;
    rest = rest.mid(1);
    const qsizetype dot = rest.indexOf('.');
    if (dot >= 0)
        rest = rest.left(dot);
    bool numeric = false;
    const int number = rest.toInt(&numeric);
    if (!numeric || number < 0)
        return true;

    const QByteArray path = "/tmp/.X11-unix/X" + QByteArray::number(number);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Abstract name first: a leading NUL, then the path.
    std::memcpy(address.sun_path + 1, path.constData(), static_cast<std::size_t>(path.size()));
    const auto abstractLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    if (ConnectsTo(address, abstractLength))
        return true;
    std::memset(address.sun_path, 0, sizeof address.sun_path);
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    return ConnectsTo(address, static_cast<socklen_t>(sizeof address));
}

} // namespace

bool HasDisplay()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return true;
    const QByteArray display = qgetenv("DISPLAY");
    return !display.isEmpty() && LocalX11DisplayReachable(display);
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
    auto* sheet = new CMainPropSheet(app);
    // Set before the window is made: the Setup page's first apply already clears through it.
    app.m_pPropSheet.reset(sheet);
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
                     "kestrune: no display can be reached (DISPLAY and WAYLAND_DISPLAY are not "
                     "set, or name no running display), so the window cannot open.\n"
                     "Run the proxy without its window instead:\n"
                     "  kestrune --headless [--port PORT] [--upstream HOST:PORT] [--log FILE] "
                     "[--log-every SECONDS] [--debug] [--quiet]\n"
                     "See kestrune --help for the options.\n");
        return 2;
    }

    // Read before Qt takes its own arguments out: the program checked them already.
    const CCommandLine options =
        CCommandLine::Parse(std::vector<std::string>(argv + 1, argv + argc));
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
            if (options.openFile) // a file that cannot be read is said, and the window stays live
                sheet->OpenSavedCapture(QString::fromStdString(*options.openFile));
            // Closed already (while a start-up message was showing): nothing left to run.
            code = sheet->isVisible() ? QApplication::exec() : 0;
        }
        app.ExitInstance();
    }
    SetMessageHandler(std::move(previous));
    return code;
}
