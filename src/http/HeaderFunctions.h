#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Byte-level HTTP/1.x header handling shared by the browser and the server connections.
// Buffers are byte strings: every offset and length counts bytes, NUL bytes included.

// True once the buffer holds two LFs with nothing but CRs between them
// (CR LF CR LF, LF LF, CR LF LF and LF CR LF all end a header).
bool IsHeaderComplete(const std::string& buffer);

// The offset just past the LF that completes the header by IsHeaderComplete's rule, or 0 when
// the header is not complete. Scanning may resume at 'from' (a size the buffer had before more
// bytes arrived): the bytes before it must not have completed a header.
std::size_t HeaderEndOffset(std::string_view buffer, std::size_t from = 0);
// Where the first CR or LF at or after from is; npos for none. (What find_first_of("\r\n")
// gives, without a search of the two-byte set at every byte: every field value passes here,
// so it looks at 16 bytes at a time where it can.)
std::size_t LineBreakOffset(std::string_view text, std::size_t from = 0);

// Cuts the header into CR LF terminated lines; the last line also carries the blank line that
// ends the header. When the end (CR LF, optional CR, LF) is found, the header bytes are removed
// from the front of the buffer and true is returned; otherwise the buffer is untouched and the
// lines cut so far stay in 'lines'. A bare LF does not end a line.
bool SplitHeaderLines(std::string& buffer, std::vector<std::string>& lines);

// The lines concatenated in order.
std::string JoinLines(const std::vector<std::string>& lines);

// Replaces the trailing CRs and LFs of a header text (never its first byte) by CR LF CR LF.
// An empty text stays empty.
void TerminateHeader(std::string& text);

// Splits the text up to its first LF at any of the delimiter bytes; empty tokens are dropped.
// Returns the number of tokens.
int Tokenize(std::string_view text, std::string_view delimiters, std::vector<std::string>& tokens);

// The C library's atoi rules (leading white space, optional sign, digits up to the first other
// byte; 0 without digits), except that values beyond the int range clamp to INT_MIN/INT_MAX.
int AtoiText(std::string_view text);
