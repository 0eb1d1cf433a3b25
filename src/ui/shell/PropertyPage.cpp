#include "ui/shell/PropertyPage.h"

#include <QResizeEvent>
#include <QTimerEvent>

CPageWindow::CPageWindow(CPropertyPage* page, QWidget* parent)
    : QWidget(parent)
    , m_pPage(page)
{
}

void CPageWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_pPage->OnSize(event->size().width(), event->size().height());
}

void CPageWindow::timerEvent(QTimerEvent* event)
{
    m_pPage->OnTimer(event->timerId());
}

CPropertyPage::CPropertyPage(QString title, QSize templateSize)
    : m_strTitle(std::move(title))
    , m_templateSize(templateSize)
{
}

CPropertyPage::~CPropertyPage()
{
    // The sheet destroys the windows first; a window left over is deleted with its page.
    delete m_pWindow.data();
}

QWidget* CPropertyPage::CreateWindow(QWidget* parent)
{
    if (m_pWindow)
        return m_pWindow;
    auto* window = new CPageWindow(this, parent);
    m_pWindow = window;
    m_pUnits = std::make_unique<CDialogUnits>(window->font());
    window->resize(m_pUnits->Size(m_templateSize.width(), m_templateSize.height()));
    OnInitDialog();
    return window;
}
