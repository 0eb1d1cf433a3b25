#pragma once
#include "ui/shell/PropertyPage.h"

#include <QPointer>
#include <QString>

#include <functional>

class QCheckBox;
class QLineEdit;
class QPushButton;

// The "HTTPS" page: the decryption switch and host lists (stored, and in force for the next
// tunnel as soon as they change), Kestrune's root certificate (export, renewal, fingerprint and
// place) and how to make browsers trust it.
class CTraceApp;

class CHttpsDlg : public CPropertyPage {
public:
    explicit CHttpsDlg(CTraceApp& app);

    // Asks where to export the root; tests replace the save dialog. Empty: cancelled.
    using FileChooser = std::function<QString(QWidget* parent)>;
    void SetExportFileChooser(FileChooser chooser) { m_chooseExportFile = std::move(chooser); }

    // Stores the page's switch and lists and hands them to the running proxy.
    void ApplySettings();
    void OnExport();
    void OnNewRoot();

    void OnSize(int width, int height) override;

protected:
    void OnInitDialog() override;

private:
    void ShowRoot();

    QPointer<QCheckBox> m_checkDecrypt;    // 1101
    QPointer<QLineEdit> m_editDecrypt;     // 1102
    QPointer<QLineEdit> m_editPass;        // 1103
    QPointer<QPushButton> m_btnExport;     // 1104
    QPointer<QPushButton> m_btnNewRoot;    // 1105
    QPointer<QLineEdit> m_editFingerprint; // 1106
    QPointer<QLineEdit> m_editPlace;       // 1107
    CTraceApp& m_App; // holds the HTTPS engine the page configures
    FileChooser m_chooseExportFile;
};
