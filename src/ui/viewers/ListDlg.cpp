#include "ui/viewers/ListDlg.h"

#include "app/TraceApp.h"
#include "platform/MessageBox.h"
#include "trace/TraceRecord.h"
#include "trace/TraceStore.h"
#include "ui/viewers/FixCarriageReturns.h"

#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>

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

} // namespace

CListDlg::CListDlg()
    : CPropertyPage(QStringLiteral("Listing"), QSize(355, 165))
{
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

    m_pList = new CListingView(page);
    m_pList->setObjectName(QString::number(IDC_LIST));
    m_pList->setGeometry(DluRect(7, 23, 187, 135));
    m_pModel = new CListingModel(m_pList);
    m_pList->setModel(m_pModel);

    m_pText = new CTextPane(page);
    m_pText->setObjectName(QString::number(IDC_TEXT));
    m_pText->setGeometry(DluRect(198, 23, 76, 135));

    QWidget::setTabOrder(m_pRefresh, m_pShow);
    QWidget::setTabOrder(m_pShow, m_pCopyText);
    QWidget::setTabOrder(m_pCopyText, m_pClear);
    QWidget::setTabOrder(m_pClear, m_pFixCR);
    QWidget::setTabOrder(m_pFixCR, m_pList);
    QWidget::setTabOrder(m_pList, m_pText);

    // Column widths come from the list's width at creation and stay as they are.
    const int listWidth = m_pList->width();
    QHeaderView* header = m_pList->horizontalHeader();
    header->resizeSection(CListingModel::colSummary, listWidth / 2);
    for (int column = CListingModel::colId; column < CListingModel::kColumnCount; ++column)
        header->resizeSection(column, listWidth / 8);

    QObject::connect(m_pRefresh, &QPushButton::clicked, page, [this] { OnRefresh(); });
    QObject::connect(m_pShow, &QPushButton::clicked, page, [this] { OnShow(); });
    QObject::connect(m_pCopyText, &QPushButton::clicked, page, [this] { OnCopyText(); });
    QObject::connect(m_pClear, &QPushButton::clicked, page, [this] { OnClear(); });
    QObject::connect(m_pFixCR, &QCheckBox::clicked, page, [this] { OnFixCarriageReturns(); });
    QObject::connect(m_pList, &CListingView::mouseClicked, page, [this] { UpdateButtonStates(); });
    QObject::connect(m_pList, &CListingView::mouseDoubleClicked, page, [this] { OnShow(); });
}

void CListDlg::OnRefresh()
{
    if (!m_pModel)
        return;
    m_pModel->Clear();
    const CTraceStore* store = HasTraceApp() ? TraceApp().m_pTraceStore : nullptr;
    if (!store || store->GetConnections().empty())
        return; // the pane and the buttons stay as they were
    m_pModel->Refresh(*store);
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
            const std::string text = record->GetDisplayText();
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
    GetTraceApp().ClearAllData();
}

void CListDlg::ClearListing()
{
    if (m_pModel)
        m_pModel->Clear();
    if (m_pText) {
        m_pText->SetBytes(std::string());
        UpdateButtonStates();
    }
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
    m_pList->setGeometry(list.left(), list.top(), std::max(0, listRight - list.left()),
                         std::max(0, bottom - list.top()));

    const int textTop = m_pText->geometry().top();
    const int textLeft = listRight + margin;
    m_pText->setGeometry(textLeft, textTop, std::max(0, width - margin - textLeft),
                         std::max(0, bottom - textTop));
    m_pList->update();
    m_pText->update();
}
