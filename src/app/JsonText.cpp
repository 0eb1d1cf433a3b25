#include "app/JsonText.h"

#include <QStringDecoder>

bool IsUtf8(std::string_view bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return !decoder.hasError();
}

QString JsonText(std::string_view bytes)
{
    const QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
    return IsUtf8(bytes) ? QString::fromUtf8(view) : QString::fromLatin1(view);
}
