#include "ui/viewers/MessageView.h"

#include "http/HttpHead.h"
#include "ui/shell/ByteText.h"
#include "ui/viewers/ExchangeCells.h"
#include "ui/viewers/LinesModel.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace {

enum { kLinesPage, kImagePage };

} // namespace

CMessageView::CMessageView(const QString& name, QWidget* parent)
    : QTabWidget(parent)
{
    setAccessibleName(name);
    setObjectName(name);

    auto* headersPage = new QWidget;
    auto* headersLayout = new QVBoxLayout(headersPage);
    headersLayout->setContentsMargins(2, 2, 2, 2);
    m_pFirstLine = new QLabel(headersPage);
    m_pFirstLine->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_pFirstLine->setAccessibleName(name + QStringLiteral(" line"));
    m_pHeaders = new QTableWidget(0, 2, headersPage);
    m_pHeaders->setObjectName(name + QStringLiteral("Headers"));
    m_pHeaders->setAccessibleName(name + QStringLiteral(" headers"));
    m_pHeaders->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Value")});
    m_pHeaders->horizontalHeader()->setStretchLastSection(true);
    m_pHeaders->verticalHeader()->hide();
    m_pHeaders->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pHeaders->setWordWrap(false);
    headersLayout->addWidget(m_pFirstLine);
    headersLayout->addWidget(m_pHeaders);
    addTab(headersPage, QStringLiteral("&Headers"));

    auto* bodyPage = new QWidget;
    auto* bodyLayout = new QVBoxLayout(bodyPage);
    bodyLayout->setContentsMargins(2, 2, 2, 2);
    m_pNotice = new QLabel(bodyPage);
    m_pNotice->setObjectName(name + QStringLiteral("Notice"));
    m_pNotice->setAccessibleName(name + QStringLiteral(" body notice"));
    m_pNotice->setWordWrap(true);
    m_pNotice->hide();
    m_pBodyStack = new QStackedWidget(bodyPage);
    m_pBodyLines = new CLinesModel(this);
    m_pBodyStack->addWidget(MakeLinesView(m_pBodyLines, name + QStringLiteral(" body")));
    m_pImageArea = new QScrollArea(m_pBodyStack);
    m_pImageArea->setAccessibleName(name + QStringLiteral(" image"));
    m_pImage = new QLabel;
    m_pImage->setAccessibleName(name + QStringLiteral(" image"));
    m_pImageArea->setWidget(m_pImage);
    m_pBodyStack->addWidget(m_pImageArea);
    bodyLayout->addWidget(m_pNotice);
    bodyLayout->addWidget(m_pBodyStack);
    addTab(bodyPage, QStringLiteral("&Body"));

    m_pRawLines = new CLinesModel(this);
    addTab(MakeLinesView(m_pRawLines, name + QStringLiteral(" raw")), QStringLiteral("Ra&w"));
}

CMessageView::~CMessageView()
{
    StopWaiting();
}

QListView* CMessageView::MakeLinesView(CLinesModel* model, const QString& name)
{
    auto* view = new QListView;
    view->setAccessibleName(name);
    view->setModel(model);
    view->setUniformItemSizes(true);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // Ctrl+C copies the selected lines, in order.
    auto* copy = new QAction(QStringLiteral("&Copy"), view);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    view->addAction(copy);
    view->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(copy, &QAction::triggered, view, [view, model] {
        QModelIndexList rows = view->selectionModel()->selectedRows();
        std::sort(rows.begin(), rows.end());
        QString text;
        for (const QModelIndex& row : rows)
            text += model->LinesText(row.row(), row.row());
        if (!text.isEmpty())
            QApplication::clipboard()->setText(text);
    });
    return view;
}

void CMessageView::StopWaiting()
{
    if (!m_pWatcher)
        return;
    // The thread finishes on its own copy; its result is not wanted any more.
    m_pWatcher->disconnect(this);
    m_pWatcher->deleteLater();
    m_pWatcher = nullptr;
}

CMessageView::SPrepared CMessageView::Prepare(const std::string& head, const std::string& body, std::uint64_t total)
{
    SPrepared prepared;
    prepared.body = PrepareBody(head, body, total);
    prepared.raw = PrepareRaw(head, body);
    return prepared;
}

void CMessageView::SetMessage(const std::string& head, const std::string& body, std::uint64_t total)
{
    StopWaiting();
    const SHttpHead parsed = ParseHttpHead(head);
    m_pFirstLine->setText(FromBytes(parsed.firstLine));
    m_pHeaders->setRowCount(static_cast<int>(parsed.fields.size()));
    int row = 0;
    for (const SHttpHead::SField& field : parsed.fields) {
        m_pHeaders->setItem(row, 0, new QTableWidgetItem(FromBytes(field.name)));
        m_pHeaders->setItem(row, 1, new QTableWidgetItem(FromBytes(field.value)));
        ++row;
    }
    m_pHeaders->resizeColumnToContents(0);

    if (body.size() <= kOffLoopBody) {
        Show(Prepare(head, body, total));
        return;
    }
    // Too big to prepare between two events: on another thread, the window going on meanwhile.
    m_pBodyLines->Clear();
    m_pRawLines->Clear();
    m_pImage->clear();
    m_nKind = SBodyPreview::Kind::Empty;
    m_pNotice->setText(QStringLiteral("Preparing %1 bytes of body...").arg(QString::fromLatin1(GroupedNumber(body.size()))));
    m_pNotice->show();
    m_pWatcher = new QFutureWatcher<SPrepared>(this);
    connect(m_pWatcher, &QFutureWatcherBase::finished, this, [this] {
        QFutureWatcher<SPrepared>* watcher = m_pWatcher;
        m_pWatcher = nullptr;
        Show(watcher->result());
        watcher->deleteLater();
    });
    m_pWatcher->setFuture(QtConcurrent::run(&CMessageView::Prepare, head, body, total));
}

void CMessageView::Show(SPrepared prepared)
{
    SBodyPreview& body = prepared.body;
    m_nKind = body.kind;
    m_pNotice->setText(body.notice);
    m_pNotice->setVisible(!body.notice.isEmpty());
    switch (body.kind) {
    case SBodyPreview::Kind::Image:
        m_pImage->setPixmap(QPixmap::fromImage(body.image));
        m_pImage->adjustSize();
        m_pBodyLines->Clear();
        m_pBodyStack->setCurrentIndex(kImagePage);
        break;
    case SBodyPreview::Kind::Binary:
        m_pBodyLines->SetHex(std::move(body.bytes));
        m_pBodyStack->setCurrentIndex(kLinesPage);
        break;
    case SBodyPreview::Kind::Text:
        m_pBodyLines->SetText(std::move(body.text), std::move(body.lineStarts));
        m_pBodyStack->setCurrentIndex(kLinesPage);
        break;
    case SBodyPreview::Kind::Empty:
        m_pBodyLines->Clear();
        m_pBodyStack->setCurrentIndex(kLinesPage);
        break;
    }
    if (body.kind != SBodyPreview::Kind::Image)
        m_pImage->clear();
    m_pRawLines->SetText(std::move(prepared.raw.text), std::move(prepared.raw.lineStarts));
    emit bodyShown();
}

void CMessageView::Clear()
{
    StopWaiting();
    m_pFirstLine->clear();
    m_pHeaders->setRowCount(0);
    m_pNotice->clear();
    m_pNotice->hide();
    m_pBodyLines->Clear();
    m_pRawLines->Clear();
    m_pImage->clear();
    m_nKind = SBodyPreview::Kind::Empty;
}

QString CMessageView::GetNotice() const
{
    return m_pNotice->text();
}
