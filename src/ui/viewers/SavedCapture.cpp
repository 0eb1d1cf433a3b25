#include "ui/viewers/SavedCapture.h"

#include "app/HarReader.h"
#include "platform/MessageBox.h"
#include "session/SessionIndex.h"
#include "session/SessionSaver.h"
#include "trace/TraceStore.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QTemporaryDir>

CSavedCapture::CSavedCapture() = default;

CSavedCapture::~CSavedCapture()
{
    m_pIndex.reset(); // the file closes before its folder goes
}

void CSavedCapture::ChooseAndOpen(QWidget* parent)
{
    const QString path = QFileDialog::getOpenFileName(
        parent, QStringLiteral("Open Session"), QString(),
        QStringLiteral("Captures (*.kestrune *.har);;Sessions (*.kestrune);;HAR files (*.har);;All "
                       "files (*)"));
    if (!path.isEmpty())
        Open(path);
}

bool CSavedCapture::Open(const QString& path)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::unique_ptr<QTemporaryDir> harFolder;
    std::string sessionPath = path.toStdString();
    std::string error;
    bool opened = true;
    if (QFileInfo(path).suffix().compare(QStringLiteral("har"), Qt::CaseInsensitive) == 0) {
        harFolder = std::make_unique<QTemporaryDir>();
        sessionPath = harFolder->filePath(QStringLiteral("capture.kestrune")).toStdString();
        opened = ConvertHar(path, harFolder->isValid() ? sessionPath : std::string(), error);
    }
    auto index = std::make_shared<CSessionIndex>();
    opened = opened && index->Open(sessionPath, error);
    QApplication::restoreOverrideCursor();
    if (!opened) {
        ShowMessageBox(error);
        return false;
    }
    m_pIndex = std::move(index);
    m_pHarFolder = std::move(harFolder); // the previous one goes, its file closed already
    m_strFileName = QFileInfo(path).fileName();
    emit changed();
    return true;
}

bool CSavedCapture::ConvertHar(const QString& path, const std::string& sessionPath,
                               std::string& error)
{
    if (sessionPath.empty()) {
        error = "cannot make a temporary folder to read " + path.toStdString();
        return false;
    }
    CTraceStore store;
    if (!CHarReader::Read(path, store, error))
        return false;
    SSessionInfo info;
    info.run.emplace_back("converted_from", path.toStdString());
    return SessionSaver::Save(store, info, sessionPath, error);
}

void CSavedCapture::Close()
{
    if (!m_pIndex)
        return;
    m_pIndex.reset();
    m_pHarFolder.reset();
    m_strFileName.clear();
    emit changed();
}
