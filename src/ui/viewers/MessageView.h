#pragma once
#include "ui/viewers/BodyPreview.h"

#include "ui/viewers/LinesModel.h"

#include <QFutureWatcher>
#include <QLabel>
#include <QPointer>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>

#include <cstdint>
#include <string>

class QListView;

// One side of an exchange, request or response: Headers (a two-column table, in order,
// duplicates kept), Body (text, image or hex dump, with what was done to it) and Raw (the bytes
// as recorded). A body over kOffLoopBody is prepared on another thread; a notice shows
// meanwhile, and a message shown later replaces one still being prepared.
class CMessageView : public QTabWidget {
    Q_OBJECT
public:
    // name: "Request" or "Response", for the accessible names.
    CMessageView(const QString& name, QWidget* parent = nullptr);
    ~CMessageView() override;

    void SetMessage(const std::string& head, const std::string& body, std::uint64_t total);
    void Clear();

    // For tests and the page: whether a body is still being prepared, and what shows.
    bool IsPreparing() const { return m_pWatcher != nullptr; }
    QString GetNotice() const;
    SBodyPreview::Kind GetBodyKind() const { return m_nKind; }
    QTableWidget* GetHeaders() const { return m_pHeaders; }
    CLinesModel* GetBodyLines() const { return m_pBodyLines; }
    CLinesModel* GetRawLines() const { return m_pRawLines; }
    QLabel* GetImage() const { return m_pImage; }

signals:
    void bodyShown();

private:
    struct SPrepared {
        SBodyPreview body;
        SRawPreview raw;
    };
    static SPrepared Prepare(const std::string& head, const std::string& body, std::uint64_t total);
    void Show(SPrepared prepared);
    void StopWaiting();
    QListView* MakeLinesView(CLinesModel* model, const QString& name);

    QPointer<QTableWidget> m_pHeaders;
    QPointer<QLabel> m_pFirstLine;
    QPointer<QLabel> m_pNotice;
    QPointer<QStackedWidget> m_pBodyStack;
    QPointer<CLinesModel> m_pBodyLines;
    QPointer<QScrollArea> m_pImageArea;
    QPointer<QLabel> m_pImage;
    QPointer<CLinesModel> m_pRawLines;
    QFutureWatcher<SPrepared>* m_pWatcher = nullptr;
    SBodyPreview::Kind m_nKind = SBodyPreview::Kind::Empty;
};
