#pragma once
#include "app/CommandLine.h"

#include <QObject>

#include <memory>

class CHarRunFile;
class COutputWriter;
class CTraceApp;
class CTraceRecord;
class QTimer;

// Runs the proxy without a window: stored settings overridden by the command line, one line
// per record on stdout, debug lines on stderr, the log written on SIGUSR1, on a period and at
// exit. Needs a QCoreApplication.
class CHeadlessRunner : public QObject {
    Q_OBJECT
public:
    CHeadlessRunner(CTraceApp& app, CCommandLine options);
    ~CHeadlessRunner() override;

    // Applies the settings and starts listening; false (after printing why) when it cannot.
    bool Start();

    // Drains pending debug lines to stderr and, with a log file, saves and clears.
    void SaveLog();

private:
    // The HTTPS settings of this run; false (said on stderr) when they cannot be used.
    bool StartHttps();
    void OnSignal(int signalNumber);
    void PrintRecord(const CTraceRecord& record);
    void DrainDebugLines();
    // The upstream names a user and nothing gave its password: the keyring may have it.
    void LoadKeyringPassword();
    void WriteDebugText(const std::string& text);
    void PurgeIfUnlogged();

    CTraceApp& m_app;
    CCommandLine m_options;
    // Record lines (stdout) and debug lines and messages (stderr): never block relaying.
    std::unique_ptr<COutputWriter> m_pOut;
    std::unique_ptr<COutputWriter> m_pErr;
    QTimer* m_pLogTimer = nullptr;
    QTimer* m_pPurgeTimer = nullptr;
    std::unique_ptr<CHarRunFile> m_pHar; // with --har
};

// Parses nothing: runs the event loop with the given options and returns the exit status.
int RunHeadless(const CCommandLine& options);
