#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// Compact JSON appended to bytes as it is written, in the form Qt's JSON documents take
// (the same escapes and numbers), without building a document first. The caller writes each
// object's keys in the order Qt sorts them, so a document reads back and writes out again the
// same, byte for byte, but for U+FEFF: written as "\ufeff", which every reader keeps (Qt's
// drops the character itself at the start of a string).
class CJsonWriter {
public:
    explicit CJsonWriter(std::string& out)
        : m_Out(out)
    {
    }

    // A key of plain ASCII that needs no escape.
    CJsonWriter& Key(std::string_view name);
    CJsonWriter& BeginObject() { return Open('{'); }
    CJsonWriter& EndObject() { return Close('}'); }
    CJsonWriter& BeginArray() { return Open('['); }
    CJsonWriter& EndArray() { return Close(']'); }

    // Bytes of the trace: UTF-8 when they are, else each byte as its Latin-1 character, so
    // that no byte is lost or replaced (as JsonText does).
    CJsonWriter& Text(std::string_view bytes);
    // Bytes known to be UTF-8.
    CJsonWriter& Utf8(std::string_view bytes);
    CJsonWriter& Base64(std::string_view bytes);
    CJsonWriter& Integer(std::int64_t value);
    // An integral value within 2^53 as an integer, others in their shortest form, as
    // QJsonValue keeps and writes them; null when not finite.
    CJsonWriter& Number(double value);

private:
    void BeforeValue();
    CJsonWriter& Open(char bracket);
    CJsonWriter& Close(char bracket);
    void Escaped(std::string_view bytes, bool latin1);

    std::string& m_Out;
    bool m_bNeedComma = false;
};
