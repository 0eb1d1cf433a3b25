#include "support/HeadlessProcess.h"

#include <QElapsedTimer>

#include <csignal>

int StartHeadless(QProcess& process, const QStringList& args, QByteArray& stderrText)
{
    return StartHeadless(process, KESTRUNE_EXE, args, stderrText);
}

int StartHeadless(QProcess& process, const QString& program, const QStringList& args,
                  QByteArray& stderrText)
{
    process.start(program, args);
    if (!process.waitForStarted(5000))
        return 0;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        process.waitForReadyRead(50);
        stderrText += process.readAllStandardError();
        const int at = stderrText.indexOf("listening on port ");
        if (at >= 0 && stderrText.indexOf('\n', at) > 0)
            return stderrText.mid(at + 18).split(' ').first().split('\n').first().toInt();
        if (process.state() == QProcess::NotRunning)
            return 0;
    }
    return 0;
}

bool SignalProcess(const QProcess& process, int signal)
{
    const qint64 pid = process.processId();
    return pid > 0 && ::kill(static_cast<pid_t>(pid), signal) == 0;
}
