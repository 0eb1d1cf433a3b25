#pragma once
#include <string>
#include <string_view>

// Turns the bytes of a response text into UTF-8 for the panes, by the charset its response
// declared: as browsers read them, ISO-8859-1 and ASCII are Windows-1252, GB2312 is GBK and
// EUC-KR is Windows-949. Without a charset (or with one nobody knows) the text stays as it is
// when it reads as UTF-8, and is read as Windows-1252 otherwise. Bytes that do not decode
// become U+FFFD; nothing is dropped. Conversion by ICU.
std::string ToDisplayUtf8(std::string text, std::string_view charset);

// True when text is UTF-8, allowing a character cut at either end (a chunk boundary).
bool LooksLikeUtf8(std::string_view text);
