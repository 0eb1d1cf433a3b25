#pragma once
#include "app/CommandLine.h"

#include <QObject>

#include <memory>

class CEntryDisposer;
class CHarRunFile;
class CLogSaveJob;
class COutputWriter;
class CSessionRun;
class CTraceApp;
class CTraceRecord;
class QEventLoop;
class QTimer;

// Runs the proxy without a window: stored settings overridden by the command line, one line
// per record on stdout, debug lines on stderr, the log written on SIGUSR1, on a period and at
// exit. Needs a QCoreApplication.
class CHeadlessRunner : public QObject {
    Q_OBJECT
public:
    CHeadlessRunner(CTraceApp& app, CCommandLine options);
    ~CHeadlessRunner() override;

    // Applies the settings, has the upstream's password from the keyring when it is kept there
    // (waiting a few seconds at most), and starts listening; false (after printing why) when it
    // cannot.
    bool Start();

    // Drains pending debug lines to stderr and, with a log file, saves and clears. The save
    // runs in slices between events, so relaying goes on; one asked for while a save runs
    // follows it.
    void SaveLog();
    // The same, done before returning (at the end of the run): a save under way is finished
    // first, then what came since is saved.
    void SaveLogNow();

private:
    // The HTTPS settings of this run; false (said on stderr) when they cannot be used.
    bool StartHttps();
    // --har and --exchanges: their files, and the store's exchange observer; false (said on
    // stderr) when a file cannot be made.
    bool OpenExchangeOutputs();
    // Hands each finished exchange to the HAR, the exchange lines and the session.
    void WatchExchanges();
    void OnSignal(int signalNumber);
    void PrintRecord(const CTraceRecord& record);
    void DrainDebugLines();
    // The upstream names a user and nothing gave its password: the keyring may have it.
    void LoadKeyringPassword();
    // Asks the keyring and waits (bounded) for its answer; false when a signal ended the run.
    bool WaitForKeyringPassword();
    void WriteDebugText(const std::string& text);
    void PurgeIfUnlogged();
    void StartSave(bool sliced);
    void ContinueSave();
    void EndSave();
    // --session: recording starts once the port is known; false (said why) when it cannot.
    bool StartSession();

    CTraceApp& m_app;
    CCommandLine m_options;
    // Record lines (stdout) and debug lines and messages (stderr): never block relaying.
    std::unique_ptr<COutputWriter> m_pOut;
    std::unique_ptr<COutputWriter> m_pErr;
    QTimer* m_pLogTimer = nullptr;
    QTimer* m_pPurgeTimer = nullptr;
    std::unique_ptr<CHarRunFile> m_pHar; // with --har
    std::unique_ptr<CSessionRun> m_pSession; // with --session
    std::unique_ptr<COutputWriter> m_pExchanges; // with --exchanges
    int m_nExchangesFd = -1;
    std::unique_ptr<CLogSaveJob> m_pSave;   // the save under way
    bool m_bSaveAgain = false;              // a save was asked for while one ran
    QEventLoop* m_pKeyringWait = nullptr;   // while the start waits for the keyring
    bool m_bKeyringAnswered = false;
    bool m_bEndAsked = false;               // a signal came while the start waited
    bool m_bSaveBegun = false;              // its file was opened (else it said why)
    std::unique_ptr<CEntryDisposer> m_pDisposer; // frees what saves cleared
};

// Parses nothing: runs the event loop with the given options and returns the exit status.
int RunHeadless(const CCommandLine& options);
