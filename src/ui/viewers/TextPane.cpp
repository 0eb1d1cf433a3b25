#include "ui/viewers/TextPane.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>

namespace {

QString Decode(const char* data, std::size_t size)
{
    return QString::fromUtf8(data, static_cast<qsizetype>(size));
}

// True when the decoder could still be in the middle of a character after text: its last
// bytes may be the start of a UTF-8 sequence that the next bytes complete.
bool MayEndInsideCharacter(const std::string& text)
{
    const std::size_t size = text.size();
    for (std::size_t back = 1; back <= 4 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(text[size - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // continuation byte: look further back
        if (byte < 0x80)
            return false;
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
        return length > back;
    }
    return false;
}

} // namespace

CTextPane::CTextPane(QWidget* parent)
    : QPlainTextEdit(parent)
{
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // As in a dialog: Tab moves to the next control, Return starts a new line.
    setTabChangesFocus(true);
    connect(document(), &QTextDocument::contentsChange, this,
            [this](int, int, int) { OnContentsChange(); });
}

void CTextPane::OnContentsChange()
{
    if (!m_bSetting)
        m_bUserEdited = true;
}

bool CTextPane::IsFollowingEnd() const
{
    const QScrollBar* bar = verticalScrollBar();
    return bar->value() >= bar->maximum();
}

void CTextPane::FollowEnd()
{
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void CTextPane::ReplaceShownText()
{
    const bool following = IsFollowingEnd();
    const int oldValue = verticalScrollBar()->value();
    m_bSetting = true;
    setPlainText(Decode(m_strBytes.data(), m_strBytes.size()));
    m_bSetting = false;
    m_bUserEdited = false;
    if (following)
        FollowEnd();
    else
        verticalScrollBar()->setValue(oldValue);
}

void CTextPane::SetBytes(const std::string& bytes)
{
    m_strBytes = bytes;
    ReplaceShownText();
}

void CTextPane::AppendBytes(const std::string& bytes)
{
    if (bytes.empty())
        return;
    const std::string& current = GetBytes();
    // The screen shows a CR LF pair as one line break and a lone CR as one too, and a
    // character may be split between two pulls: in those cases decoding the new bytes on
    // their own would show something else than the whole text, so the text is redrawn.
    const bool splitPair = !current.empty() && current.back() == '\r' && bytes.front() == '\n';
    const bool redraw = splitPair || MayEndInsideCharacter(current);

    m_strBytes += bytes; // may throw; nothing shown has changed yet
    if (redraw) {
        ReplaceShownText();
        return;
    }
    const bool following = IsFollowingEnd();
    m_bSetting = true;
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(Decode(bytes.data(), bytes.size()));
    // What the page adds is not the user's to undo, and the history would grow with the feed.
    document()->clearUndoRedoStacks();
    m_bSetting = false;
    if (following)
        FollowEnd();
}

const std::string& CTextPane::GetBytes()
{
    if (m_bUserEdited) {
        // The user's text, with its line breaks written as CR LF like the trace's own.
        QString shown = toPlainText();
        shown.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
        const QByteArray utf8 = shown.toUtf8();
        m_strBytes.assign(utf8.constData(), static_cast<std::size_t>(utf8.size()));
        m_bUserEdited = false;
    }
    return m_strBytes;
}

void CTextPane::CopyAllToClipboard()
{
    const std::string& bytes = GetBytes();
    selectAll();
    ensureCursorVisible();
    QGuiApplication::clipboard()->setText(Decode(bytes.data(), bytes.size()));
}
