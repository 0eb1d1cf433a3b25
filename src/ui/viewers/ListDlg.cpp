#include "ui/viewers/ListDlg.h"

#include "app/HarBuilder.h"
#include "app/TraceApp.h"
#include "platform/MessageBox.h"
#include "trace/CurlCommand.h"
#include "trace/Exchange.h"
#include "trace/ExchangeUrl.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"
#include "ui/shell/ByteText.h"
#include "ui/viewers/FixCarriageReturns.h"
#include "ui/viewers/SavedCapture.h"
#include "ui/viewers/SavedListingPane.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QClipboard>
#include <QFileDialog>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QScrollBar>
#include <QShortcut>
#include <QStyle>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// The wait cursor for as long as the object lives.
class CWaitCursor {
public:
    CWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~CWaitCursor() { QApplication::restoreOverrideCursor(); }
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
};

constexpr int kMinFilterWidth = 80; // pixels the filter field keeps however narrow the page
constexpr int kOpeningFilterWidth = 200; // pixels it has when the window opens, at least
constexpr char kFilterHint[] = "words host: method: status: text: -not";

// Where the controls after Fix Carriage Returns go: each after the text of the one before as the
// font draws it (a check box's text may run past its template rectangle), the filter field last.
struct CTopRowTail {
    QRect autoRefresh;
    QRect filterLabel;
    int filterLeft = 0;
};

CTopRowTail LayOutTopRowTail(const CDialogUnits& units, const QFont& font)
{
    const auto hintWidth = [&font](QWidget&& probe) {
        probe.setFont(font);
        return probe.sizeHint().width();
    };
    const int gap = units.X(4);
    const QRect fix = units.Rect(192, 7, 80, 13);
    const int fixRight = std::max(fix.left() + fix.width(),
                                  fix.left() + hintWidth(QCheckBox(QStringLiteral("&Fix Carriage Returns"))));
    CTopRowTail tail;
    tail.autoRefresh = QRect(fixRight + gap, fix.top(), hintWidth(QCheckBox(QStringLiteral("&Auto Refresh"))),
                             fix.height());
    const QRect label = units.Rect(0, 9, 0, 8);
    tail.filterLabel = QRect(tail.autoRefresh.left() + tail.autoRefresh.width() + gap, label.top(),
                             hintWidth(QLabel(QStringLiteral("F&ilter:"))), label.height());
    tail.filterLeft = tail.filterLabel.left() + tail.filterLabel.width() + units.X(2);
    return tail;
}

} // namespace

CListDlg::CListDlg(CTraceApp& app)
    : CPropertyPage(QStringLiteral("Listing"), QSize(355, 165))
    , m_App(app)
{
}

const CTraceStore* CListDlg::Store() const
{
    return m_App.m_pTraceStore.get();
}

CListDlg::~CListDlg() = default;

void CListDlg::OnInitDialog()
{
    QWidget* page = GetWindow();

    auto makeButton = [&](const char* text, int id, QRect rect, bool enabled) {
        auto* button = new QPushButton(QString::fromLatin1(text), page);
        button->setObjectName(QString::number(id));
        button->setGeometry(rect);
        button->setEnabled(enabled);
        button->setAutoDefault(false);
        return button;
    };
    m_pRefresh = makeButton("&Refresh", IDC_REFRESH, DluRect(7, 7, 43, 14), true);
    m_pShow = makeButton("&Show", IDC_SHOW, DluRect(52, 7, 43, 14), false);
    m_pCopyText = makeButton("&Copy Text", IDC_COPYTEXT, DluRect(98, 7, 43, 14), false);
    m_pClear = makeButton("C&lear", IDC_CLEAR, DluRect(143, 7, 43, 14), true);

    m_pFixCR = new QCheckBox(QStringLiteral("&Fix Carriage Returns"), page);
    m_pFixCR->setObjectName(QString::number(IDC_FIXCR));
    m_pFixCR->setGeometry(DluRect(192, 7, 80, 13));
    // Wider than its rectangle when the font needs it, so that its text is not cut.
    m_pFixCR->resize(std::max(m_pFixCR->width(), m_pFixCR->sizeHint().width()), m_pFixCR->height());

    m_pAutoRefresh = new QCheckBox(QStringLiteral("&Auto Refresh"), page);
    m_pAutoRefresh->setObjectName(QString::number(IDC_AUTOREFRESH));
    const CTopRowTail tail = LayOutTopRowTail(Units(), page->font());
    m_pAutoRefresh->setGeometry(tail.autoRefresh);
    m_pFilterLabel = new QLabel(QStringLiteral("F&ilter:"), page);
    m_pFilterLabel->setGeometry(tail.filterLabel);
    m_pFilter = new QLineEdit(page);
    m_pFilter->setObjectName(QString::number(IDC_FILTER));
    m_pFilter->setGeometry(QRect(tail.filterLeft, tail.autoRefresh.top(), kMinFilterWidth, tail.autoRefresh.height()));
    m_pFilter->setClearButtonEnabled(true);
    m_pFilter->setPlaceholderText(QString::fromLatin1(kFilterHint));
    m_pFilterLabel->setBuddy(m_pFilter);
    m_pFilterError = new QLabel(page);
    m_pFilterError->setObjectName(QStringLiteral("filterError"));
    m_pFilterError->setStyleSheet(QStringLiteral("color: #b00000"));
    m_pFilterError->setWordWrap(true);
    m_pFilterError->hide();

    m_pList = new CListingView(page);
    m_pList->setObjectName(QString::number(IDC_LIST));
    m_pList->setGeometry(DluRect(7, 23, 187, 135));
    m_nListTop = m_pList->y();
    m_pModel = new CListingModel(m_pList);
    m_pList->setModel(m_pModel);

    m_pText = new CTextPane(page);
    m_pText->setObjectName(QString::number(IDC_TEXT));
    m_pText->setGeometry(DluRect(198, 23, 76, 135));

    QWidget::setTabOrder(m_pRefresh, m_pShow);
    QWidget::setTabOrder(m_pShow, m_pCopyText);
    QWidget::setTabOrder(m_pCopyText, m_pClear);
    QWidget::setTabOrder(m_pClear, m_pFixCR);
    QWidget::setTabOrder(m_pFixCR, m_pAutoRefresh);
    QWidget::setTabOrder(m_pAutoRefresh, m_pFilter);
    QWidget::setTabOrder(m_pFilter, m_pList);
    QWidget::setTabOrder(m_pList, m_pText);

    // Column widths come from the list's width at creation, each at least as wide as its heading.
    const int listWidth = m_pList->width();
    QHeaderView* header = m_pList->horizontalHeader();
    header->resizeSection(CListingModel::colSummary, listWidth / 2);
    for (int column = CListingModel::colId; column < CListingModel::kColumnCount; ++column)
        header->resizeSection(column, std::max(listWidth / 8, HeadingWidth(column)));

    QObject::connect(m_pRefresh, &QPushButton::clicked, page, [this] { OnRefresh(); });
    QObject::connect(m_pShow, &QPushButton::clicked, page, [this] { OnShow(); });
    QObject::connect(m_pCopyText, &QPushButton::clicked, page, [this] { OnCopyText(); });
    QObject::connect(m_pClear, &QPushButton::clicked, page, [this] { OnClear(); });
    QObject::connect(m_pFixCR, &QCheckBox::clicked, page, [this] { OnFixCarriageReturns(); });
    QObject::connect(m_pList, &CListingView::mouseClicked, page, [this] { UpdateButtonStates(); });
    QObject::connect(m_pList, &CListingView::mouseDoubleClicked, page, [this] { OnShow(); });

    auto* find = new QShortcut(QKeySequence::Find, page);
    find->setContext(Qt::WindowShortcut); // from the tab bar too, while the page shows
    QObject::connect(find, &QShortcut::activated, page, [this] {
        m_pFilter->setFocus(Qt::ShortcutFocusReason);
        m_pFilter->selectAll();
    });
    QObject::connect(m_pFilter, &QLineEdit::textChanged, page, [this](const QString& text) { OnFilterEdited(text); });
    m_pAutoTimer = new QTimer(page);
    m_pAutoTimer->setInterval(kAutoRefreshMs);
    QObject::connect(m_pAutoTimer, &QTimer::timeout, page, [this] { OnAutoRefresh(); });
    QObject::connect(m_pAutoRefresh, &QCheckBox::toggled, page, [this](bool on) { OnAutoRefreshToggled(on); });

    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    QObject::connect(header, &QHeaderView::sectionClicked, page, [this](int column) { OnHeaderClicked(column); });
    QObject::connect(m_pModel, &QAbstractItemModel::modelAboutToBeReset, page, [this] { KeepViewState(); });
    QObject::connect(m_pModel, &CListingModel::filterApplied, page, [this] { RestoreViewState(); });
    QObject::connect(m_pModel, &QAbstractItemModel::modelReset, page, [this] {
        if (m_pModel->GetSnapshotSize() == 0) { // cleared: the kept records may be freed
            m_Kept = SViewState();
            m_bSelectionHidden = false;
        }
    });

    m_pList->setContextMenuPolicy(Qt::CustomContextMenu);
    // Shift+F10 opens the menu as the Menu key does, at the current row.
    auto* menuKey = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), m_pList);
    menuKey->setContext(Qt::WidgetShortcut);
    QObject::connect(menuKey, &QShortcut::activated, page, [this] {
        const QRect current = m_pList->visualRect(m_pList->currentIndex());
        if (current.isValid())
            emit m_pList->customContextMenuRequested(current.center());
    });
    QObject::connect(m_pList->selectionModel(), &QItemSelectionModel::selectionChanged, page, [this] {
        if (!m_bRestoring)
            m_bSelectionHidden = false; // the user chose anew: the hidden selection is let go
    });
    QObject::connect(m_pList, &QWidget::customContextMenuRequested, page, [this](const QPoint& pos) {
        const QModelIndex index = m_pList->indexAt(pos);
        if (!index.isValid() && !m_pSavedCapture)
            return;
        if (index.isValid()
            && !m_pList->selectionModel()->isRowSelected(index.row(), QModelIndex()))
            m_pList->selectionModel()->setCurrentIndex(
                index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        UpdateButtonStates();
        QMenu* menu = MakeContextMenu();
        menu->exec(m_pList->viewport()->mapToGlobal(pos));
        menu->deleteLater();
    });
    if (m_pSavedCapture) { // over the live controls while a saved capture shows
        m_pSavedPane = new CSavedListingPane(page, *m_pSavedCapture);
        m_pSavedPane->Start(*m_pList, *m_pSavedPane->GetList(), [this] { return GetWindow(); });
    }
}

void CListDlg::OnRefresh()
{
    if (!m_pModel)
        return;
    m_pModel->Clear();
    const CTraceStore* store = Store();
    if (!store || store->GetConnections().empty())
        return; // the pane and the buttons stay as they were
    m_pModel->Refresh(*store);
    FitColumns();
    m_pText->SetBytes(std::string());
    UpdateButtonStates();
}

void CListDlg::UpdateButtonStates()
{
    if (!m_pText || !m_pList)
        return;
    m_pCopyText->setEnabled(m_pText->GetByteLength() > 0);
    m_pShow->setEnabled(m_pList->selectionModel()->hasSelection());
}

void CListDlg::OnShow()
{
    if (!m_pText || !m_pList)
        return;
    CWaitCursor wait;
    const bool fix = m_pFixCR->isChecked();

    // Selected rows in ascending order, each once, however the selection was made.
    std::vector<std::pair<int, int>> ranges;
    for (const QItemSelectionRange& range : m_pList->selectionModel()->selection())
        ranges.emplace_back(range.top(), range.bottom());
    std::sort(ranges.begin(), ranges.end());

    std::string result;
    int nextRow = 0;
    for (const auto& [top, bottom] : ranges) {
        for (int row = std::max(top, nextRow); row <= bottom; ++row) {
            const CTraceRecord* record = m_pModel->GetRecord(row);
            if (!record)
                continue;
            // Texts the memory budget took out come back from the session file, or show the note.
            const std::string text = Store() ? Store()->DisplayText(*record) : record->GetDisplayText();
            result += fix ? FixCarriageReturns(text) : text;
        }
        nextRow = std::max(nextRow, bottom + 1);
    }
    m_pText->SetBytes(result);
    UpdateButtonStates();
}

void CListDlg::OnFixCarriageReturns()
{
    OnShow();
}

void CListDlg::OnCopyText()
{
    if (!m_pText || m_pText->GetByteLength() == 0)
        return;
    m_pText->CopyAllToClipboard();
    ShowMessageBox("Text in display window has been copied to clipboard");
}

void CListDlg::OnClear()
{
    // Drop the rows first: whoever carries out Clear Data, the store may purge right after.
    ClearListing();
    m_App.ClearAllData();
}

void CListDlg::ClearListing()
{
    // The rows' records are about to go: nothing kept may point at them.
    m_Kept = SViewState();
    m_bSelectionHidden = false;
    if (m_pModel)
        m_pModel->Clear();
    if (m_pText) {
        m_pText->SetBytes(std::string());
        UpdateButtonStates();
    }
}

int CListDlg::GetPreferredWidth(const QFont& font) const
{
    const CDialogUnits units(font);
    const QFontMetrics metrics(font);
    // The filter field shows its whole hint.
    const int filter = std::max(kOpeningFilterWidth, metrics.horizontalAdvance(QString::fromLatin1(kFilterHint)) + 40);
    const int topRow = LayOutTopRowTail(units, font).filterLeft + filter + units.X(7);
    // The list, half the page, holds its columns and a local request's summary uncut (with the
    // scroll bar and the cells' margins).
    int list = metrics.horizontalAdvance(QStringLiteral("GET https://localhost:8010/")) + 40;
    for (const char* heading : {"ID", "Time", "Bytes", "Resp Time"})
        list += std::max(metrics.horizontalAdvance(QString::fromLatin1(heading)) + 16 + 2 * (metrics.averageCharWidth() + 4),
                         metrics.horizontalAdvance(QStringLiteral("00:00:00")) + 16);
    const int margin = units.X(7);
    return std::max(topRow, 2 * (list + margin + margin / 2));
}

void CListDlg::OnSize(int width, int height)
{
    (void)width;
    (void)height;
    ResizeControls();
}

void CListDlg::ResizeControls()
{
    QWidget* page = GetWindow();
    if (!page || !m_pList || !m_pText)
        return;
    const int width = page->width();
    const int height = page->height();
    const QRect list = m_pList->geometry();
    const int margin = list.left();

    // Edges as the dialog counts them: right and bottom are one past the last pixel.
    const int listRight = width / 2 - margin / 2;
    const int bottom = height - margin;

    // The filter field takes the rest of the top row; its error goes whole, wrapped, below the
    // row, and the list and pane move down to make room for it.
    int top = m_nListTop;
    if (m_pFilter) {
        const QRect field = m_pFilter->geometry();
        const int right = width - margin;
        m_pFilter->setGeometry(field.left(), field.top(), std::max(kMinFilterWidth, right - field.left()),
                               field.height());
        if (m_pFilterError->isVisibleTo(page)) {
            const int left = m_pFilterLabel->x();
            const int errorWidth = std::max(kMinFilterWidth, right - left);
            const int errorHeight = m_pFilterError->heightForWidth(errorWidth);
            m_pFilterError->setGeometry(left, field.bottom() + 2, errorWidth, errorHeight);
            top = std::max(top, m_pFilterError->geometry().bottom() + 3);
        }
    }
    m_pList->setGeometry(list.left(), top, std::max(0, listRight - list.left()), std::max(0, bottom - top));

    const int textTop = top;
    const int textLeft = listRight + margin;
    m_pText->setGeometry(textLeft, textTop, std::max(0, width - margin - textLeft),
                         std::max(0, bottom - textTop));
    m_pList->update();
    m_pText->update();
}

void CListDlg::OnFilterEdited(const QString& text)
{
    if (!m_pModel)
        return;
    const std::string error = m_pModel->SetFilter(text.toStdString());
    m_pFilterError->setText(FromBytes(error));
    m_pFilterError->setToolTip(FromBytes(error)); // the whole text, when the label is cut
    m_pFilterError->setVisible(!error.empty());
    m_pFilter->setToolTip(FromBytes(error));
    // Red text in the field too: on a narrow page the error may have no room beside it.
    m_pFilter->setStyleSheet(error.empty() ? QString() : QStringLiteral("color: #b00000"));
    ResizeControls();
}

void CListDlg::OnAutoRefreshToggled(bool on)
{
    if (!m_pAutoTimer)
        return;
    if (on) {
        m_pAutoTimer->start();
        OnAutoRefresh();
    } else {
        m_pAutoTimer->stop();
    }
}

void CListDlg::OnAutoRefresh()
{
    const CTraceStore* store = Store();
    if (!m_pModel || !store || !GetWindow() || !GetWindow()->isVisible())
        return;
    // A refresh whose filter still runs is not started again: the rows it brings are as new.
    if (m_pModel->IsFiltering())
        return;
    m_bFollowing = true;
    m_pModel->Refresh(*store);
    FitColumns();
}

void CListDlg::OnHeaderClicked(int column)
{
    if (!m_pModel)
        return;
    using State = CListingModel::SortState;
    // First click ascending, second descending, third record order.
    State state = State::Ascending;
    if (column == m_pModel->GetSortColumn())
        state = m_pModel->GetSortState() == State::Ascending ? State::Descending : State::None;
    {
        CWaitCursor wait;
        m_pModel->Sort(column, state);
    }
    QHeaderView* header = m_pList->horizontalHeader();
    header->setSortIndicatorShown(state != State::None);
    header->setSortIndicator(state == State::None ? -1 : column,
                             state == State::Descending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void CListDlg::KeepViewState()
{
    // A selection that a filter hid stays kept (a partial word hides every row; the whole
    // word shows them again) until the user selects something else.
    SViewState kept;
    if (m_bSelectionHidden) {
        kept.selected = std::move(m_Kept.selected);
        kept.current = m_Kept.current;
    }
    m_Kept = std::move(kept);
    if (!m_pList)
        return;
    if (!m_bSelectionHidden) {
        for (const CTraceRecord* record : SelectedRecords())
            m_Kept.selected.insert(record);
        m_Kept.current = m_pModel->GetRecord(m_pList->currentIndex().row());
    }
    m_Kept.top = m_pModel->GetRecord(m_pList->rowAt(0));
    const QScrollBar* bar = m_pList->verticalScrollBar();
    m_Kept.atBottom = bar->value() >= bar->maximum();
}

void CListDlg::RestoreViewState()
{
    const bool following = std::exchange(m_bFollowing, false);
    if (!m_pList)
        return;
    QItemSelectionModel* selection = m_pList->selectionModel();
    m_bRestoring = true;
    bool restored = false;
    if (!m_Kept.selected.empty()) {
        // Runs of selected rows become one range each.
        QItemSelection ranges;
        const int rows = m_pModel->rowCount();
        const int lastColumn = CListingModel::kColumnCount - 1;
        for (int row = 0; row < rows; ++row) {
            if (!m_Kept.selected.count(m_pModel->GetRecord(row)))
                continue;
            int end = row;
            while (end + 1 < rows && m_Kept.selected.count(m_pModel->GetRecord(end + 1)))
                ++end;
            ranges.select(m_pModel->index(row, 0), m_pModel->index(end, lastColumn));
            restored = true;
            row = end;
        }
        selection->select(ranges, QItemSelectionModel::ClearAndSelect);
    }
    const int current = m_Kept.current ? m_pModel->FindRecord(m_Kept.current) : -1;
    if (current >= 0)
        selection->setCurrentIndex(m_pModel->index(current, 0), QItemSelectionModel::NoUpdate);
    m_bRestoring = false;
    m_bSelectionHidden = !restored && current < 0 && (!m_Kept.selected.empty() || m_Kept.current);

    if (following && m_Kept.atBottom) {
        m_pList->scrollToBottom();
    } else if (following) {
        // The row at the top stays at the top.
        const int top = m_Kept.top ? m_pModel->FindRecord(m_Kept.top) : -1;
        if (top >= 0)
            m_pList->scrollTo(m_pModel->index(top, 0), QAbstractItemView::PositionAtTop);
    } else if (current >= 0) {
        m_pList->scrollTo(m_pModel->index(current, 0));
    }
    if (!m_bSelectionHidden)
        m_Kept = SViewState();
    UpdateButtonStates();
}

void CListDlg::FitColumns()
{
    if (m_bColumnsFitted || !m_pModel || m_pModel->GetSnapshotSize() == 0)
        return;
    m_bColumnsFitted = true;
    QHeaderView* header = m_pList->horizontalHeader();
    const QFontMetrics metrics = m_pList->fontMetrics();
    // The cell's own margins, as the item delegate draws them.
    const int padding = 2 * (m_pList->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_pList) + 1) + 8;
    for (int column = CListingModel::colId; column < CListingModel::kColumnCount; ++column) {
        const QString widest = FromBytes(m_pModel->GetWidestText(column));
        const QString heading = m_pModel->headerData(column, Qt::Horizontal).toString();
        // The heading keeps room for the sort indicator.
        const int wanted = std::max(metrics.horizontalAdvance(widest), metrics.horizontalAdvance(heading) + 16)
                           + padding;
        if (header->sectionSize(column) < wanted)
            header->resizeSection(column, wanted);
    }
    // The summary takes the rest of the list's width: no column runs past the list.
    int others = 0;
    for (int column = CListingModel::colId; column < CListingModel::kColumnCount; ++column)
        others += header->sectionSize(column);
    const int rest = m_pList->viewport()->width() - others;
    header->resizeSection(CListingModel::colSummary, std::max(HeadingWidth(CListingModel::colSummary), rest));
}

int CListDlg::HeadingWidth(int column) const
{
    if (!m_pModel)
        return 0;
    const QString heading = m_pModel->headerData(column, Qt::Horizontal).toString();
    const QFontMetrics metrics = m_pList ? m_pList->fontMetrics() : QFontMetrics(QFont());
    return metrics.horizontalAdvance(heading) + 16 + 2 * (metrics.averageCharWidth() + 4);
}

std::vector<const CTraceRecord*> CListDlg::SelectedRecords() const
{
    std::vector<const CTraceRecord*> records;
    if (!m_pList || !m_pModel)
        return records;
    std::vector<std::pair<int, int>> ranges;
    for (const QItemSelectionRange& range : m_pList->selectionModel()->selection())
        ranges.emplace_back(range.top(), range.bottom());
    std::sort(ranges.begin(), ranges.end());
    int nextRow = 0;
    for (const auto& [top, bottom] : ranges) {
        for (int row = std::max(top, nextRow); row <= bottom; ++row) {
            if (const CTraceRecord* record = m_pModel->GetRecord(row))
                records.push_back(record);
        }
        nextRow = std::max(nextRow, bottom + 1);
    }
    return records;
}

std::vector<const CExchange*> CListDlg::SelectedExchanges() const
{
    std::vector<const CExchange*> exchanges;
    const CTraceStore* store = Store();
    if (!store)
        return exchanges;
    std::unordered_set<std::uint64_t> seen;
    for (const CTraceRecord* record : SelectedRecords()) {
        const std::uint64_t id = record->GetExchangeId();
        if (id == 0 || !seen.insert(id).second)
            continue;
        if (const CExchange* exchange = store->FindExchange(id))
            exchanges.push_back(exchange);
    }
    return exchanges;
}

std::vector<std::string> CListDlg::SelectedUrls() const
{
    std::vector<std::string> urls;
    for (const CExchange* exchange : SelectedExchanges())
        urls.push_back(PrintableUrl(*exchange));
    return urls;
}

std::vector<std::string> CListDlg::SelectedCurlCommands(bool throughKestrune) const
{
    std::string proxy;
    if (throughKestrune) {
        const int port = m_App.GetListenPort();
        proxy = "127.0.0.1:" + (port > 0 ? std::to_string(port) : m_App.m_strPort);
    }
    std::vector<std::string> commands;
    for (const CExchange* exchange : SelectedExchanges()) {
        std::string command = CurlCommand(*exchange, proxy);
        if (!command.empty())
            commands.push_back(std::move(command));
    }
    return commands;
}

void CListDlg::OnCopyUrl()
{
    CopyLines(SelectedUrls());
}

void CListDlg::OnCopyCurl(bool throughKestrune)
{
    CopyLines(SelectedCurlCommands(throughKestrune));
}

bool CListDlg::ExportHar(const QString& path)
{
    const CTraceStore* store = Store();
    if (!store)
        return false;
    // The selected rows' exchanges, or every exchange of the store when none is selected.
    CHarBuilder har;
    std::vector<const CExchange*> exchanges = SelectedExchanges();
    if (exchanges.empty() && SelectedRecords().empty()) {
        for (const auto& exchange : store->GetExchanges())
            exchanges.push_back(exchange.get());
    }
    for (const CExchange* exchange : exchanges)
        har.AddExchange(*exchange);
    if (!har.WriteFile(path)) {
        ShowMessageBox("Could not write the HAR file " + path.toStdString());
        return false;
    }
    return true;
}

QMenu* CListDlg::MakeContextMenu()
{
    // Below the rest, so that the row actions keep their places.
    const auto addOpenSession = [this](QMenu* menu) {
        if (!m_pSavedCapture)
            return menu;
        menu->addSeparator();
        menu->addAction(QStringLiteral("&Open Session...\tCtrl+O"),
                        [this] { m_pSavedCapture->ChooseAndOpen(GetWindow()); });
        return menu;
    };
    auto* menu = new QMenu(m_pList);
    const bool selected = m_pList->selectionModel()->hasSelection();
    menu->addAction(QStringLiteral("&Show"), [this] { OnShow(); })->setEnabled(selected);
    menu->addAction(QStringLiteral("&Copy Text"), [this] {
        OnShow();
        OnCopyText();
    })->setEnabled(selected);
    menu->addAction(QStringLiteral("Copy &URL"), [this] { OnCopyUrl(); })->setEnabled(selected);
    menu->addAction(QStringLiteral("Copy as cu&rl"), [this] { OnCopyCurl(false); })->setEnabled(selected);
    menu->addAction(QStringLiteral("Copy as curl through &Kestrune"), [this] { OnCopyCurl(true); })
        ->setEnabled(selected);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Export &HAR..."), [this] {
        const QString path = QFileDialog::getSaveFileName(GetWindow(), QStringLiteral("Export HAR"),
                                                          QStringLiteral("kestrune.har"),
                                                          QStringLiteral("HAR files (*.har);;All files (*)"));
        if (!path.isEmpty())
            ExportHar(path);
    });
    return addOpenSession(menu);
}
