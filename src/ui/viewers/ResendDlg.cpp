#include "ui/viewers/ResendDlg.h"

#include "app/TraceApp.h"
#include "http/AsciiCase.h"
#include "proxy/ReplayLauncher.h"
#include "trace/Exchange.h"
#include "trace/ExchangeContent.h"
#include "trace/ResendRequest.h"
#include "ui/shell/ByteText.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

std::string ToBytes(const QString& text) { return text.toUtf8().toStdString(); }

// A body shown as text must come back byte for byte: UTF-8 without NUL.
bool ShowsAsText(const std::string& bytes)
{
    return bytes.find('\0') == std::string::npos && IsUtf8(bytes);
}

} // namespace

CResendDlg::CResendDlg(CTraceApp& app, const CExchange& exchange, QWidget* parent)
    : QDialog(parent)
    , m_App(app)
    , m_nReplayOf(exchange.m_nId)
{
    setWindowTitle(QStringLiteral("Edit and Resend #%1").arg(exchange.m_nId));
    Build();
    Fill(SResendDraft::FromExchange(exchange));
}

void CResendDlg::Build()
{
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    m_pMethod = new QLineEdit(this);
    m_pMethod->setAccessibleName(QStringLiteral("Method"));
    m_pUrl = new QLineEdit(this);
    m_pUrl->setAccessibleName(QStringLiteral("URL"));
    form->addRow(QStringLiteral("&Method:"), m_pMethod);
    form->addRow(QStringLiteral("&URL:"), m_pUrl);
    layout->addLayout(form);

    m_pHeaders = new QTableWidget(0, 2, this);
    m_pHeaders->setAccessibleName(QStringLiteral("Headers"));
    m_pHeaders->setHorizontalHeaderLabels({QStringLiteral("Header"), QStringLiteral("Value")});
    m_pHeaders->horizontalHeader()->setStretchLastSection(true);
    m_pHeaders->verticalHeader()->hide();
    m_pHeaders->setSelectionBehavior(QAbstractItemView::SelectRows);
    QObject::connect(m_pHeaders, &QTableWidget::itemChanged, this,
                     [this](QTableWidgetItem* item) { OnHeaderEdited(item); });
    layout->addWidget(m_pHeaders, 2);
    auto* rowButtons = new QHBoxLayout;
    auto* add = new QPushButton(QStringLiteral("&Add Header"), this);
    auto* remove = new QPushButton(QStringLiteral("Re&move Header"), this);
    QObject::connect(add, &QPushButton::clicked, this, [this] { AddHeaderRow(); });
    QObject::connect(remove, &QPushButton::clicked, this, [this] { RemoveHeaderRows(); });
    rowButtons->addWidget(add);
    rowButtons->addWidget(remove);
    rowButtons->addStretch(1);
    m_pHex = new QCheckBox(QStringLiteral("Body as he&x"), this);
    QObject::connect(m_pHex, &QCheckBox::clicked, this, [this](bool on) {
        if (!SetHex(on))
            m_pHex->setChecked(!on);
    });
    rowButtons->addWidget(m_pHex);
    layout->addLayout(rowButtons);

    m_pBody = new QPlainTextEdit(this);
    m_pBody->setAccessibleName(QStringLiteral("Body"));
    m_pBody->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    QObject::connect(m_pBody, &QPlainTextEdit::textChanged, this, [this] { OnBodyEdited(); });
    layout->addWidget(m_pBody, 3);

    m_pMessage = new QLabel(this);
    m_pMessage->setObjectName(QStringLiteral("message"));
    m_pMessage->setWordWrap(true);
    layout->addWidget(m_pMessage);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* send = buttons->addButton(QStringLiteral("&Send"), QDialogButtonBox::ActionRole);
    send->setDefault(true);
    buttons->addButton(QDialogButtonBox::Close);
    QObject::connect(send, &QPushButton::clicked, this, [this] { Send(); });
    QObject::connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(640, 560);
}

void CResendDlg::Fill(const SResendDraft& draft)
{
    m_bFilling = true;
    m_pMethod->setText(FromBytes(draft.method));
    m_pUrl->setText(FromBytes(draft.url));
    m_pHeaders->setRowCount(static_cast<int>(draft.fields.size()));
    for (std::size_t i = 0; i < draft.fields.size(); ++i)
        SetRow(static_cast<int>(i), draft.fields[i].first, draft.fields[i].second);
    const bool hex = !ShowsAsText(draft.body);
    m_pHex->setChecked(hex);
    m_pBody->setPlainText(FromBytes(hex ? HexText(draft.body) : draft.body));
    m_bFilling = false;
    if (draft.bodyCut)
        Say(QStringLiteral("Only the first %1 bytes of the recorded body were kept: the body here "
                           "is that part.")
                .arg(draft.body.size()),
            false);
}

void CResendDlg::SetRow(int row, const std::string& name, const std::string& value)
{
    m_pHeaders->setItem(row, 0, new QTableWidgetItem(FromBytes(name)));
    m_pHeaders->setItem(row, 1, new QTableWidgetItem(FromBytes(value)));
}

void CResendDlg::AddHeaderRow()
{
    const int row = m_pHeaders->rowCount();
    m_bFilling = true;
    m_pHeaders->insertRow(row);
    SetRow(row, std::string(), std::string());
    m_bFilling = false;
    m_pHeaders->setCurrentCell(row, 0);
    m_pHeaders->editItem(m_pHeaders->item(row, 0));
}

void CResendDlg::RemoveHeaderRows()
{
    QList<int> rows;
    for (const QModelIndex& index : m_pHeaders->selectionModel()->selectedRows())
        rows.append(index.row());
    if (rows.isEmpty() && m_pHeaders->currentRow() >= 0)
        rows.append(m_pHeaders->currentRow());
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    for (int row : rows)
        m_pHeaders->removeRow(row);
}

bool CResendDlg::BodyBytes(std::string& bytes) const
{
    const std::string text = ToBytes(m_pBody->toPlainText());
    if (!m_pHex->isChecked()) {
        bytes = text;
        return true;
    }
    return ParseHexText(text, bytes);
}

bool CResendDlg::SetHex(bool hex)
{
    const bool wasHex = !hex;
    std::string bytes = ToBytes(m_pBody->toPlainText());
    if (wasHex && !ParseHexText(bytes, bytes)) {
        Say(QStringLiteral("The body is no hex text (pairs of 0-9 and a-f): it stays as hex."),
            true);
        return false;
    }
    if (!hex && !ShowsAsText(bytes)) {
        Say(QStringLiteral("The body holds bytes that are no text: it stays as hex."), true);
        return false;
    }
    m_bFilling = true;
    m_pHex->setChecked(hex);
    m_pBody->setPlainText(FromBytes(hex ? HexText(bytes) : bytes));
    m_bFilling = false;
    return true;
}

void CResendDlg::OnBodyEdited()
{
    if (m_bFilling || m_bLengthSetByUser)
        return;
    std::string bytes;
    if (!BodyBytes(bytes))
        return; // hex being typed: the length follows once it reads
    m_bFilling = true;
    for (int row = 0; row < m_pHeaders->rowCount(); ++row) {
        const QTableWidgetItem* name = m_pHeaders->item(row, 0);
        if (name && EqualsNoCase(ToBytes(name->text()), "Content-Length"))
            m_pHeaders->item(row, 1)->setText(QString::number(bytes.size()));
    }
    m_bFilling = false;
}

void CResendDlg::OnHeaderEdited(QTableWidgetItem* item)
{
    if (m_bFilling || !item)
        return;
    const QTableWidgetItem* name = m_pHeaders->item(item->row(), 0);
    if (name && EqualsNoCase(ToBytes(name->text()), "Content-Length"))
        m_bLengthSetByUser = true; // the user's own length from now on
}

bool CResendDlg::ReadDraft(SResendDraft& draft, std::string& error) const
{
    draft = SResendDraft();
    draft.method = ToBytes(m_pMethod->text().trimmed());
    draft.url = ToBytes(m_pUrl->text().trimmed());
    for (int row = 0; row < m_pHeaders->rowCount(); ++row) {
        const QTableWidgetItem* name = m_pHeaders->item(row, 0);
        const QTableWidgetItem* value = m_pHeaders->item(row, 1);
        draft.fields.emplace_back(name ? ToBytes(name->text()) : std::string(),
                                  value ? ToBytes(value->text()) : std::string());
    }
    draft.lengthSetByUser = m_bLengthSetByUser;
    if (!BodyBytes(draft.body)) {
        error =
            "The body is no hex text: write pairs of the digits 0-9 and a-f, blanks between them.";
        return false;
    }
    return true;
}

bool CResendDlg::Send()
{
    SResendDraft draft;
    SResendRequest request;
    std::string error;
    if (!ReadDraft(draft, error) || !draft.Compose(m_nReplayOf, request, error)) {
        Say(FromBytes(error), true);
        return false;
    }
    const std::shared_ptr<const CExchange> sent = m_App.Replays().Send(request, error);
    if (!sent) {
        Say(FromBytes("Not sent: " + error + "."), true);
        return false;
    }
    Say(QStringLiteral("Sent as #%1.").arg(sent->m_nId), false);
    if (m_Sent)
        m_Sent(sent);
    return true;
}

void CResendDlg::Say(const QString& text, bool problem)
{
    m_pMessage->setText(text);
    m_pMessage->setStyleSheet(problem ? QStringLiteral("color: #b00000") : QString());
}
