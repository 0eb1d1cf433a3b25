#include "app/SessionSwitch.h"

#include "app/CommandLine.h"
#include "app/SessionRun.h"
#include "app/TraceApp.h"
#include "platform/MessageBox.h"
#include "session/SessionBacking.h"
#include "session/SessionLock.h"
#include "session/SessionRecorder.h"
#include "trace/MemoryBudget.h"
#include "trace/TraceStore.h"

#include <QFileInfo>
#include <QMetaObject>

namespace {
// Numbered names tried beside a name that is taken before giving up.
constexpr int kMaxNumberedNames = 9999;

bool Exists(const std::string& path)
{
    return QFileInfo::exists(QString::fromStdString(path))
           || QFileInfo(QString::fromStdString(path)).isSymLink();
}
} // namespace

CSessionSwitch::CSessionSwitch(CTraceApp& app, Changed changed)
    : m_App(app)
    , m_Changed(std::move(changed))
{
}

CSessionSwitch::~CSessionSwitch() { Stop(); }

std::string CSessionSwitch::ChooseFile(const std::string& name, std::string& error)
{
    if (CSessionLock::IsHeld(name)) {
        error = "the session file " + name + " is being recorded by another Kestrune";
        return {};
    }
    if (!Exists(name))
        return name;
    // "run.kestrune" -> "run-1.kestrune"; a name without an extension gets the number at its end.
    const std::size_t slash = name.rfind('/');
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)
        || dot == (slash == std::string::npos ? 0 : slash + 1))
        dot = name.size();
    for (int n = 1; n <= kMaxNumberedNames; ++n) {
        std::string candidate = name.substr(0, dot) + "-" + std::to_string(n) + name.substr(dot);
        if (!Exists(candidate))
            return candidate;
    }
    error = "no new session file could be named after " + name;
    return {};
}

bool CSessionSwitch::Apply(const std::string& name, std::string& error)
{
    if (name == m_strName && (name.empty() || IsRecording()))
        return true;
    Stop();
    m_strName = name;
    if (name.empty())
        return true;
    const std::string file = ChooseFile(name, error);
    if (file.empty())
        return false;
    auto run = std::make_unique<CSessionRun>();
    // Told on the writer's thread; handled on the loop while this switch lives.
    auto report = [this](const std::string& message) {
        QMetaObject::invokeMethod(
            &m_Context, [this, message] { OnReport(message); }, Qt::QueuedConnection);
    };
    // What waits for the disk stays within a part of the memory budget, as in the headless run.
    const std::uint64_t queue = m_App.m_pTraceStore ? m_App.m_pTraceStore->Memory()->Limit() / 8
                                                    : CSessionRecorder::kMaxQueuedBytes;
    if (!run->Start(file, m_App, CCommandLine{}, report, error, static_cast<std::size_t>(queue)))
        return false;
    m_pRun = std::move(run);
    m_strFile = file;
    m_bToldFailure = false;
    Attach();
    return true;
}

void CSessionSwitch::Stop()
{
    if (!m_pRun)
        return;
    Detach();
    if (m_App.m_pTraceStore)
        m_pRun->Finish(*m_App.m_pTraceStore);
    m_pRun.reset();
    m_strFile.clear();
}

bool CSessionSwitch::IsRecording() const { return m_pRun && m_pRun->IsRecording(); }

void CSessionSwitch::Attach()
{
    CTraceStore* store = m_App.m_pTraceStore.get();
    if (!store)
        return;
    CSessionRun* run = m_pRun.get();
    store->SetRecordObserver([run](const CTraceRecord& record) { run->AddRecord(record); });
    store->SetExchangeObserver([run](const CExchange& exchange) { run->AddExchange(exchange); });
    store->SetDebugTap([run](const std::string& text) { run->AddDebugLine(text); });
    // What the budget takes out of memory stays readable from the file, also once it ends.
    store->SetBacking(std::make_shared<CSessionBacking>(m_strFile));
}

void CSessionSwitch::Detach()
{
    if (CTraceStore* store = m_App.m_pTraceStore.get()) {
        store->SetRecordObserver(nullptr);
        store->SetExchangeObserver(nullptr);
        store->SetDebugTap(nullptr);
    }
}

void CSessionSwitch::OnReport(const std::string& message)
{
    if (IsRecording()) {
        // Falling behind loses a part, not the recording: a note, not a box each time.
        if (m_App.m_pTraceStore)
            m_App.m_pTraceStore->AppendDebugNotice("CSessionSwitch: " + message + "\r\n");
        return;
    }
    // The recording failed: the observers go (nothing more is copied), the name stays.
    Detach();
    if (m_Changed)
        m_Changed();
    if (!m_bToldFailure) {
        m_bToldFailure = true;
        ShowMessageBox(message);
    }
}
