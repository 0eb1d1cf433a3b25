#include "ui/viewers/SavedExchangesPane.h"

#include "platform/MessageBox.h"
#include "session/SessionIndex.h"
#include "trace/Exchange.h"
#include "ui/viewers/ExchangeCopy.h"
#include "ui/viewers/ExchangeDetails.h"
#include "ui/viewers/ExchangeModel.h"
#include "ui/viewers/ListingView.h"
#include "ui/viewers/SavedCapture.h"
#include "ui/viewers/SavedExchangeModel.h"
#include "ui/viewers/SavedHarExport.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QProgressDialog>
#include <QShortcut>
#include <QSplitter>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace {
// Copies of many selected rows read each exchange whole: at most this many.
constexpr std::size_t kMaxCopied = 10'000;

QString FromBytes(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
} // namespace

CSavedExchangesPane::CSavedExchangesPane(QWidget* page, CSavedCapture& capture)
    : CSavedPane(page, capture)
{
    auto* filterRow = new QHBoxLayout;
    auto* label = new QLabel(QStringLiteral("F&ilter:"), this);
    m_pFilter = new QLineEdit(this);
    m_pFilter->setObjectName(QStringLiteral("savedFilter"));
    m_pFilter->setAccessibleName(QStringLiteral("Saved exchange filter"));
    m_pFilter->setClearButtonEnabled(true);
    m_pFilter->setPlaceholderText(
        QStringLiteral("words host: method: status: type: text: size>100k time>500ms -not"));
    label->setBuddy(m_pFilter);
    filterRow->addWidget(label);
    filterRow->addWidget(m_pFilter, 1);
    Body()->addLayout(filterRow);
    m_pFilterError = new QLabel(this);
    m_pFilterError->setStyleSheet(QStringLiteral("color: #b00000"));
    m_pFilterError->setWordWrap(true);
    m_pFilterError->hide();
    Body()->addWidget(m_pFilterError);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->setChildrenCollapsible(false);
    m_pList = new CListingView(splitter);
    m_pList->setObjectName(QStringLiteral("savedExchanges"));
    m_pList->setAccessibleName(QStringLiteral("Saved exchanges"));
    m_pModel = new CSavedExchangeModel(m_pList);
    m_pList->setModel(m_pModel);
    m_pList->horizontalHeader()->setStretchLastSection(false);
    m_pList->horizontalHeader()->setSectionResizeMode(CExchangeModel::colPath,
                                                      QHeaderView::Stretch);
    m_pDetails = new CExchangeDetails(splitter);
    splitter->addWidget(m_pList);
    splitter->addWidget(m_pDetails);
    Body()->addWidget(splitter, 1);

    connect(m_pFilter, &QLineEdit::textChanged, this,
            [this](const QString& text) { OnFilterEdited(text); });
    QHeaderView* header = m_pList->horizontalHeader();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    connect(header, &QHeaderView::sectionClicked, this,
            [this](int column) { OnHeaderClicked(column); });
    connect(m_pList->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { ShowDetails(); });
    connect(m_pModel, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        if (const std::uint64_t id = m_pModel->GetId(m_pList->currentIndex().row()))
            m_nKeptCurrent = id;
    });
    connect(m_pModel, &CSavedExchangeModel::filterApplied, this, [this] {
        const int row = m_pModel->FindId(m_nKeptCurrent);
        if (row < 0)
            return;
        const QSignalBlocker block(m_pList->selectionModel()); // the details stay as they are
        m_pList->selectionModel()->setCurrentIndex(m_pModel->index(row, 0),
                                                   QItemSelectionModel::ClearAndSelect
                                                       | QItemSelectionModel::Rows);
        m_pList->scrollTo(m_pModel->index(row, 0));
    });
    auto* remove = new QShortcut(QKeySequence(Qt::Key_Delete), m_pList);
    remove->setContext(Qt::WidgetShortcut);
    connect(remove, &QShortcut::activated, this, [this] { HideSelectedRows(); });
    m_pList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_pList, &QWidget::customContextMenuRequested, this, [this](QPoint pos) {
        QMenu* menu = MakeContextMenu();
        menu->exec(m_pList->viewport()->mapToGlobal(pos));
        menu->deleteLater();
    });
}

CSavedExchangesPane::~CSavedExchangesPane()
{
    if (m_pHarStop) // the thread ends soon, its file never put in place
        *m_pHarStop = true;
}

void CSavedExchangesPane::OnCaptureChanged()
{
    m_pShown.reset();
    m_nKeptCurrent = 0;
    m_pDetails->SetExchange(nullptr);
    m_pModel->SetIndex(Capture().GetIndex());
    if (Capture().IsOpen())
        OnFilterEdited(m_pFilter->text());
}

void CSavedExchangesPane::OnFilterEdited(const QString& text)
{
    ShowFilterError(*m_pFilter, *m_pFilterError, m_pModel->SetFilter(text.toStdString()));
}

void CSavedExchangesPane::OnHeaderClicked(int column)
{
    SortByHeading(*m_pList, *m_pModel, column);
}

void CSavedExchangesPane::ShowDetails()
{
    m_pShown = m_pModel->GetWholeExchange(m_pList->currentIndex().row());
    m_pDetails->SetExchange(m_pShown.get());
}

void CSavedExchangesPane::HideSelectedRows()
{
    std::vector<int> rows;
    for (const QModelIndex& index : m_pList->selectionModel()->selectedRows())
        rows.push_back(index.row());
    m_pModel->HideRows(rows);
    ShowDetails();
}

std::vector<std::shared_ptr<const CExchange>> CSavedExchangesPane::SelectedExchanges() const
{
    std::vector<int> rows;
    for (const QModelIndex& index : m_pList->selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    rows.resize(std::min(rows.size(), kMaxCopied));
    std::vector<std::shared_ptr<const CExchange>> exchanges;
    for (int row : rows)
        if (auto exchange = m_pModel->GetWholeExchange(row))
            exchanges.push_back(std::move(exchange));
    return exchanges;
}

void CSavedExchangesPane::CopyLines(const std::function<std::string(const CExchange&)>& line)
{
    std::string text;
    for (const auto& exchange : SelectedExchanges()) {
        const std::string made = line(*exchange);
        if (!made.empty())
            text += made + "\n";
    }
    if (!text.empty())
        QApplication::clipboard()->setText(FromBytes(text));
}

QMenu* CSavedExchangesPane::MakeContextMenu()
{
    auto* menu = new QMenu(m_pList);
    const bool selected = m_pList->selectionModel()->hasSelection();
    auto add = [&](const QString& text, auto handler) {
        menu->addAction(text, handler)->setEnabled(selected);
    };
    add(QStringLiteral("Copy &URL"),
        [this] { CopyLines([](const CExchange& e) { return e.Url(); }); });
    add(QStringLiteral("Copy as cu&rl"), [this] {
        CopyLines([](const CExchange& e) { return ExchangeCurlCommand(e, std::string()); });
    });
    add(QStringLiteral("Copy as curl through &Kestrune"), [this] {
        const std::string proxy = m_ProxyAddress ? m_ProxyAddress() : std::string();
        CopyLines([&proxy](const CExchange& e) { return ExchangeCurlCommand(e, proxy); });
    });
    add(QStringLiteral("Copy Request and Response as &Text"),
        [this] { CopyLines(&ExchangeAsText); });
    menu->addSeparator();
    add(QStringLiteral("Export &HAR of Selected..."), [this] { ChooseHarFile(true); });
    menu->addAction(QStringLiteral("Export HAR of &All..."), [this] { ChooseHarFile(false); });
    menu->addSeparator();
    add(QStringLiteral("H&ide\tDelete"), [this] { HideSelectedRows(); });
    return menu;
}

void CSavedExchangesPane::ChooseHarFile(bool selectedOnly)
{
    const QString path = QFileDialog::getSaveFileName(
        window(), QStringLiteral("Export HAR"), QStringLiteral("kestrune.har"),
        QStringLiteral("HAR files (*.har);;All files (*)"));
    if (!path.isEmpty())
        ExportHar(path, selectedOnly);
}

bool CSavedExchangesPane::ExportHar(const QString& path, bool selectedOnly)
{
    const std::shared_ptr<CSessionIndex> index = Capture().GetIndex();
    if (!index || m_pHarExport)
        return false;
    std::vector<std::uint64_t> ids;
    std::uint64_t count = 0;
    if (selectedOnly) {
        std::vector<int> rows;
        for (const QModelIndex& row : m_pList->selectionModel()->selectedRows())
            rows.push_back(row.row());
        std::sort(rows.begin(), rows.end());
        for (int row : rows)
            ids.push_back(m_pModel->GetId(row));
        if (ids.empty())
            return false;
        count = ids.size();
    } else if (!index->CountExchanges(count)) {
        ShowMessageBox(index->Error());
        return false;
    }
    // The thread reads the file on its own connection; the window goes on meanwhile.
    auto stop = std::make_shared<std::atomic<bool>>(false);
    m_pHarStop = stop;
    auto done = std::make_shared<std::atomic<std::uint64_t>>(0);
    auto* progress = new QProgressDialog(QStringLiteral("Exporting HAR..."),
                                         QStringLiteral("Cancel"), 0, 1000, window());
    progress->setMinimumDuration(500);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    auto* ticker = new QTimer(progress);
    connect(ticker, &QTimer::timeout, progress, [progress, done, count] {
        progress->setValue(count ? static_cast<int>(*done * 1000 / count) : 0);
    });
    ticker->start(100);
    connect(progress, &QProgressDialog::canceled, progress, [stop] { *stop = true; });
    m_pHarExport = new QFutureWatcher<std::string>(this);
    QFutureWatcher<std::string>* watcher = m_pHarExport;
    connect(watcher, &QFutureWatcherBase::finished, this, [watcher, progress, stop] {
        const std::string error = watcher->result();
        progress->deleteLater();
        watcher->deleteLater();
        if (!error.empty() && !*stop)
            ShowMessageBox("The HAR file was not written: " + error + ".");
    });
    watcher->setFuture(
        QtConcurrent::run([session = index->GetPath(), ids = std::move(ids), path, stop, done] {
            std::string error;
            return SavedHarExport::Write(session, ids, path, *stop, *done, error) ? std::string()
                                                                                  : error;
        }));
    return true;
}
