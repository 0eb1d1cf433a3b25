#pragma once
#include <QImage>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

// A message body made ready to show: the transfer coding taken off, a gzip, deflate, br or
// zstd body decoded, then as text in its declared charset (JSON re-indented), as an image, or
// as bytes for a hex dump. Pure work on copies: it may run on another thread.
struct SBodyPreview {
    enum class Kind { Empty, Text, Image, Binary };
    Kind kind = Kind::Empty;
    std::string text;                    // Text: UTF-8
    std::vector<std::uint32_t> lineStarts; // Text: where each shown line starts in text
    std::string bytes;                   // Binary: the bytes to dump
    QImage image;                        // Image
    QString notice;                      // what was done to the body, and what is not shown
};

// The most body bytes shown; past them the notice says so.
inline constexpr std::size_t kMaxShownBody = 16 << 20;
// Bodies larger than this are prepared off the event loop.
inline constexpr std::size_t kOffLoopBody = 1 << 20;

// head: the message head (its Content-Type, Content-Encoding and Transfer-Encoding are read);
// body: the kept bytes as they went through; total: every byte of the body on the wire.
SBodyPreview PrepareBody(const std::string& head, const std::string& body, std::uint64_t total);

// JSON re-indented by two spaces, keys and values kept as written (nothing is reordered or
// re-encoded); false, with out unchanged, when the text is not a JSON object or array.
bool IndentJson(const std::string& json, std::string& out);

// Line starts of a text, a line longer than maxLine bytes continued on the next (at a UTF-8
// character boundary).
std::vector<std::uint32_t> SplitLines(const std::string& text, std::size_t maxLine = 2000);

// The bytes of a message as recorded (head, then the kept body as it went through), as text
// for the Raw tab: the body read as UTF-8, or as Windows-1252 when it is not; at most
// kMaxShownBody bytes of body.
struct SRawPreview {
    std::string text;
    std::vector<std::uint32_t> lineStarts;
};
SRawPreview PrepareRaw(const std::string& head, const std::string& body);
