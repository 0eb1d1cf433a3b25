#pragma once
#include "ui/shell/PropertyPage.h"

#include <QPointer>

class QLineEdit;

// The "About" page: the program's icon and version and how to reach its makers.
class CAboutDlg : public CPropertyPage {
public:
    CAboutDlg();

    static const char* const kWebAddress;
    static const char* const kSupportContact;

protected:
    void OnInitDialog() override;

private:
    QPointer<QLineEdit> m_editWeb;     // 1023
    QPointer<QLineEdit> m_editSupport; // 1022
};
