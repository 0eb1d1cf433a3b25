#include "ui/viewers/SavedPane.h"

#include "session/SessionIndex.h"
#include "ui/viewers/SavedCapture.h"
#include "ui/viewers/SavedTableModel.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QShortcut>
#include <QTableView>
#include <QVBoxLayout>

CSavedPane::CSavedPane(QWidget* page, CSavedCapture& capture)
    : QWidget(page)
    , m_Capture(capture)
    , m_pPage(page)
{
    setObjectName(QStringLiteral("savedPane"));
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    auto* bar = new QHBoxLayout;
    m_pMarker = new QLabel(this);
    m_pMarker->setObjectName(QStringLiteral("savedMarker"));
    m_pMarker->setTextFormat(Qt::PlainText);
    m_pMarker->setStyleSheet(QStringLiteral("background: #fff3c4; color: #000000; padding: 3px"));
    m_pOpen = new QPushButton(QStringLiteral("&Open Session..."), this);
    m_pBack = new QPushButton(QStringLiteral("&Back to live"), this);
    m_pBack->setObjectName(QStringLiteral("backToLive"));
    for (QPushButton* button : {m_pOpen.data(), m_pBack.data()})
        button->setAutoDefault(false);
    bar->addWidget(m_pMarker, 1);
    bar->addWidget(m_pOpen);
    bar->addWidget(m_pBack);
    layout->addLayout(bar);
    m_pBody = new QVBoxLayout;
    layout->addLayout(m_pBody, 1);
    hide();

    connect(m_pOpen, &QPushButton::clicked, this, [this] { m_Capture.ChooseAndOpen(this); });
    connect(m_pBack, &QPushButton::clicked, this, [this] { m_Capture.Close(); });
    connect(&m_Capture, &CSavedCapture::changed, this, [this] { ShowCapture(); });
    page->installEventFilter(this);
}

CSavedPane::~CSavedPane() = default;

void CSavedPane::ShowCapture()
{
    if (m_Capture.IsOpen()) {
        m_pMarker->setText(QStringLiteral("Saved capture: %1 (the live capture goes on)")
                               .arg(m_Capture.GetFileName()));
        // The run's description (version, start, settings) when the marker is pointed at.
        SSessionInfo info;
        QString run;
        if (m_Capture.GetIndex()->ReadRun(info))
            for (const auto& [key, value] : info.run)
                run += QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()))
                       + QStringLiteral(": ")
                       + QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()))
                       + QLatin1Char('\n');
        m_pMarker->setToolTip(run.trimmed());
        Cover();
    } else {
        Uncover();
    }
    OnCaptureChanged();
}

void CSavedPane::Start(const QTableView& live, QTableView& saved,
                       std::function<QWidget*()> window)
{
    const QHeaderView* from = live.horizontalHeader();
    for (int column = 0; column < from->count(); ++column)
        saved.horizontalHeader()->resizeSection(column, from->sectionSize(column));
    ShowCapture();
    auto* open = new QShortcut(QKeySequence::Open, m_pPage);
    open->setContext(Qt::WindowShortcut);
    connect(open, &QShortcut::activated, this,
            [this, window = std::move(window)] { m_Capture.ChooseAndOpen(window()); });
}

void CSavedPane::SortByHeading(QTableView& list, CSavedTableModel& model, int column)
{
    const bool same = column == model.GetSortColumn();
    const bool off = same && model.IsSortDescending();
    const bool descending = same && !off;
    model.Sort(off ? -1 : column, descending);
    QHeaderView* header = list.horizontalHeader();
    header->setSortIndicatorShown(!off);
    header->setSortIndicator(off ? -1 : column,
                             descending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void CSavedPane::ShowFilterError(QLineEdit& filter, QLabel& label, const std::string& error)
{
    label.setText(QString::fromUtf8(error.data(), static_cast<qsizetype>(error.size())));
    label.setVisible(!error.empty());
    filter.setStyleSheet(error.empty() ? QString() : QStringLiteral("color: #b00000"));
}

void CSavedPane::Cover()
{
    if (!m_pPage || !isHidden())
        return;
    m_Covered.clear();
    for (QWidget* child : m_pPage->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child != this && child->isVisibleTo(m_pPage) && !child->isWindow()) {
            m_Covered.emplace_back(child);
            child->hide();
        }
    }
    setGeometry(m_pPage->rect());
    show();
    raise();
}

void CSavedPane::Uncover()
{
    if (isHidden())
        return;
    hide();
    for (const QPointer<QWidget>& child : m_Covered)
        if (child)
            child->show();
    m_Covered.clear();
}

bool CSavedPane::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_pPage && event->type() == QEvent::Resize && !isHidden())
        setGeometry(m_pPage->rect());
    return QWidget::eventFilter(watched, event);
}
