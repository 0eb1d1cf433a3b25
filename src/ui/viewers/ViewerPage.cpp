#include "ui/viewers/ViewerPage.h"

#include "app/TraceApp.h"
#include "platform/MessageBox.h"
#include "trace/OutOfMemory.h"

#include <QWidget>

#include <algorithm>

CViewerPage::CViewerPage(CTraceApp& app, SViewerTemplate tmpl)
    : CPropertyPage(tmpl.title, tmpl.size)
    , m_App(app)
    , m_tmpl(std::move(tmpl))
{
}

CTraceStore* CViewerPage::Store() const
{
    return m_App.m_pTraceStore.get();
}

CViewerPage::~CViewerPage() = default;

void CViewerPage::OnInitDialog()
{
    QWidget* page = GetWindow();

    m_pClear = new QPushButton(QStringLiteral("&Clear"), page);
    m_pClear->setObjectName(QString::number(IDC_CLEAR));
    m_pClear->setGeometry(DluRect(7, 7, 39, 13));
    m_pClear->setAutoDefault(false);

    m_pCopy = new QPushButton(QStringLiteral("Co&py"), page);
    m_pCopy->setObjectName(QString::number(IDC_COPY));
    m_pCopy->setGeometry(DluRect(49, 7, 39, 13));
    m_pCopy->setAutoDefault(false);

    m_pFreeze = new QCheckBox(QStringLiteral("&Freeze"), page);
    m_pFreeze->setObjectName(QString::number(IDC_FREEZE));
    m_pFreeze->setGeometry(DluRect(97, 7, 45, 14));

    if (!m_tmpl.refreshTextRect.isNull()) {
        const QRect& r = m_tmpl.refreshTextRect;
        m_pRefreshText = new QLabel(QStringLiteral("3 second refresh rate"), page);
        m_pRefreshText->setObjectName(QStringLiteral("refreshRate"));
        m_pRefreshText->setGeometry(DluRect(r.x(), r.y(), r.width(), r.height()));
    }

    const QRect& r = m_tmpl.paneRect;
    m_pPane = new CTextPane(page);
    m_pPane->setObjectName(QString::number(m_tmpl.paneId));
    m_pPane->setGeometry(DluRect(r.x(), r.y(), r.width(), r.height()));
    m_pPane->setFocusPolicy(m_tmpl.paneTabStop ? Qt::StrongFocus : Qt::ClickFocus);

    QWidget::setTabOrder(m_pClear, m_pCopy);
    QWidget::setTabOrder(m_pCopy, m_pFreeze);
    QWidget::setTabOrder(m_pFreeze, m_pPane);

    QObject::connect(m_pClear, &QPushButton::clicked, page, [this] { ClearPane(); });
    QObject::connect(m_pCopy, &QPushButton::clicked, page, [this] { OnCopy(); });
    // Freeze has no handler: its state is read at each pull.

    if (m_tmpl.pullAtInit) {
        ResizeControls();
        PullFeed();
    }
}

void CViewerPage::OnSetActive()
{
    QWidget* page = GetWindow();
    if (!page)
        return;
    StopTimer(); // never two timers for one page
    m_nTimerId = page->startTimer(kRefreshPeriodMs);
}

void CViewerPage::OnKillActive()
{
    StopTimer();
}

void CViewerPage::StopTimer()
{
    if (m_nTimerId != 0) {
        if (QWidget* page = GetWindow())
            page->killTimer(m_nTimerId);
        m_nTimerId = 0;
    }
}

void CViewerPage::OnTimer(int timerId)
{
    (void)timerId;
    PullFeed();
}

void CViewerPage::OnSize(int width, int height)
{
    (void)width;
    (void)height;
    ResizeControls();
}

std::string CViewerPage::RollPaneText(const std::string& joined)
{
    if (joined.size() <= PANE_LIMIT)
        return joined;
    std::string rolled;
    rolled.reserve(sizeof kRolledPastMarker - 1 + PANE_LIMIT);
    rolled.append(kRolledPastMarker);
    rolled.append(joined, joined.size() - PANE_LIMIT, PANE_LIMIT);
    return rolled;
}

void CViewerPage::PullFeed()
{
    if (m_pFreeze && m_pFreeze->isChecked())
        return; // the feed keeps filling (and trimming) in the store
    if (!m_pPane || !Store())
        return;

    const std::string& paneText = m_pPane->GetBytes();
    std::string newText = TakeFeedText();
    if (newText.empty())
        return;
    ClearFeedText();

    // Short of memory, the new text is lost; the pane keeps what it showed.
    RunUnlessOutOfMemory([&] {
        if (paneText.size() + newText.size() <= PANE_LIMIT) {
            m_pPane->AppendBytes(newText); // nothing is cut: only the new text is drawn
            return;
        }
        std::string joined;
        joined.reserve(paneText.size() + newText.size());
        joined.append(paneText).append(newText);
        m_pPane->SetBytes(RollPaneText(joined));
    });
}

void CViewerPage::ClearPane()
{
    if (m_pPane)
        m_pPane->SetBytes(std::string());
}

void CViewerPage::OnCopy()
{
    if (!m_pPane || m_pPane->GetByteLength() == 0)
        return;
    m_pPane->CopyAllToClipboard();
    ShowMessageBox(m_tmpl.copyMessage);
}

void CViewerPage::ResizeControls()
{
    QWidget* page = GetWindow();
    if (!page || !m_pPane)
        return;
    const int width = page->width();
    const int height = page->height();
    const QRect pane = m_pPane->geometry();
    const int margin = pane.left();
    m_pPane->setGeometry(pane.left(), pane.top(),
                         std::max(0, width - margin - pane.left()),
                         std::max(0, height - margin - pane.top()));
    m_pPane->update();
}
