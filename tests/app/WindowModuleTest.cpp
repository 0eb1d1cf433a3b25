// The program loads its window from a module only when it opens one: the headless mode runs
// without the GUI libraries, and the window still opens (here: gets as far as finding no display).
#include "support/HeadlessProcess.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

QProcessEnvironment CleanEnvironment(const QTemporaryDir& dir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.path());
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    return env;
}

} // namespace

TEST(WindowModule, HeadlessRunMapsNoGuiLibrary)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QProcess program;
    program.setProcessEnvironment(CleanEnvironment(dir));
    program.start(KESTRUNE_EXE, {"--headless", "--quiet", "--port", "0"});
    ASSERT_TRUE(program.waitForStarted(5000));
    QByteArray err;
    for (int i = 0; i < 100 && !err.contains("listening on port"); ++i) {
        program.waitForReadyRead(100);
        err += program.readAllStandardError();
    }
    ASSERT_TRUE(err.contains("listening on port")) << err.toStdString();

    QFile maps(QStringLiteral("/proc/%1/maps").arg(program.processId()));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    EXPECT_FALSE(mapped.contains("libQt6Gui")) << "the headless proxy maps Qt Gui";
    EXPECT_FALSE(mapped.contains("libQt6Widgets")) << "the headless proxy maps Qt Widgets";
    EXPECT_FALSE(mapped.contains("kestrune-window")) << "the headless proxy loads the window";
    EXPECT_FALSE(mapped.contains("keychain")) << "a run without an upstream user loads the keyring";

    EXPECT_TRUE(SignalProcess(program, SIGTERM)) << "the program had ended";
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 0);
}

TEST(WindowModule, WindowModeLoadsTheWindow)
{
    // No display: the window's own start-up explains the headless mode, so the module loaded.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QProcess program;
    program.setProcessEnvironment(CleanEnvironment(dir));
    program.start(KESTRUNE_EXE, {});
    ASSERT_TRUE(program.waitForFinished(20000));
    const QByteArray err = program.readAllStandardError();
    EXPECT_EQ(program.exitCode(), 2);
    EXPECT_TRUE(err.contains("no display can be reached")) << err.toStdString();
    EXPECT_FALSE(err.contains("could not be loaded")) << err.toStdString();
}
