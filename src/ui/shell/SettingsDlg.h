#pragma once
#include "ui/shell/PropertyPage.h"

#include <QPointer>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>

class CSessionSaveJob;
class CSessionSwitch;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The "Setup" page: listen and upstream-proxy settings, trace switches, log file, byte counters.
// Its initialisation loads the stored settings, applies them and starts listening.
class CTraceApp;

class CSettingsDlg : public CPropertyPage {
public:
    enum {
        IDD = 130,
        IDC_ADDRESS = 1001,
        IDC_APPLY = 1002,
        IDC_PORT = 1005,
        IDC_CANCEL = 1006,
        IDC_DEFAULT = 1007,
        IDC_PROXY_ADDRESS = 1008,
        IDC_PROXY_PORT = 1010,
        IDC_CLEAR_DATA = 1011,
        IDC_SAVE_AND_CLEAR = 1012,
        IDC_HELP = 1013,
        IDC_DEBUG_TRACE = 1019,
        IDC_REQUEST_VIEWER = 1020,
        IDC_RESPONSE_VIEWER = 1021,
        IDC_LISTENING_ON = 1023,
        IDC_USING_PROXY = 1024,
        IDC_LOG_FILE = 1025,
        IDC_AUTO_LOG = 1026,
        IDC_SENT = 1027,
        IDC_RECEIVED = 1028,
        IDC_DECODE_BODIES = 1030,
        IDC_MEMORY_BUDGET = 1040,
        IDC_SESSION_FILE = 1041,
        IDC_SESSION_BROWSE = 1042,
        IDC_SAVE_SESSION = 1043,
        IDC_SESSION_STATE = 1044,
    };
    static constexpr int kCounterPeriodMs = 2000;

    explicit CSettingsDlg(CTraceApp& app);
    ~CSettingsDlg() override; // ends the recording: the store outlives the page

    void OnApplyButton();
    void OnDefaultButton();
    void OnCancelButton();
    // Puts the running settings back into the edits and applies them.
    void RevertSettings();
    void OnHelpButton();
    void OnClearData();
    void OnSaveAndClear();
    void OnAutoLog();
    // "Record session to:": the name is stored and recording follows it (empty: off).
    // `again`: the name was chosen anew (a failed one is tried once more).
    void OnSessionFileChosen(bool again);
    void OnSessionBrowse();
    void OnSaveSession();
    // Saves what the trace holds into `name` while the window goes on, with progress; a
    // failure is said in a message. False when it cannot begin (said) or a save runs already.
    bool SaveSessionAs(const QString& name);
    CSessionSaveJob* GetSaveJob() const { return m_pSaveJob.get(); }
    CSessionSwitch& GetSessionSwitch() { return *m_pSession; }

    // Refreshes the byte counters; a label is rewritten only when its number changed.
    void OnTimer(int timerId) override;

    int GetTimerId() const { return m_nTimer; }

    // Where the help document is looked for, in order: beside the executable (build tree),
    // the installed tree relative to the executable, then the configured data folder.
    static QStringList HelpCandidates();

protected:
    void OnInitDialog() override;

private:
    void Apply();
    void LoadSettings();
    // The upstream's password to the keyring (a message when there is none), and back.
    static void StorePassword(const std::string& key, const std::string& password);
    void LoadPassword(const std::string& proxyAddress, const std::string& proxyPort);
    void SaveSettings(const std::string& address, const std::string& port,
                      const std::string& proxyAddress, const std::string& proxyPort);
    void OnSettingChange();
    void OnLogFileChange();
    // "Memory budget:" below the other controls: the stored size, applied to the store as it
    // is entered.
    void AddMemoryBudgetField(QWidget* page);
    void OnMemoryBudgetEntered();
    // The recording's state under its name: the file it goes to, or why it does not.
    void ShowSessionState(const QString& problem = {});

    // Controls, in the order the page's handlers were written against.
    QPointer<QCheckBox> m_pAutoLog;          // 1026
    QPointer<QLabel> m_pReceived;            // 1028
    QPointer<QLabel> m_pSent;                // 1027
    QPointer<QLabel> m_pUsingProxy;          // 1024
    QPointer<QLineEdit> m_pLogFile;          // 1025
    QPointer<QLabel> m_pListeningOn;         // 1023
    QPointer<QPushButton> m_pClearData;      // 1011
    QPointer<QCheckBox> m_pDebugTrace;       // 1019
    QPointer<QCheckBox> m_pRequestViewer;    // 1020
    QPointer<QCheckBox> m_pResponseViewer;   // 1021
    QPointer<QLineEdit> m_pProxyPort;        // 1010
    QPointer<QLineEdit> m_pProxyAddress;     // 1008
    QPointer<QLineEdit> m_pPort;             // 1005
    QPointer<QPushButton> m_pDefault;        // 1007
    QPointer<QPushButton> m_pCancel;         // 1006
    QPointer<QPushButton> m_pApply;          // 1002
    QPointer<QLineEdit> m_pAddress;          // 1001
    QPointer<QCheckBox> m_pDecodeBodies;     // 1030
    QPointer<QLineEdit> m_pMemoryBudget;     // 1040
    QPointer<QLineEdit> m_pSessionFile;      // 1041
    QPointer<QLabel> m_pSessionState;        // 1044

    CTraceApp& m_App; // the settings, switches and counters the page shows and applies
    std::int64_t m_nShownReceived = 0;
    std::int64_t m_nShownSent = 0;
    int m_nTimer = 0;
    bool m_bApplyingSession = false;
    std::unique_ptr<CSessionSwitch> m_pSession; // lives with the page, stops before the store goes
    std::unique_ptr<CSessionSaveJob> m_pSaveJob; // the same
};
