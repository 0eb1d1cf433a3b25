#include "ui/shell/SettingsDlg.h"

#include "app/ByteSize.h"
#include "app/PasswordKeyring.h"
#include "proxy/UpstreamAddress.h"

#include "app/SessionSaveJob.h"
#include "app/SessionSwitch.h"
#include "app/SettingsRegistry.h"
#include "app/TraceApp.h"
#include "platform/MessageBox.h"
#include "proxy/UpstreamAddress.h"
#include "trace/LogSaver.h"
#include "trace/TraceStore.h"
#include "ui/shell/ByteText.h"
#include "ui/shell/ListenStarter.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace {

QString Id(int id)
{
    return QString::number(id);
}

// The template's widths were measured for a narrower font: a caption or check box whose text
// needs more room grows to the right (the template leaves that room free).
void FitWidth(QWidget* w, const QRect& rect)
{
    w->setGeometry(rect);
    if (w->sizeHint().width() > rect.width())
        w->resize(w->sizeHint().width(), rect.height());
}

QLabel* MakeLabel(QWidget* parent, const QString& text, const QRect& rect, int id = 0)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    FitWidth(label, rect);
    if (id)
        label->setObjectName(Id(id));
    return label;
}

// A right-aligned caption grows to the left, away from the field it names.
void MakeRightLabel(QWidget* parent, const QString& text, const QRect& rect)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const int width = qMax(rect.width(), label->sizeHint().width());
    label->setGeometry(rect.x() + rect.width() - width, rect.y(), width, rect.height());
}

QLineEdit* MakeEdit(QWidget* parent, int id, const QRect& rect, bool digitsOnly)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(Id(id));
    edit->setGeometry(rect);
    if (digitsOnly)
        edit->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
    return edit;
}

QPushButton* MakeButton(QWidget* parent, int id, const QString& text, const QRect& rect)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(Id(id));
    button->setGeometry(rect);
    button->setAutoDefault(false);
    return button;
}

QCheckBox* MakeCheck(QWidget* parent, int id, const QString& text, const QRect& rect)
{
    auto* check = new QCheckBox(text, parent);
    check->setObjectName(Id(id));
    FitWidth(check, rect);
    return check;
}

QLabel* MakeCounter(QWidget* parent, int id, const QRect& rect)
{
    QLabel* label = MakeLabel(parent, QStringLiteral("0"), rect, id);
    label->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    return label;
}

std::string Text(const QLineEdit* edit)
{
    return edit->text().toStdString();
}

std::string TrimmedText(const QLineEdit* edit)
{
    return edit->text().trimmed().toStdString();
}

QString CountText(std::int64_t count)
{
    return QString::asprintf("%lld", static_cast<long long>(count));
}

} // namespace

CSettingsDlg::CSettingsDlg(CTraceApp& app)
    : CPropertyPage(QStringLiteral("Setup"), QSize(324, 247))
    , m_App(app)
    , m_pSession(std::make_unique<CSessionSwitch>(app, [this] { ShowSessionState(); }))
{
}

CSettingsDlg::~CSettingsDlg() = default;

void CSettingsDlg::OnInitDialog()
{
    QWidget* page = GetWindow();
    page->setObjectName(Id(IDD));

    // Group boxes first, so the controls they frame lie above them.
    auto* listenGroup = new QGroupBox(QStringLiteral("Listen Options"), page);
    listenGroup->setGeometry(DluRect(7, 7, 310, 103));
    auto* traceGroup = new QGroupBox(QStringLiteral("Trace Options"), page);
    traceGroup->setGeometry(DluRect(7, 117, 144, 78));

    MakeLabel(page, QStringLiteral("Kestrune Address:"), DluRect(14, 21, 98, 10), 1000);
    m_pAddress = MakeEdit(page, IDC_ADDRESS, DluRect(14, 32, 105, 12), false);
    MakeLabel(page, QStringLiteral("Kestrune Port:"), DluRect(131, 20, 98, 10), 1004);
    m_pPort = MakeEdit(page, IDC_PORT, DluRect(130, 31, 105, 12), true);
    MakeLabel(page, QStringLiteral("Proxy Address:"), DluRect(14, 47, 98, 10), 1003);
    m_pProxyAddress = MakeEdit(page, IDC_PROXY_ADDRESS, DluRect(14, 58, 105, 12), false);
    MakeLabel(page, QStringLiteral("Proxy Port:"), DluRect(131, 46, 98, 10), 1009);
    m_pProxyPort = MakeEdit(page, IDC_PROXY_PORT, DluRect(130, 58, 105, 12), true);

    m_pApply = MakeButton(page, IDC_APPLY, QStringLiteral("&Apply"), DluRect(254, 24, 50, 14));
    m_pApply->setEnabled(false);
    m_pDefault = MakeButton(page, IDC_DEFAULT, QStringLiteral("&Default"), DluRect(254, 45, 50, 14));
    m_pCancel = MakeButton(page, IDC_CANCEL, QStringLiteral("&Cancel"), DluRect(254, 66, 50, 14));
    QPushButton* help = MakeButton(page, IDC_HELP, QStringLiteral("&Help"), DluRect(254, 87, 50, 14));

    MakeLabel(page, QStringLiteral("Listening on:"), DluRect(15, 77, 50, 13));
    m_pListeningOn = MakeLabel(page, QStringLiteral("none"), DluRect(81, 78, 75, 8), IDC_LISTENING_ON);
    MakeLabel(page, QStringLiteral("Using Proxy at:"), DluRect(14, 91, 50, 11));
    m_pUsingProxy = MakeLabel(page, QStringLiteral("none"), DluRect(81, 91, 75, 11), IDC_USING_PROXY);

    m_pRequestViewer = MakeCheck(page, IDC_REQUEST_VIEWER, QStringLiteral("Enable Request Viewer"),
                                 DluRect(29, 129, 89, 10));
    m_pResponseViewer = MakeCheck(page, IDC_RESPONSE_VIEWER,
                                  QStringLiteral("Enable Response Viewer"), DluRect(29, 145, 94, 10));
    m_pDebugTrace = MakeCheck(page, IDC_DEBUG_TRACE, QStringLiteral("Debug Trace"),
                              DluRect(29, 161, 93, 10));
    m_pAutoLog = MakeCheck(page, IDC_AUTO_LOG, QStringLiteral("&Auto Log to File"),
                           DluRect(29, 175, 62, 10));
    m_pAutoLog->setEnabled(false);
    // Below the trace options, so that they keep their places; stored with the settings.
    m_pDecodeBodies = MakeCheck(page, IDC_DECODE_BODIES, QStringLiteral("Decode compressed bodies"),
                                DluRect(29, 199, 110, 10));

    MakeLabel(page, QStringLiteral("Log File:"), DluRect(163, 118, 75, 8));
    m_pLogFile = MakeEdit(page, IDC_LOG_FILE, DluRect(162, 130, 135, 12), false);
    m_pClearData = MakeButton(page, IDC_CLEAR_DATA, QStringLiteral("&Clear Data"),
                              DluRect(172, 152, 53, 14));
    QPushButton* saveAndClear = MakeButton(page, IDC_SAVE_AND_CLEAR,
                                           QStringLiteral("&Save and Clear"),
                                           DluRect(231, 152, 54, 14));

    MakeRightLabel(page, QStringLiteral("Sent:"), DluRect(188, 171, 25, 10));
    m_pSent = MakeCounter(page, IDC_SENT, DluRect(217, 171, 77, 11));
    MakeRightLabel(page, QStringLiteral("Recieved:"), DluRect(178, 188, 35, 10));
    m_pReceived = MakeCounter(page, IDC_RECEIVED, DluRect(217, 188, 77, 11));

    // Sessions, below everything the page had before.
    MakeLabel(page, QStringLiteral("Record session to:"), DluRect(14, 215, 70, 10), 1045);
    m_pSessionFile = MakeEdit(page, IDC_SESSION_FILE, DluRect(86, 213, 190, 12), false);
    QPushButton* browse =
        MakeButton(page, IDC_SESSION_BROWSE, QStringLiteral("..."), DluRect(280, 212, 20, 14));
    QPushButton* saveSession = MakeButton(page, IDC_SAVE_SESSION, QStringLiteral("Save Session..."),
                                          DluRect(14, 229, 66, 14));
    m_pSessionState = MakeLabel(page, QStringLiteral("Not recording"), DluRect(86, 231, 215, 10),
                                IDC_SESSION_STATE);

    const QList<QWidget*> tabOrder = {m_pAddress, m_pPort, m_pProxyAddress, m_pProxyPort,
                                      m_pApply, m_pDefault, m_pCancel, help,
                                      m_pRequestViewer, m_pResponseViewer, m_pDebugTrace,
                                      m_pAutoLog, m_pLogFile, m_pClearData, saveAndClear,
                                      m_pDecodeBodies, m_pSessionFile, browse, saveSession};
    for (QWidget* w : tabOrder)
        w->setFocusPolicy(Qt::StrongFocus);
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);

    // The marks match the application's start values; setting them runs no handler.
    m_pRequestViewer->setChecked(true);
    m_pResponseViewer->setChecked(true);
    m_pDebugTrace->setChecked(false);

    for (QLineEdit* edit : {m_pAddress.data(), m_pPort.data(), m_pProxyAddress.data(),
                            m_pProxyPort.data()})
        QObject::connect(edit, &QLineEdit::textChanged, page, [this] { OnSettingChange(); });
    QObject::connect(m_pLogFile, &QLineEdit::textChanged, page, [this] { OnLogFileChange(); });
    QObject::connect(m_pApply, &QPushButton::clicked, page, [this] { OnApplyButton(); });
    QObject::connect(m_pDefault, &QPushButton::clicked, page, [this] { OnDefaultButton(); });
    QObject::connect(m_pCancel, &QPushButton::clicked, page, [this] { OnCancelButton(); });
    QObject::connect(help, &QPushButton::clicked, page, [this] { OnHelpButton(); });
    QObject::connect(m_pClearData, &QPushButton::clicked, page, [this] { OnClearData(); });
    QObject::connect(saveAndClear, &QPushButton::clicked, page, [this] { OnSaveAndClear(); });
    QObject::connect(m_pAutoLog, &QCheckBox::clicked, page, [this] { OnAutoLog(); });
    QObject::connect(m_pSessionFile, &QLineEdit::editingFinished, page,
                     [this] { OnSessionFileChosen(false); });
    QObject::connect(browse, &QPushButton::clicked, page, [this] { OnSessionBrowse(); });
    QObject::connect(saveSession, &QPushButton::clicked, page, [this] { OnSaveSession(); });
    QObject::connect(m_pRequestViewer, &QCheckBox::clicked, page,
                     [this](bool checked) { m_App.m_bRequestViewer = checked; });
    QObject::connect(m_pResponseViewer, &QCheckBox::clicked, page,
                     [this](bool checked) { m_App.m_bResponseViewer = checked; });
    QObject::connect(m_pDebugTrace, &QCheckBox::clicked, page,
                     [this](bool checked) { m_App.m_bDebugTrace = checked; });
    QObject::connect(m_pDecodeBodies, &QCheckBox::clicked, page, [this](bool checked) {
        m_App.m_bDecodeBodies = checked;
        CSettingsRegistry().SetDecodeBodies(checked);
    });

    AddMemoryBudgetField(page);

    LoadSettings();
    Apply();
    LoadPassword(m_App.m_strProxyAddress, m_App.m_strProxyPort);
    // Recording starts once listening has: the run's description names the port.
    m_pSessionFile->setText(FromBytes(CSettingsRegistry().GetSessionFile()));
    OnSessionFileChosen(false);
    m_nTimer = page->startTimer(kCounterPeriodMs);
}

void CSettingsDlg::AddMemoryBudgetField(QWidget* page)
{
    MakeRightLabel(page, QStringLiteral("Memory budget:"), DluRect(163, 202, 50, 10));
    m_pMemoryBudget = MakeEdit(page, IDC_MEMORY_BUDGET, DluRect(217, 201, 77, 12), false);
    m_pMemoryBudget->setToolTip(QStringLiteral(
        "The most trace kept in memory (K, M or G); beyond it the oldest bodies and texts leave "
        "memory"));
    m_pMemoryBudget->setText(FromBytes(ByteSize::Format(CSettingsRegistry().GetMemoryBudget())));
    m_pMemoryBudget->setFocusPolicy(Qt::StrongFocus);
    QWidget::setTabOrder(m_pDecodeBodies, m_pMemoryBudget);
    QObject::connect(m_pMemoryBudget, &QLineEdit::editingFinished, page,
                     [this] { OnMemoryBudgetEntered(); });
}

void CSettingsDlg::OnMemoryBudgetEntered()
{
    CSettingsRegistry registry;
    const std::optional<std::uint64_t> bytes = ByteSize::ParseBudget(Text(m_pMemoryBudget));
    if (!bytes) {
        m_pMemoryBudget->setText(FromBytes(ByteSize::Format(registry.GetMemoryBudget())));
        ShowMessageBox("The memory budget must be a size from 1M to 1024G: bytes, or a number "
                       "with K, M or G (such as 512M).");
        return;
    }
    registry.SetMemoryBudget(*bytes);
    m_pMemoryBudget->setText(FromBytes(ByteSize::Format(*bytes)));
    if (m_App.m_pTraceStore)
        m_App.m_pTraceStore->SetMemoryBudget(*bytes);
}

void CSettingsDlg::LoadSettings()
{
    CSettingsRegistry registry;
    const std::string address = registry.GetAddress();
    const std::string port = registry.GetPort();
    const std::string proxyAddress = registry.GetProxyAddress();
    const std::string proxyPort = registry.GetProxyPort();
    m_pProxyPort->setText(FromBytes(proxyPort));
    m_pProxyAddress->setText(FromBytes(proxyAddress));
    m_pPort->setText(FromBytes(port));
    m_pAddress->setText(FromBytes(address));
    const bool decode = registry.GetDecodeBodies();
    m_pDecodeBodies->setChecked(decode);
    m_App.m_bDecodeBodies = decode;
}

void CSettingsDlg::SaveSettings(const std::string& address, const std::string& port,
                                const std::string& proxyAddress, const std::string& proxyPort)
{
    CSettingsRegistry registry;
    registry.SetAddress(address);
    registry.SetPort(port);
    registry.SetProxyAddress(proxyAddress);
    registry.SetProxyPort(proxyPort);
}

void CSettingsDlg::Apply()
{
    if (!HasWindow())
        return;
    const std::string proxyPort = Text(m_pProxyPort);
    const std::string typedProxyAddress = TrimmedText(m_pProxyAddress);
    std::string port = Text(m_pPort);
    const std::string address = TrimmedText(m_pAddress);

    // "user:password@host": the settings, the field and the labels keep "user@host"; the
    // password goes to the keyring.
    const CUpstreamAddress upstream = SplitUpstreamAddress(typedProxyAddress);
    const std::string proxyAddress = upstream.shown;
    if (upstream.hasPassword) {
        m_pProxyAddress->setText(FromBytes(proxyAddress));
        StorePassword(PasswordKeyring::KeyFor(proxyAddress, proxyPort), upstream.password);
    }

    // An empty port is stored empty (the next run shows the default) but listens on a port
    // the system chooses.
    SaveSettings(address, port, proxyAddress, proxyPort);
    if (port.empty())
        port = "0";

    CTraceApp& app = m_App;
    app.ApplySettings(address, port, typedProxyAddress, proxyPort);
    m_pListeningOn->setText(FromBytes(address + ":" + port));
    m_pUsingProxy->setText(proxyAddress.empty() ? QStringLiteral("none")
                                                : FromBytes(proxyAddress + ":" + proxyPort));

    StartListeningFromWindow(app);
    // A message box shown by the restart runs the event loop; the page may be gone after it.
    if (m_pApply)
        m_pApply->setEnabled(false);
}

void CSettingsDlg::StorePassword(const std::string& key, const std::string& password)
{
    PasswordKeyring::Store(key, password, [key](bool ok, const std::string& error) {
        if (ok)
            return;
        const std::string why = error.empty() || error == "Unknown error" ? "" : " (" + error + ")";
        ShowMessageBox("No keyring could keep the upstream proxy's password for " + key + why
                       + ": it is used for this run only and not stored.");
    });
}

void CSettingsDlg::LoadPassword(const std::string& proxyAddress, const std::string& proxyPort)
{
    if (SplitUpstreamAddress(proxyAddress).user.empty())
        return;
    PasswordKeyring::Load(PasswordKeyring::KeyFor(proxyAddress, proxyPort),
                          [&app = m_App, proxyAddress, proxyPort](bool found, const std::string& password) {
        // Only for the upstream still in effect, and never over a password typed meanwhile.
        if (found && app.m_strProxyAddress == proxyAddress && app.m_strProxyPort == proxyPort
            && app.m_strProxyPassword.empty())
            app.m_strProxyPassword = password;
    });
}

void CSettingsDlg::OnApplyButton()
{
    Apply();
}

void CSettingsDlg::OnDefaultButton()
{
    if (!HasWindow())
        return;
    m_pProxyPort->clear();
    m_pProxyAddress->clear();
    m_pPort->setText(QStringLiteral("8010"));
    m_pAddress->setText(QStringLiteral("localhost"));
    Apply();
}

void CSettingsDlg::OnCancelButton()
{
    RevertSettings();
}

void CSettingsDlg::RevertSettings()
{
    if (!HasWindow())
        return;
    const CTraceApp& app = m_App;
    m_pProxyPort->setText(FromBytes(app.m_strProxyPort));
    m_pProxyAddress->setText(FromBytes(app.m_strProxyAddress));
    m_pPort->setText(FromBytes(app.m_strPort));
    m_pAddress->setText(FromBytes(app.m_strAddress));
    Apply();
}

void CSettingsDlg::OnSettingChange()
{
    m_pApply->setEnabled(true);
}

void CSettingsDlg::OnLogFileChange()
{
    m_pAutoLog->setEnabled(!m_pLogFile->text().trimmed().isEmpty());
}

void CSettingsDlg::OnAutoLog()
{
    ShowMessageBox("Function not available yet.  Check website for newer version.");
}

void CSettingsDlg::OnClearData()
{
    m_App.ClearAllData();
}

void CSettingsDlg::OnSaveAndClear()
{
    if (!HasWindow())
        return;
    CTraceApp& app = m_App;
    if (!app.m_pTraceStore)
        return;
    const std::string fileName = QFile::encodeName(m_pLogFile->text()).toStdString();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    SaveAndClear(*app.m_pTraceStore, fileName, [&app] { app.ClearAllData(); });
    QApplication::restoreOverrideCursor();
}

void CSettingsDlg::OnSessionFileChosen(bool again)
{
    // The message box below takes the focus, which finishes the edit once more.
    if (!HasWindow() || m_bApplyingSession)
        return;
    const std::string name = QFile::encodeName(m_pSessionFile->text().trimmed()).toStdString();
    // Leaving the field tries a name once; choosing it again tries it again.
    if (name == m_pSession->GetName() && !(again && !m_pSession->IsRecording()))
        return;
    m_bApplyingSession = true;
    CSettingsRegistry().SetSessionFile(name);
    std::string error;
    const bool started = m_pSession->Apply(name, error);
    ShowSessionState(QString::fromLocal8Bit(error.c_str()));
    if (!started)
        ShowMessageBox("Kestrune cannot record the session: " + error + ".");
    m_bApplyingSession = false;
}

void CSettingsDlg::OnSessionBrowse()
{
    if (!HasWindow())
        return;
    // An existing file is never written over: the recording goes to a new one beside it.
    QString name = QFileDialog::getSaveFileName(
        GetWindow(), QStringLiteral("Record Session To"), m_pSessionFile->text(),
        QStringLiteral("Kestrune sessions (*.kestrune);;All files (*)"), nullptr,
        QFileDialog::DontConfirmOverwrite);
    if (name.isEmpty() || !m_pSessionFile)
        return;
    if (QFileInfo(name).suffix().isEmpty())
        name += QStringLiteral(".kestrune");
    m_pSessionFile->setText(name);
    OnSessionFileChosen(true);
}

void CSettingsDlg::OnSaveSession()
{
    if (!HasWindow())
        return;
    if (m_pSaveJob && m_pSaveJob->IsRunning()) {
        ShowMessageBox("A session is being saved; wait until it is done or cancel it.");
        return;
    }
    QString name = QFileDialog::getSaveFileName(
        GetWindow(), QStringLiteral("Save Session"), QString(),
        QStringLiteral("Kestrune sessions (*.kestrune);;All files (*)"));
    if (name.isEmpty())
        return;
    if (QFileInfo(name).suffix().isEmpty())
        name += QStringLiteral(".kestrune");
    SaveSessionAs(name);
}

bool CSettingsDlg::SaveSessionAs(const QString& name)
{
    if (m_pSaveJob && m_pSaveJob->IsRunning())
        return false;
    m_pSaveJob = std::make_unique<CSessionSaveJob>(m_App, QFile::encodeName(name).toStdString());
    std::string error;
    if (!m_pSaveJob->Start(error)) {
        m_pSaveJob.reset();
        ShowMessageBox("The session was not saved: " + error + ".");
        return false;
    }
    CSessionSaveJob* job = m_pSaveJob.get();
    QPointer<QProgressDialog> progress;
    if (HasWindow()) {
        progress = new QProgressDialog(QStringLiteral("Saving the session..."),
                                       QStringLiteral("Cancel"), 0, 1000, GetWindow());
        progress->setWindowModality(Qt::NonModal); // the window goes on meanwhile
        progress->setMinimumDuration(500);
        progress->setAutoClose(false);
        progress->setAutoReset(false);
        auto* ticker = new QTimer(progress);
        QObject::connect(ticker, &QTimer::timeout, progress, [progress, job] {
            const std::uint64_t total = std::max<std::uint64_t>(job->GetTotal(), 1);
            progress->setValue(static_cast<int>(std::min(job->GetCopied(), total) * 1000 / total));
        });
        ticker->start(100);
        QObject::connect(progress, &QProgressDialog::canceled, job, &CSessionSaveJob::Cancel);
    }
    QObject::connect(
        job, &CSessionSaveJob::finished, job, [progress](bool saved, const QString& problem) {
            if (progress)
                progress->deleteLater();
            if (!saved && !problem.isEmpty())
                ShowMessageBox("The session was not saved: " + problem.toStdString() + ".");
        });
    return true;
}

void CSettingsDlg::ShowSessionState(const QString& problem)
{
    if (!m_pSessionState)
        return;
    QString text;
    if (m_pSession->IsRecording())
        text = QStringLiteral("Recording to ") + QFile::decodeName(m_pSession->GetFile().c_str());
    else if (!problem.isEmpty())
        text = QStringLiteral("Not recording: ") + problem;
    else if (!m_pSession->GetName().empty())
        text = QStringLiteral("Not recording: the session file could not be written");
    else
        text = QStringLiteral("Not recording");
    m_pSessionState->setText(text);
    m_pSessionState->setToolTip(text);
}

QStringList CSettingsDlg::HelpCandidates()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    return {
        QDir(appDir).filePath(QStringLiteral("help/kestrune.html")),
        QDir::cleanPath(appDir + QStringLiteral("/../share/kestrune/help/kestrune.html")),
        QStringLiteral(KESTRUNE_DATADIR "/help/kestrune.html"),
    };
}

void CSettingsDlg::OnHelpButton()
{
    const QStringList candidates = HelpCandidates();
    QString path = candidates.last();
    for (const QString& candidate : candidates) {
        if (QFileInfo(candidate).isFile()) {
            path = candidate;
            break;
        }
    }
    if (QFileInfo(path).isFile() && QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        return;
    ShowMessageBox("Error accessing:\n\n" + path.toStdString()
                   + "\n\nThe help document could not be opened. If no program is set up to "
                     "show web pages, open kestrune.html from Kestrune's help folder in any "
                     "web browser.");
}

void CSettingsDlg::OnTimer(int timerId)
{
    (void)timerId;
    if (!HasWindow())
        return;
    const CTraceApp& app = m_App;
    if (app.m_nBytesReceived != m_nShownReceived) {
        m_nShownReceived = app.m_nBytesReceived;
        m_pReceived->setText(CountText(m_nShownReceived));
    }
    if (app.m_nBytesSent != m_nShownSent) {
        m_nShownSent = app.m_nBytesSent;
        m_pSent->setText(CountText(m_nShownSent));
    }
}
