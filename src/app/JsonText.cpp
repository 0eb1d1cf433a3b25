#include "app/JsonText.h"

#include "trace/ExchangeContent.h"

QString JsonText(std::string_view bytes)
{
    const QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
    return IsUtf8(bytes) ? QString::fromUtf8(view) : QString::fromLatin1(view);
}
