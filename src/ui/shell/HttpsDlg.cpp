#include "ui/shell/HttpsDlg.h"

#include "app/HttpsEngine.h"
#include "app/SettingsRegistry.h"
#include "app/TraceApp.h"
#include "platform/MessageBox.h"
#include "tls/CertAuthority.h"
#include "ui/shell/ByteText.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>

namespace {

QLabel* MakeLabel(QWidget* parent, const QString& text, const QRect& rect, bool selectable = false)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    if (selectable) // the commands can be copied
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setGeometry(rect);
    if (label->sizeHint().width() > rect.width())
        label->resize(label->sizeHint().width(), rect.height());
    return label;
}

QLineEdit* MakeEdit(QWidget* parent, int id, const QRect& rect, bool readOnly)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::number(id));
    edit->setGeometry(rect);
    if (readOnly) {
        edit->setReadOnly(true);
        edit->setFrame(false);
        QPalette palette = edit->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Window));
        edit->setPalette(palette);
    }
    return edit;
}

QPushButton* MakeButton(QWidget* parent, int id, const QString& text, const QRect& rect)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::number(id));
    button->setAutoDefault(false);
    button->setGeometry(rect);
    if (button->sizeHint().width() > rect.width())
        button->resize(button->sizeHint().width(), rect.height());
    return button;
}

} // namespace

CHttpsDlg::CHttpsDlg(CTraceApp& app)
    : CPropertyPage(QStringLiteral("HTTPS"), QSize(324, 213))
    , m_App(app)
    , m_chooseExportFile([](QWidget* parent) {
        return QFileDialog::getSaveFileName(parent, QStringLiteral("Export Root Certificate"),
                                            QDir::homePath() + QStringLiteral("/kestrune-root-ca.pem"),
                                            QStringLiteral("Certificates (*.pem *.crt);;All files (*)"));
    })
{
}

void CHttpsDlg::OnInitDialog()
{
    QWidget* page = GetWindow();
    page->setObjectName(QStringLiteral("138"));

    m_checkDecrypt = new QCheckBox(QStringLiteral("Decrypt HTTPS traffic"), page);
    m_checkDecrypt->setObjectName(QStringLiteral("1101"));
    m_checkDecrypt->setGeometry(DluRect(10, 8, 200, 10));
    MakeLabel(page, QStringLiteral("Decrypt only these hosts (empty: all hosts):"), DluRect(10, 24, 300, 8));
    m_editDecrypt = MakeEdit(page, 1102, DluRect(10, 34, 304, 12), false);
    MakeLabel(page, QStringLiteral("Never decrypt these hosts:"), DluRect(10, 50, 300, 8));
    m_editPass = MakeEdit(page, 1103, DluRect(10, 60, 304, 12), false);
    MakeLabel(page, QStringLiteral("Separate hosts with commas; *.example.com stands for every name below example.com."),
              DluRect(10, 75, 304, 8));

    m_btnExport = MakeButton(page, 1104, QStringLiteral("Export Root Certificate..."), DluRect(10, 92, 100, 14));
    m_btnNewRoot = MakeButton(page, 1105, QStringLiteral("New Root Certificate"), DluRect(116, 92, 100, 14));
    MakeLabel(page, QStringLiteral("Root certificate SHA-256 fingerprint:"), DluRect(10, 112, 300, 8));
    m_editFingerprint = MakeEdit(page, 1106, DluRect(10, 121, 304, 11), true);
    QFont small = m_editFingerprint->font(); // all 95 characters fit the page's first size
    small.setPointSizeF(small.pointSizeF() * 0.85);
    m_editFingerprint->setFont(small);
    MakeLabel(page, QStringLiteral("Stored in:"), DluRect(10, 134, 300, 8));
    m_editPlace = MakeEdit(page, 1107, DluRect(10, 143, 304, 11), true);

    MakeLabel(page, QStringLiteral("To trust it, import the exported FILE:"), DluRect(10, 160, 300, 8));
    MakeLabel(page, QStringLiteral("Firefox: Settings, Privacy & Security, View Certificates, Authorities, Import."),
              DluRect(16, 170, 300, 8), true);
    MakeLabel(page, QStringLiteral("Chromium on Linux: certutil -d sql:$HOME/.pki/nssdb -A -t C,, -n Kestrune -i FILE"),
              DluRect(16, 180, 300, 8), true);
    MakeLabel(page, QStringLiteral("The system store: as root, copy FILE to /usr/local/share/ca-certificates/kestrune.crt"),
              DluRect(16, 190, 300, 8), true);
    MakeLabel(page, QStringLiteral("and run update-ca-certificates."), DluRect(16, 199, 300, 8), true);

    if (CHttpsEngine* https = m_App.m_pHttps.get()) {
        const CTlsSettings& settings = https->GetSettings();
        m_checkDecrypt->setChecked(settings.decrypt);
        m_editDecrypt->setText(FromBytes(settings.decryptHosts));
        m_editPass->setText(FromBytes(settings.passHosts));
    }
    QObject::connect(m_checkDecrypt, &QCheckBox::toggled, page, [this] { ApplySettings(); });
    QObject::connect(m_editDecrypt, &QLineEdit::editingFinished, page, [this] { ApplySettings(); });
    QObject::connect(m_editPass, &QLineEdit::editingFinished, page, [this] { ApplySettings(); });
    QObject::connect(m_btnExport, &QPushButton::clicked, page, [this] { OnExport(); });
    QObject::connect(m_btnNewRoot, &QPushButton::clicked, page, [this] { OnNewRoot(); });
    ShowRoot();
}

void CHttpsDlg::OnSize(int width, int)
{
    // The fields take the page's width: a fingerprint is 95 characters long.
    for (QLineEdit* edit : {m_editDecrypt.data(), m_editPass.data(), m_editFingerprint.data(),
                            m_editPlace.data()}) {
        if (edit)
            edit->resize(qMax(DluRect(0, 0, 304, 0).width(), width - 2 * edit->x()), edit->height());
    }
}

void CHttpsDlg::ApplySettings()
{
    CHttpsEngine* https = m_App.m_pHttps.get();
    if (!HasWindow() || !https)
        return;
    CTlsSettings settings = https->GetSettings(); // the origin checks stay as the run set them
    settings.decrypt = m_checkDecrypt->isChecked();
    settings.decryptHosts = m_editDecrypt->text().trimmed().toStdString();
    settings.passHosts = m_editPass->text().trimmed().toStdString();
    https->Apply(settings);
    CSettingsRegistry store;
    store.SetDecryptHttps(settings.decrypt);
    store.SetDecryptHosts(settings.decryptHosts);
    store.SetPassHosts(settings.passHosts);
}

void CHttpsDlg::ShowRoot()
{
    CHttpsEngine* https = m_App.m_pHttps.get();
    if (!HasWindow() || !https)
        return;
    std::string error;
    const auto authority = https->GetAuthority(error);
    m_editFingerprint->setText(authority ? FromBytes(authority->GetFingerprint()) : FromBytes(error));
    m_editPlace->setText(FromBytes(authority ? authority->GetCertificatePath() : https->GetFolder()));
    m_editFingerprint->setCursorPosition(0);
    m_editPlace->setCursorPosition(0);
    m_btnExport->setEnabled(authority != nullptr);
}

void CHttpsDlg::OnExport()
{
    CHttpsEngine* https = m_App.m_pHttps.get();
    std::string error;
    const auto authority = https ? https->GetAuthority(error) : nullptr;
    if (!authority)
        return;
    const QString file = m_chooseExportFile(GetWindow());
    if (file.isEmpty())
        return;
    if (!authority->ExportPem(file.toStdString(), error))
        ShowMessageBox("The root certificate could not be exported: " + error);
}

void CHttpsDlg::OnNewRoot()
{
    CHttpsEngine* https = m_App.m_pHttps.get();
    std::string error;
    if (https && !https->RenewAuthority(error))
        ShowMessageBox("No new root certificate could be made: " + error);
    ShowRoot();
}
