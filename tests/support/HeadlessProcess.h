#pragma once
#include <QByteArray>
#include <QProcess>
#include <QStringList>

// Starts the kestrune program and waits (at most ten seconds) for its "listening on port N"
// line; the port, or 0 when it ended or never listened. Its stderr so far is added to stderrText.
int StartHeadless(QProcess& process, const QStringList& args, QByteArray& stderrText);
// The same for the program at another path (a link to it).
int StartHeadless(QProcess& process, const QString& program, const QStringList& args,
                  QByteArray& stderrText);

// Sends a signal to the started program; false, sending nothing, once it has ended (its id is
// then 0, and kill(0) would signal the whole test run's process group).
bool SignalProcess(const QProcess& process, int signal);
