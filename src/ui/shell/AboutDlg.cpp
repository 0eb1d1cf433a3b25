#include "ui/shell/AboutDlg.h"

#include "ui/shell/AppIcon.h"

#include <QLabel>
#include <QLineEdit>
#include <QPalette>

const char* const CAboutDlg::kWebAddress = "https://kestrune.example.org/";
const char* const CAboutDlg::kSupportContact = "support@kestrune.example.org";

namespace {

QLabel* MakeLabel(QWidget* parent, const QString& text, const QRect& rect)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    // Measured for a narrower font: a line that needs more room grows to the right.
    label->setGeometry(rect);
    if (label->sizeHint().width() > rect.width())
        label->resize(label->sizeHint().width(), rect.height());
    return label;
}

// Read-only and borderless, but still selectable and in the tab order, so the address can be
// copied.
QLineEdit* MakeField(QWidget* parent, const char* id, const QRect& rect)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(id));
    edit->setReadOnly(true);
    edit->setFrame(false);
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    edit->setPalette(palette);
    edit->setFocusPolicy(Qt::StrongFocus);
    edit->setGeometry(rect);
    return edit;
}

} // namespace

CAboutDlg::CAboutDlg()
    : CPropertyPage(QStringLiteral("About"), QSize(298, 199))
{
}

void CAboutDlg::OnInitDialog()
{
    QWidget* page = GetWindow();
    page->setObjectName(QStringLiteral("100"));

    auto* icon = new QLabel(page);
    const QRect iconRect = DluRect(15, 20, 21, 20);
    const int side = qMin(iconRect.width(), iconRect.height());
    icon->setPixmap(AppIcon().pixmap(side, side));
    icon->setGeometry(iconRect.x(), iconRect.y(), side, side);

    MakeLabel(page, QStringLiteral("Kestrune Version " KESTRUNE_VERSION), DluRect(47, 18, 119, 8));
    MakeLabel(page, QStringLiteral("Copyright (C) 2026 the Kestrune developers"),
              DluRect(47, 33, 175, 8))
        ->setObjectName(QStringLiteral("1033"));
    MakeLabel(page,
              QStringLiteral("For additional Information or newer versions, contact author at:"),
              DluRect(30, 63, 207, 8));

    m_editWeb = MakeField(page, "1023", DluRect(62, 78, 184, 12));
    m_editSupport = MakeField(page, "1022", DluRect(62, 90, 189, 12));

    MakeLabel(page,
              QStringLiteral("Early release version.  Report any problems (include URL) to vendor."),
              DluRect(30, 126, 240, 8));
    MakeLabel(page, QStringLiteral("Use of this software is subject to the following restrictions:"),
              DluRect(30, 137, 207, 8));
    QLabel* disclaimer = MakeLabel(
        page,
        QStringLiteral("This software is provided \"as is\", without warranty of any kind.\n"
                       "In no event shall its authors be liable for any damage or loss\n"
                       "arising from its use. Use it only on traffic you may inspect."),
        DluRect(30, 150, 243, 36));
    disclaimer->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    m_editWeb->setText(QString::fromLatin1(kWebAddress));
    m_editSupport->setText(QString::fromLatin1(kSupportContact));
    m_editWeb->setCursorPosition(0);
    m_editSupport->setCursorPosition(0);
}
