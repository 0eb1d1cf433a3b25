#include "ui/viewers/SavedListingPane.h"

#include "platform/MessageBox.h"
#include "trace/TraceRecord.h"
#include "ui/viewers/FixCarriageReturns.h"
#include "ui/viewers/ListingModel.h"
#include "ui/viewers/ListingView.h"
#include "ui/viewers/SavedCapture.h"
#include "ui/viewers/SavedListingModel.h"
#include "ui/viewers/TextPane.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QSplitter>
#include <QVBoxLayout>

#include <algorithm>

CSavedListingPane::CSavedListingPane(QWidget* page, CSavedCapture& capture)
    : CSavedPane(page, capture)
{
    auto* row = new QHBoxLayout;
    m_pShow = new QPushButton(QStringLiteral("&Show"), this);
    m_pCopyText = new QPushButton(QStringLiteral("&Copy Text"), this);
    m_pFixCR = new QCheckBox(QStringLiteral("&Fix Carriage Returns"), this);
    auto* label = new QLabel(QStringLiteral("F&ilter:"), this);
    m_pFilter = new QLineEdit(this);
    m_pFilter->setObjectName(QStringLiteral("savedFilter"));
    m_pFilter->setClearButtonEnabled(true);
    m_pFilter->setPlaceholderText(QStringLiteral("words host: method: status: text: -not"));
    label->setBuddy(m_pFilter);
    for (QPushButton* button : {m_pShow.data(), m_pCopyText.data()}) {
        button->setAutoDefault(false);
        row->addWidget(button);
    }
    row->addWidget(m_pFixCR);
    row->addWidget(label);
    row->addWidget(m_pFilter, 1);
    Body()->addLayout(row);
    m_pFilterError = new QLabel(this);
    m_pFilterError->setStyleSheet(QStringLiteral("color: #b00000"));
    m_pFilterError->setWordWrap(true);
    m_pFilterError->hide();
    Body()->addWidget(m_pFilterError);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setChildrenCollapsible(false);
    m_pList = new CListingView(splitter);
    m_pList->setObjectName(QStringLiteral("savedRecords"));
    m_pModel = new CSavedListingModel(m_pList);
    m_pList->setModel(m_pModel);
    m_pList->horizontalHeader()->setSectionResizeMode(CListingModel::colSummary,
                                                      QHeaderView::Stretch);
    m_pList->horizontalHeader()->setStretchLastSection(false);
    m_pText = new CTextPane(splitter);
    splitter->addWidget(m_pList);
    splitter->addWidget(m_pText);
    Body()->addWidget(splitter, 1);

    connect(m_pShow, &QPushButton::clicked, this, [this] { OnShow(); });
    connect(m_pFixCR, &QCheckBox::clicked, this, [this] { OnShow(); });
    connect(m_pCopyText, &QPushButton::clicked, this, [this] { OnCopyText(); });
    connect(m_pList, &CListingView::mouseDoubleClicked, this, [this] { OnShow(); });
    connect(m_pFilter, &QLineEdit::textChanged, this,
            [this](const QString& text) { OnFilterEdited(text); });
    QHeaderView* header = m_pList->horizontalHeader();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    connect(header, &QHeaderView::sectionClicked, this,
            [this](int column) { OnHeaderClicked(column); });
    connect(m_pModel, &CSavedTableModel::filterApplied, this, [this] {
        if (!m_pModel->IsSorting())
            m_pList->viewport()->unsetCursor();
    });
}

CSavedListingPane::~CSavedListingPane() = default;

void CSavedListingPane::OnCaptureChanged()
{
    m_pText->SetBytes(std::string());
    m_pModel->SetIndex(Capture().GetIndex());
    if (Capture().IsOpen())
        OnFilterEdited(m_pFilter->text());
}

void CSavedListingPane::OnFilterEdited(const QString& text)
{
    ShowFilterError(*m_pFilter, *m_pFilterError, m_pModel->SetFilter(text.toStdString()));
}

void CSavedListingPane::OnHeaderClicked(int column) { SortByHeading(*m_pList, *m_pModel, column); }

void CSavedListingPane::OnShow()
{
    std::vector<int> rows;
    for (const QModelIndex& index : m_pList->selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    const bool fix = m_pFixCR->isChecked();
    std::string result;
    for (int row : rows) {
        if (result.size() >= kMaxShownBytes)
            break;
        const auto record = m_pModel->GetWholeRecord(row);
        if (!record)
            continue;
        const std::string text = record->GetDisplayText();
        result += fix ? FixCarriageReturns(text) : text;
    }
    m_pText->SetBytes(result);
}

void CSavedListingPane::OnCopyText()
{
    if (m_pText->GetByteLength() == 0)
        return;
    m_pText->CopyAllToClipboard();
    ShowMessageBox("Text in display window has been copied to clipboard");
}
