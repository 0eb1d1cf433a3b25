#pragma once
#include <QPlainTextEdit>

#include <string>

// The text pane of a trace page: an editable plain-text control that also keeps the exact bytes
// the page put into it, so lengths and cuts follow the byte count of the trace text while the
// screen shows those bytes decoded as UTF-8 (invalid sequences become U+FFFD, NUL bytes stay).
// When the user edits the pane, the pane's own text becomes the byte model again.
class CTextPane : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit CTextPane(QWidget* parent = nullptr);

    // Replaces the whole text.
    void SetBytes(const std::string& bytes);

    // Adds bytes at the end without rebuilding what is already shown.
    void AppendBytes(const std::string& bytes);

    // The text as the page sees it: what it put there, or the user's edit of it.
    const std::string& GetBytes();
    std::size_t GetByteLength() { return GetBytes().size(); }

    // True once the user has changed the text since the page last set it.
    bool IsUserEdited() const { return m_bUserEdited; }

    // Selects the whole text, scrolls the caret into view and puts the text on the clipboard.
    void CopyAllToClipboard();

private:
    void OnContentsChange();
    // Shows the text decoded; keeps the view on the newest line when it was following it.
    void ReplaceShownText();
    bool IsFollowingEnd() const;
    void FollowEnd();

    std::string m_strBytes;
    bool m_bUserEdited = false;
    bool m_bSetting = false; // our own change is under way
};
