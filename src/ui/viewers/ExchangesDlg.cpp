#include "ui/viewers/ExchangesDlg.h"

#include "app/HarBuilder.h"
#include "app/SettingsRegistry.h"
#include "app/TraceApp.h"
#include "platform/MessageBox.h"
#include "proxy/ReplayLauncher.h"
#include "trace/Exchange.h"
#include "trace/ResendRequest.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"
#include "ui/shell/ByteText.h"
#include "ui/viewers/ExchangeCopy.h"
#include "ui/viewers/ExchangeDetails.h"
#include "ui/viewers/ExchangeModel.h"
#include "ui/viewers/ListingView.h"
#include "ui/viewers/ResendDlg.h"
#include "ui/viewers/SavedCapture.h"
#include "ui/viewers/SavedExchangesPane.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <unordered_set>

namespace {

// What each column must show uncut at the opening size: its heading or a typical long cell.
// The replays that could not go which a message names one by one.
constexpr std::size_t kRefusalsShown = 10;

const char* const kColumnSamples[CExchangeModel::kColumnCount] = {
    "000000", "OPTIONS", "www.example.com:8443", "/api/v1/items?page=2", "tunnel",
    "application/json", "\u219100,000 \u2193000,000", "00000.0", "00:00:00.000"};

} // namespace

CExchangesDlg::CExchangesDlg(CTraceApp& app)
    : CPropertyPage(QStringLiteral("Exchanges"), QSize(355, 165))
    , m_App(app)
{
}

CExchangesDlg::~CExchangesDlg() = default;

const CTraceStore* CExchangesDlg::Store() const
{
    return m_App.m_pTraceStore.get();
}

void CExchangesDlg::OnInitDialog()
{
    QWidget* page = GetWindow();
    page->setAccessibleName(QStringLiteral("Exchanges"));
    auto* layout = new QVBoxLayout(page);
    const int margin = Units().X(7);
    layout->setContentsMargins(margin, Units().Y(7), margin, margin);

    auto* filterRow = new QHBoxLayout;
    m_pFilterLabel = new QLabel(QStringLiteral("F&ilter:"), page);
    m_pFilter = new QLineEdit(page);
    m_pFilter->setObjectName(QString::number(IDC_FILTER));
    m_pFilter->setAccessibleName(QStringLiteral("Exchange filter"));
    m_pFilter->setClearButtonEnabled(true);
    m_pFilter->setPlaceholderText(
        QStringLiteral("words host: method: status: type: text: size>100k time>500ms -not"));
    m_pFilterLabel->setBuddy(m_pFilter);
    filterRow->addWidget(m_pFilterLabel);
    filterRow->addWidget(m_pFilter, 1);
    if (m_pSavedCapture) {
        auto* open = new QPushButton(QStringLiteral("&Open Session..."), page);
        open->setAutoDefault(false);
        QObject::connect(open, &QPushButton::clicked, page,
                         [this] { m_pSavedCapture->ChooseAndOpen(GetWindow()); });
        filterRow->addWidget(open);
    }
    layout->addLayout(filterRow);
    // Below the field, whole: a message beside it would be cut on a narrow page.
    m_pFilterError = new QLabel(page);
    m_pFilterError->setObjectName(QStringLiteral("filterError"));
    m_pFilterError->setAccessibleName(QStringLiteral("Filter error"));
    m_pFilterError->setStyleSheet(QStringLiteral("color: #b00000"));
    m_pFilterError->setWordWrap(true);
    m_pFilterError->hide();
    layout->addWidget(m_pFilterError);

    m_pSplitter = new QSplitter(Qt::Vertical, page);
    m_pSplitter->setChildrenCollapsible(false);
    m_pList = new CListingView(m_pSplitter);
    m_pList->setObjectName(QString::number(IDC_LIST));
    m_pList->setAccessibleName(QStringLiteral("Exchanges"));
    m_pModel = new CExchangeModel(m_pList);
    m_pList->setModel(m_pModel);
    m_pDetails = new CExchangeDetails(m_pSplitter);
    m_pSplitter->addWidget(m_pList);
    m_pSplitter->addWidget(m_pDetails);
    m_pSplitter->setStretchFactor(0, 1);
    m_pSplitter->setStretchFactor(1, 1);
    layout->addWidget(m_pSplitter, 1);
    QWidget::setTabOrder(m_pFilter, m_pList);
    QWidget::setTabOrder(m_pList, m_pDetails);

    QHeaderView* header = m_pList->horizontalHeader();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    header->setStretchLastSection(false);
    FitColumns();
    QObject::connect(header, &QHeaderView::sectionClicked, page, [this](int column) { OnHeaderClicked(column); });
    m_pSaveColumnsTimer = new QTimer(page);
    m_pSaveColumnsTimer->setSingleShot(true);
    m_pSaveColumnsTimer->setInterval(500);
    QObject::connect(m_pSaveColumnsTimer, &QTimer::timeout, page, [this] { SaveColumns(); });
    QObject::connect(header, &QHeaderView::sectionResized, page, [this] {
        if (m_pList->isVisible())
            m_pSaveColumnsTimer->start();
    });

    QObject::connect(m_pFilter, &QLineEdit::textChanged, page, [this](const QString& text) { OnFilterEdited(text); });
    auto* find = new QShortcut(QKeySequence::Find, page);
    find->setContext(Qt::WindowShortcut); // from the tab bar too, while the page shows
    QObject::connect(find, &QShortcut::activated, page, [this] {
        m_pFilter->setFocus(Qt::ShortcutFocusReason);
        m_pFilter->selectAll();
    });
    auto listKey = [&](QKeySequence key, auto handler) {
        auto* shortcut = new QShortcut(key, m_pList);
        shortcut->setContext(Qt::WidgetShortcut);
        QObject::connect(shortcut, &QShortcut::activated, page, handler);
    };
    listKey(QKeySequence(Qt::Key_Return), [this] { ShowDetails(); m_pDetails->setFocus(Qt::ShortcutFocusReason); });
    listKey(QKeySequence(Qt::Key_Enter), [this] { ShowDetails(); m_pDetails->setFocus(Qt::ShortcutFocusReason); });
    listKey(QKeySequence(Qt::Key_Delete), [this] { HideSelectedRows(); });
    listKey(QKeySequence(Qt::Key_R), [this] { ReplaySelected(); });
    listKey(QKeySequence(Qt::SHIFT | Qt::Key_R), [this] { EditAndResend(); });
    auto* clearAll = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Delete), page);
    clearAll->setContext(Qt::WindowShortcut);
    QObject::connect(clearAll, &QShortcut::activated, page, [this] { m_App.ClearAllData(); });

    QObject::connect(m_pList->selectionModel(), &QItemSelectionModel::currentRowChanged, page,
                     [this] { ShowDetails(); });
    QObject::connect(m_pList->selectionModel(), &QItemSelectionModel::selectionChanged, page, [this] {
        m_KeptSelection.clear(); // chosen anew (a restore blocks this signal)
        m_pKeptCurrent = nullptr;
    });
    QObject::connect(m_pModel, &QAbstractItemModel::modelAboutToBeReset, page, [this] { KeepSelection(); });
    QObject::connect(m_pModel, &CExchangeModel::filterApplied, page, [this] { RestoreSelection(); });

    // The menu from the mouse, the Menu key and Shift+F10.
    m_pList->setContextMenuPolicy(Qt::CustomContextMenu);
    auto openMenu = [this](QPoint pos) {
        const QModelIndex index = m_pList->indexAt(pos);
        if (index.isValid() && !m_pList->selectionModel()->isRowSelected(index.row(), QModelIndex()))
            m_pList->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect
                                                                  | QItemSelectionModel::Rows);
        QMenu* menu = MakeContextMenu();
        menu->exec(m_pList->viewport()->mapToGlobal(pos));
        menu->deleteLater();
    };
    QObject::connect(m_pList, &QWidget::customContextMenuRequested, page, openMenu);
    listKey(QKeySequence(Qt::SHIFT | Qt::Key_F10), [this, openMenu] {
        const QRect current = m_pList->visualRect(m_pList->currentIndex());
        openMenu(current.isValid() ? current.center() : QPoint(0, 0));
    });

    if (m_pSavedCapture) { // over the live controls while a saved capture shows
        m_pSavedPane = new CSavedExchangesPane(page, *m_pSavedCapture);
        m_pSavedPane->Start(*m_pList, *m_pSavedPane->GetList(), [this] { return GetWindow(); });
        m_pSavedPane->SetProxyAddress([this] { return ProxyAddress(); });
    }

    m_pFollowTimer = new QTimer(page);
    m_pFollowTimer->setInterval(kFollowMs);
    QObject::connect(m_pFollowTimer, &QTimer::timeout, page, [this] { OnFollow(); });
}

int CExchangesDlg::GetPreferredWidth(const QFont& font) const
{
    const QFontMetrics metrics(font);
    const CDialogUnits units(font);
    int width = 2 * units.X(7) + 24; // margins, the frame and the vertical scroll bar
    for (int column = 0; column < CExchangeModel::kColumnCount; ++column)
        width += metrics.horizontalAdvance(QString::fromUtf8(kColumnSamples[column])) + 24;
    return width;
}

void CExchangesDlg::FitColumns()
{
    QHeaderView* header = m_pList->horizontalHeader();
    const QFontMetrics metrics = m_pList->fontMetrics();
    const QStringList stored = FromBytes(CSettingsRegistry().GetExchangeColumns()).split(QLatin1Char(','));
    for (int column = 0; column < CExchangeModel::kColumnCount; ++column) {
        const QString heading = m_pModel->headerData(column, Qt::Horizontal).toString();
        // Room for the sort indicator beside the heading, and the cell's margins.
        int width = std::max(metrics.horizontalAdvance(QString::fromUtf8(kColumnSamples[column])),
                             metrics.horizontalAdvance(heading) + 16) + 16;
        bool ok = false;
        const int kept = stored.size() == CExchangeModel::kColumnCount ? stored[column].toInt(&ok) : 0;
        if (ok && kept >= 20 && kept <= 2000)
            width = kept;
        header->resizeSection(column, width);
    }
}

void CExchangesDlg::SaveColumns()
{
    if (!m_pList)
        return;
    std::string widths;
    for (int column = 0; column < CExchangeModel::kColumnCount; ++column)
        widths += (column ? "," : "") + std::to_string(m_pList->horizontalHeader()->sectionSize(column));
    CSettingsRegistry().SetExchangeColumns(widths);
}

void CExchangesDlg::OnSetActive()
{
    if (!m_pFollowTimer)
        return;
    OnFollow();
    m_pFollowTimer->start();
}

void CExchangesDlg::OnKillActive()
{
    if (m_pFollowTimer)
        m_pFollowTimer->stop();
}

void CExchangesDlg::OnFollow()
{
    const CTraceStore* store = Store();
    if (!m_pModel || !store)
        return;
    const QScrollBar* bar = m_pList->verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum();
    if (m_pModel->TakeNew(*store) > 0 && atBottom)
        m_pList->scrollToBottom();
    // Open rows change as they complete: the rows on screen are drawn again.
    m_pList->viewport()->update();
    if (m_bDetailsOpen) {
        const CExchange* shown = m_pModel->GetExchange(m_pList->currentIndex().row());
        if (shown && shown->m_nId == m_pDetails->GetExchangeId() && !shown->IsOpen())
            ShowDetails();
    }
}

void CExchangesDlg::ClearExchanges()
{
    m_KeptSelection.clear();
    m_pKeptCurrent = nullptr;
    if (m_pModel)
        m_pModel->Clear();
    if (m_pDetails)
        m_pDetails->SetExchange(nullptr);
    m_bDetailsOpen = false;
}

void CExchangesDlg::OnFilterEdited(const QString& text)
{
    if (!m_pModel)
        return;
    const std::string error = m_pModel->SetFilter(text.toStdString());
    m_pFilterError->setText(FromBytes(error));
    m_pFilterError->setVisible(!error.empty());
    m_pFilter->setToolTip(FromBytes(error));
    m_pFilter->setStyleSheet(error.empty() ? QString() : QStringLiteral("color: #b00000"));
}

void CExchangesDlg::OnHeaderClicked(int column)
{
    if (!m_pModel)
        return;
    using State = CExchangeModel::SortState;
    // First click ascending, second descending, third the order they came in.
    State state = State::Ascending;
    if (column == m_pModel->GetSortColumn())
        state = m_pModel->GetSortState() == State::Ascending ? State::Descending : State::None;
    m_pModel->Sort(column, state);
    QHeaderView* header = m_pList->horizontalHeader();
    header->setSortIndicatorShown(state != State::None);
    header->setSortIndicator(state == State::None ? -1 : column,
                             state == State::Descending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void CExchangesDlg::ShowDetails()
{
    if (!m_pDetails)
        return;
    const CExchange* exchange = m_pModel->GetExchange(m_pList->currentIndex().row());
    // Bodies the memory budget took out come back from the session file, or show the note.
    const auto readBack = exchange && Store() ? Store()->BodiesReadBack(*exchange) : nullptr;
    m_pDetails->SetExchange(readBack ? readBack.get() : exchange);
    m_bDetailsOpen = exchange && exchange->IsOpen();
}

void CExchangesDlg::KeepSelection()
{
    std::vector<const CExchange*> selected = SelectedExchanges();
    // A selection that a filter hid stays kept until the user selects something else.
    if (selected.empty() && !m_KeptSelection.empty())
        return;
    m_KeptSelection = std::move(selected);
    m_pKeptCurrent = m_pModel->GetExchange(m_pList->currentIndex().row());
}

void CExchangesDlg::RestoreSelection()
{
    // The selection comes back whenever its rows show again, however many filters hid them
    // in between: it is forgotten only when the user changes it.
    if (m_KeptSelection.empty() && !m_pKeptCurrent)
        return;
    const std::unordered_set<const CExchange*> wanted(m_KeptSelection.begin(), m_KeptSelection.end());
    QItemSelection ranges;
    const int rows = m_pModel->rowCount();
    const int lastColumn = CExchangeModel::kColumnCount - 1;
    bool any = false;
    for (int row = 0; row < rows && !wanted.empty(); ++row) {
        if (!wanted.count(m_pModel->GetExchange(row)))
            continue;
        int end = row;
        while (end + 1 < rows && wanted.count(m_pModel->GetExchange(end + 1)))
            ++end;
        ranges.select(m_pModel->index(row, 0), m_pModel->index(end, lastColumn));
        any = true;
        row = end;
    }
    QItemSelectionModel* selection = m_pList->selectionModel();
    const QSignalBlocker block(selection); // the details stay as they are
    selection->select(ranges, QItemSelectionModel::ClearAndSelect);
    const int current = m_pKeptCurrent ? m_pModel->FindExchange(m_pKeptCurrent) : -1;
    if (current >= 0) {
        selection->setCurrentIndex(m_pModel->index(current, 0), QItemSelectionModel::NoUpdate);
        m_pList->scrollTo(m_pModel->index(current, 0));
    }
    if (any || current >= 0) {
        m_KeptSelection.clear();
        m_pKeptCurrent = nullptr;
    }
    m_pList->viewport()->update();
}

std::vector<const CExchange*> CExchangesDlg::SelectedExchanges() const
{
    std::vector<const CExchange*> exchanges;
    if (!m_pList)
        return exchanges;
    std::vector<std::pair<int, int>> ranges;
    for (const QItemSelectionRange& range : m_pList->selectionModel()->selection())
        ranges.emplace_back(range.top(), range.bottom());
    std::sort(ranges.begin(), ranges.end());
    int next = 0;
    for (const auto& [top, bottom] : ranges) {
        for (int row = std::max(top, next); row <= bottom; ++row)
            if (const CExchange* exchange = m_pModel->GetExchange(row))
                exchanges.push_back(exchange);
        next = std::max(next, bottom + 1);
    }
    return exchanges;
}

void CExchangesDlg::HideSelectedRows()
{
    std::vector<int> rows;
    for (const QModelIndex& index : m_pList->selectionModel()->selectedRows())
        rows.push_back(index.row());
    m_pModel->HideRows(rows);
    ShowDetails();
}

void CExchangesDlg::CopyUrls()
{
    std::vector<std::string> urls;
    for (const CExchange* exchange : SelectedExchanges())
        urls.push_back(exchange->Url());
    CopyLines(urls);
}

void CExchangesDlg::CopyCurl(bool throughKestrune)
{
    const std::string proxy = throughKestrune ? ProxyAddress() : std::string();
    std::vector<std::string> commands;
    for (const CExchange* exchange : SelectedExchanges()) {
        std::string command = ExchangeCurlCommand(*exchange, proxy);
        if (!command.empty())
            commands.push_back(std::move(command));
    }
    CopyLines(commands);
}

std::string CExchangesDlg::ProxyAddress() const
{
    const int port = m_App.GetListenPort();
    return "127.0.0.1:" + (port > 0 ? std::to_string(port) : m_App.m_strPort);
}

void CExchangesDlg::CopyAsText()
{
    std::vector<std::string> texts;
    for (const CExchange* exchange : SelectedExchanges())
        texts.push_back(ExchangeAsText(*exchange));
    CopyLines(texts);
}

bool CExchangesDlg::ExportHar(const QString& path, bool selectedOnly)
{
    const CTraceStore* store = Store();
    if (!store)
        return false;
    CHarBuilder har;
    // Bodies the memory budget took out come back from the session file, or show the note.
    auto add = [&har, store](const CExchange& exchange) {
        const auto readBack = store->BodiesReadBack(exchange);
        har.AddExchange(readBack ? *readBack : exchange);
    };
    if (selectedOnly) {
        for (const CExchange* exchange : SelectedExchanges())
            add(*exchange);
    } else {
        for (const auto& exchange : store->GetExchanges())
            add(*exchange);
    }
    if (!har.WriteFile(path)) {
        ShowMessageBox("Could not write the HAR file " + path.toStdString());
        return false;
    }
    return true;
}

void CExchangesDlg::ChooseHarFile(bool selectedOnly)
{
    const QString path = QFileDialog::getSaveFileName(GetWindow(), QStringLiteral("Export HAR"),
                                                      QStringLiteral("kestrune.har"),
                                                      QStringLiteral("HAR files (*.har);;All files (*)"));
    if (!path.isEmpty())
        ExportHar(path, selectedOnly);
}

QMenu* CExchangesDlg::MakeContextMenu()
{
    auto* menu = new QMenu(m_pList);
    menu->setAccessibleName(QStringLiteral("Exchange actions"));
    const bool selected = m_pList->selectionModel()->hasSelection();
    auto add = [&](const QString& text, auto handler, bool enabled) {
        menu->addAction(text, handler)->setEnabled(enabled);
    };
    add(QStringLiteral("Show &Details\tEnter"), [this] { ShowDetails(); }, selected);
    menu->addSeparator();
    add(QStringLiteral("Re&play\tR"), [this] { ReplaySelected(); }, selected);
    add(QStringLiteral("&Edit and Resend...\tShift+R"), [this] { EditAndResend(); }, selected);
    menu->addSeparator();
    add(QStringLiteral("Copy &URL"), [this] { CopyUrls(); }, selected);
    add(QStringLiteral("Copy as cu&rl"), [this] { CopyCurl(false); }, selected);
    add(QStringLiteral("Copy as curl through &Kestrune"), [this] { CopyCurl(true); }, selected);
    add(QStringLiteral("Copy Request and Response as &Text"), [this] { CopyAsText(); }, selected);
    menu->addSeparator();
    add(QStringLiteral("Export &HAR of Selected..."), [this] { ChooseHarFile(true); }, selected);
    add(QStringLiteral("Export HAR of &All..."), [this] { ChooseHarFile(false); }, true);
    menu->addSeparator();
    add(QStringLiteral("H&ide\tDelete"), [this] { HideSelectedRows(); }, selected);
    add(QStringLiteral("C&lear All Data\tCtrl+Shift+Delete"), [this] { m_App.ClearAllData(); }, true);
    return menu;
}

void CExchangesDlg::ReplaySelected()
{
    const CExchange* last = nullptr;
    std::string refused;
    std::size_t notSent = 0;
    for (const CExchange* exchange : SelectedExchanges()) {
        SResendRequest request;
        std::string error;
        std::shared_ptr<const CExchange> sent;
        if (ResendOfExchange(*exchange, request, error))
            sent = m_App.Replays().Send(request, error);
        if (sent)
            last = sent.get();
        else if (++notSent <= kRefusalsShown)
            refused += "#" + std::to_string(exchange->m_nId) + ": " + error + "\n";
    }
    if (last)
        SelectExchange(last);
    if (notSent > kRefusalsShown) // a message box of its own length, however many were chosen
        refused += "and " + std::to_string(notSent - kRefusalsShown) + " more\n";
    if (notSent > 0)
        ShowMessageBox("Not replayed:\n" + refused);
}

CResendDlg* CExchangesDlg::EditAndResend()
{
    const CExchange* exchange = m_pList ? m_pModel->GetExchange(m_pList->currentIndex().row()) : nullptr;
    if (!exchange)
        return nullptr;
    if (exchange->Has(kExchangeTunnel) || exchange->m_strRequestHead.empty()) {
        ShowMessageBox("#" + std::to_string(exchange->m_nId) + " holds no request to edit.");
        return nullptr;
    }
    auto* editor = new CResendDlg(m_App, *exchange, GetWindow());
    editor->setAttribute(Qt::WA_DeleteOnClose);
    editor->SetSentHandler([this](std::shared_ptr<const CExchange> sent) { SelectExchange(sent.get()); });
    editor->show();
    return editor;
}

void CExchangesDlg::SelectExchange(const CExchange* exchange)
{
    if (!m_pModel)
        return;
    OnFollow();
    m_pModel->FinishFilter();
    const int row = m_pModel->FindExchange(exchange);
    if (row >= 0) {
        m_pList->selectionModel()->setCurrentIndex(m_pModel->index(row, 0), QItemSelectionModel::ClearAndSelect
                                                                                | QItemSelectionModel::Rows);
        m_pList->scrollTo(m_pModel->index(row, 0));
    }
}
