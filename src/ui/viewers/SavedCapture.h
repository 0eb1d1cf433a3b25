#pragma once
#include <QObject>
#include <QString>

#include <memory>
#include <string>

class CSessionIndex;
class QTemporaryDir;

// The saved capture the window shows instead of the live one, shared by the pages that can
// show it (Exchanges, Listing): a session file read a page at a time, or a HAR file turned
// into a session file of its own first. The live capture goes on meanwhile; Close goes back
// to it.
class CSavedCapture : public QObject {
    Q_OBJECT
public:
    CSavedCapture();
    ~CSavedCapture() override;

    // Opens the file (.har by its extension, anything else as a session) in place of the one
    // shown. False, after a message box with the reason, when it cannot be read; what was
    // shown stays.
    bool Open(const QString& path);
    // Asks for a file, then opens it.
    void ChooseAndOpen(QWidget* parent);
    // Back to the live capture.
    void Close();

    bool IsOpen() const { return m_pIndex != nullptr; }
    // The file the user opened, for the marker.
    const QString& GetFileName() const { return m_strFileName; }
    // The file's rows, while one is open.
    std::shared_ptr<CSessionIndex> GetIndex() const { return m_pIndex; }

signals:
    // Opened, replaced or closed: the pages show what is now to be shown.
    void changed();

private:
    // The HAR file as a new session file at sessionPath (none: no folder could be made).
    static bool ConvertHar(const QString& path, const std::string& sessionPath, std::string& error);

    std::shared_ptr<CSessionIndex> m_pIndex;
    std::unique_ptr<QTemporaryDir> m_pHarFolder; // the session made from a HAR file
    QString m_strFileName;
};
