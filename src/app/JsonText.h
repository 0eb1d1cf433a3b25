#pragma once
#include <QString>

#include <string_view>

// Bytes of the trace as a JSON string: UTF-8 when they are, else each byte as its Latin-1
// character, so that no byte is lost or replaced.
QString JsonText(std::string_view bytes);
