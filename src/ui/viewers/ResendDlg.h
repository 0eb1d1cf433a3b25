#pragma once
#include "trace/ResendDraft.h"

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTableWidget>

#include <cstdint>
#include <functional>
#include <memory>

class CExchange;
class CTraceApp;

// "Edit and Resend": a recorded request in an editor (method, URL, the header table in order,
// the body as text or, for binary bodies, hex) and Send, which sends what the editor holds as a
// new exchange and stays open for the next try. Content-Length follows the body until the user
// writes one. Invalid input is refused here, with a message, and never sent.
class CResendDlg : public QDialog {
public:
    using SentHandler = std::function<void(std::shared_ptr<const CExchange>)>;

    CResendDlg(CTraceApp& app, const CExchange& exchange, QWidget* parent = nullptr);

    // Told of each exchange Send made (the page shows it).
    void SetSentHandler(SentHandler handler) { m_Sent = std::move(handler); }
    // Sends what the editor holds; false (the message says why) when it is refused.
    bool Send();
    // What the editor holds; false with the message for the user when it cannot be read.
    bool ReadDraft(SResendDraft& draft, std::string& error) const;

    void AddHeaderRow();
    void RemoveHeaderRows();
    // Shows the body as hex or as text; false (and no change) when the hex does not read.
    bool SetHex(bool hex);

    QLineEdit* GetMethod() const { return m_pMethod; }
    QLineEdit* GetUrl() const { return m_pUrl; }
    QTableWidget* GetHeaders() const { return m_pHeaders; }
    QPlainTextEdit* GetBody() const { return m_pBody; }
    QCheckBox* GetHexBox() const { return m_pHex; }
    QLabel* GetMessage() const { return m_pMessage; }
    bool IsLengthSetByUser() const { return m_bLengthSetByUser; }

private:
    void Build();
    void Fill(const SResendDraft& draft);
    void SetRow(int row, const std::string& name, const std::string& value);
    // The body's bytes as the editor holds them; false when hex does not read.
    bool BodyBytes(std::string& bytes) const;
    void OnBodyEdited();
    void OnHeaderEdited(QTableWidgetItem* item);
    void Say(const QString& text, bool problem);

    CTraceApp& m_App;
    std::uint64_t m_nReplayOf;
    SentHandler m_Sent;
    QPointer<QLineEdit> m_pMethod;
    QPointer<QLineEdit> m_pUrl;
    QPointer<QTableWidget> m_pHeaders;
    QPointer<QPlainTextEdit> m_pBody;
    QPointer<QCheckBox> m_pHex;
    QPointer<QLabel> m_pMessage;
    bool m_bLengthSetByUser = false;
    bool m_bFilling = false; // the editor changes its own cells: no user edit
};
