#include "ui/shell/MainPropSheet.h"

#include "app/TraceApp.h"
#include "trace/TraceStore.h"
#include "ui/shell/AppIcon.h"
#include "ui/shell/DialogUnits.h"

#include <algorithm>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QResizeEvent>
#include <QScreen>
#include <QShortcut>
#include <QTabBar>
#include <QTabWidget>

namespace {

// Dialog template ids, in tab order; they name the page windows.
const int kPageIds[CMainPropSheet::kPageCount] = {130, 131, 132, 134, 139, 137, 138, 100};

// A page's top-left corner lies this far inside the tab control's display area.
constexpr int kPageMargin = 4;

} // namespace

CMainPropSheet::CMainPropSheet(CTraceApp& app)
    : m_App(app)
    , m_hIcon(AppIcon())
    , m_dlgDebug(app)
    , m_dlgList(app)
    , m_dlgResponse(app)
    , m_dlgRequest(app)
    , m_dlgSettings(app)
    , m_dlgHttps(app)
    , m_dlgExchanges(app)
    , m_pages{&m_dlgSettings, &m_dlgRequest, &m_dlgResponse, &m_dlgList, &m_dlgExchanges, &m_dlgDebug, &m_dlgHttps, &m_dlgAbout}
{
    m_dlgExchanges.SetSavedCapture(&m_SavedCapture);
    m_dlgList.SetSavedCapture(&m_SavedCapture);
    m_dlgDebug.SetSavedCapture(&m_SavedCapture);
    setObjectName(QStringLiteral("MainPropSheet"));
    setWindowTitle(QStringLiteral("Kestrune"));
    setWindowIcon(m_hIcon);
}

CMainPropSheet::~CMainPropSheet()
{
    if (m_pTabs)
        disconnect(m_pTabs, nullptr, this, nullptr);
    m_nActive = -1;
    // The page windows call back into their page objects, which are members: they go first.
    for (CPropertyPage* page : m_pages)
        delete page->GetWindow();
    delete m_pTabs.data();
}

bool CMainPropSheet::OpenSavedCapture(const QString& path)
{
    if (!m_SavedCapture.Open(path))
        return false;
    const auto at = std::find(m_pages.begin(), m_pages.end(), &m_dlgExchanges);
    SetActivePage(static_cast<int>(at - m_pages.begin()));
    return true;
}

CPropertyPage* CMainPropSheet::GetPage(int index) const
{
    if (index < 0 || index >= kPageCount)
        return nullptr;
    return m_pages[static_cast<std::size_t>(index)];
}

QSize CMainPropSheet::PageAreaSize() const
{
    // As wide as the widest page template and as tall as the tallest.
    const CDialogUnits units(font());
    QSize area(0, 0);
    for (const CPropertyPage* page : m_pages)
        area = area.expandedTo(
            units.Size(page->GetTemplateSize().width(), page->GetTemplateSize().height()));
    return area;
}

bool CMainPropSheet::Create()
{
    if (m_pTabs)
        return true;
    m_pTabs = new QTabWidget(this);
    m_pTabs->setObjectName(QStringLiteral("TabControl"));
    m_pTabs->setFocusPolicy(Qt::TabFocus);
    for (CPropertyPage* page : m_pages)
        m_pTabs->addTab(new QWidget, page->GetTitle());
    m_pTabs->setCurrentIndex(0);
    connect(m_pTabs, &QTabWidget::currentChanged, this, [this](int index) { OnTabChanged(index); });

    auto step = [this](int delta) {
        if (m_pTabs)
            m_pTabs->setCurrentIndex((m_pTabs->currentIndex() + delta + kPageCount) % kPageCount);
    };
    for (auto key : {QKeySequence(Qt::CTRL | Qt::Key_Tab), QKeySequence(Qt::CTRL | Qt::Key_PageDown)})
        connect(new QShortcut(key, this), &QShortcut::activated, this, [step] { step(1); });
    for (auto key : {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab),
                     QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab),
                     QKeySequence(Qt::CTRL | Qt::Key_PageUp)})
        connect(new QShortcut(key, this), &QShortcut::activated, this, [step] { step(-1); });

    // The size the templates give: the page area inside the display area of the tab control.
    const QSize area = PageAreaSize();
    const int tabHeight = m_pTabs->tabBar()->sizeHint().height();
    m_templateWindowSize = QSize(kPageMargin + area.width() + kPageInset,
                                 tabHeight + kPageMargin + area.height() + kPageInset);
    resize(m_templateWindowSize);
    m_pTabs->setGeometry(rect());

    // The Setup page comes with the sheet: its initialisation applies the settings and listens.
    ShowPage(0);

    // Wide enough too for every control of every page (the Listing's filter field) to show.
    QSize start = m_templateWindowSize + QSize(kStartGrowth, kStartGrowth);
    for (const CPropertyPage* page : m_pages)
        start.setWidth(std::max(start.width(), kPageMargin + page->GetPreferredWidth(font()) + kPageInset));
    resize(start);
    LayoutActivePage();

    // The native window first, so that the frame's margins count in the centring.
    create();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
    return true;
}

void CMainPropSheet::ShowPage(int index)
{
    CPropertyPage* page = GetPage(index);
    if (!page)
        return;
    if (!page->HasWindow()) {
        QWidget* window = page->CreateWindow(this);
        if (window->objectName().isEmpty())
            window->setObjectName(QString::number(kPageIds[index]));
        const int tabHeight = m_pTabs ? m_pTabs->tabBar()->sizeHint().height() : 0;
        window->move(kPageMargin, tabHeight + kPageMargin);
    }
    m_nActive = index;
    if (QWidget* window = page->GetWindow()) {
        window->raise();
        window->show();
    }
    page->OnSetActive();
    // A page that becomes active is stretched to the window at once, not at the next resize.
    LayoutActivePage();
}

void CMainPropSheet::SetActivePage(int index)
{
    if (m_pTabs && index >= 0 && index < kPageCount)
        m_pTabs->setCurrentIndex(index);
}

void CMainPropSheet::OnTabChanged(int index)
{
    if (index == m_nActive)
        return;
    if (CPropertyPage* previous = GetActivePage()) {
        previous->OnKillActive();
        if (QWidget* window = previous->GetWindow())
            window->hide();
    }
    ShowPage(index);
}

void CMainPropSheet::LayoutActivePage()
{
    if (!m_pTabs)
        return;
    m_pTabs->setGeometry(rect());
    CPropertyPage* page = GetActivePage();
    if (!page || !page->HasWindow())
        return;
    QWidget* window = page->GetWindow();
    const QPoint topLeft = window->pos();
    const int right = m_pTabs->width() - kPageInset;
    const int bottom = m_pTabs->height() - kPageInset;
    m_rcPage = QRect(topLeft.x(), topLeft.y(), qMax(0, right - topLeft.x()),
                     qMax(0, bottom - topLeft.y()));
    window->setGeometry(m_rcPage);
}

void CMainPropSheet::ClearAllData()
{
    CTraceApp& app = m_App;
    app.m_nBytesSent = 0;
    app.m_nBytesReceived = 0;
    m_dlgResponse.ClearPane();
    m_dlgRequest.ClearPane();
    // The Listing's rows point at records of the store: they go before the purge.
    m_dlgList.ClearListing();
    m_dlgExchanges.ClearExchanges();
    if (app.m_pTraceStore)
        app.m_pTraceStore->PurgeClosedConnections();
}

void CMainPropSheet::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    LayoutActivePage();
}

void CMainPropSheet::closeEvent(QCloseEvent* event)
{
    // No question and nothing saved: the run ends through the application's shutdown order.
    event->accept();
    emit sheetClosed();
}
