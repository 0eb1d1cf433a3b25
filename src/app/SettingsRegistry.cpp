#include "app/SettingsRegistry.h"

#include "app/ByteSize.h"
#include "trace/MemoryBudget.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstddef>
#include <memory>

namespace {

constexpr qsizetype MAX_VALUE_BYTES = 200;
constexpr qsizetype MAX_LIST_BYTES = 8192; // a host list holds many names
constexpr qsizetype MAX_PATH_BYTES = 4096; // PATH_MAX

// A new QSettings per call: it re-reads the file when another process has changed it.
// Only the user's own file counts; no organisation-wide or system-wide file fills in values.
std::unique_ptr<QSettings> OpenStore()
{
    auto store = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             QStringLiteral("Varnel"), QStringLiteral("Kestrune"));
    store->setFallbacksEnabled(false);
    return store;
}

bool IsPrintableAscii(const std::string& text)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E)
            return false;
    }
    return true;
}

// Plain text stays readable in the file; anything else (control or high bytes, NUL) is kept as
// a byte array, which the file format stores escaped and gives back exactly.
QVariant ToStored(const std::string& text)
{
    const auto size = static_cast<qsizetype>(text.size());
    if (IsPrintableAscii(text))
        return QString::fromLatin1(text.data(), size);
    return QByteArray(text.data(), size);
}

// A value edited by hand is UTF-8 text; an unquoted one with commas reads as a list.
std::string FromStored(const QVariant& value, qsizetype maxBytes)
{
    QByteArray bytes;
    switch (value.typeId()) {
    case QMetaType::QByteArray:
        bytes = value.toByteArray();
        break;
    case QMetaType::QString:
        bytes = value.toString().toUtf8();
        break;
    case QMetaType::QStringList:
        bytes = value.toStringList().join(QLatin1Char(',')).toUtf8();
        break;
    default:
        return {};
    }
    if (bytes.size() > maxBytes)
        return {};
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// A file that does not parse cleanly still gives the values that do; the names that are
// missing read as empty. Without a readable file there is nothing to read: QSettings would
// otherwise answer from a write it could not save, kept for this process only.
std::string ReadValue(const char* name, qsizetype maxBytes = MAX_VALUE_BYTES)
{
    const auto store = OpenStore();
    const QFileInfo file(store->fileName());
    if (!file.isFile() || !file.isReadable())
        return {};
    return FromStored(store->value(QLatin1String(name)), maxBytes);
}

void WriteValue(const char* name, const std::string& text)
{
    const auto store = OpenStore();
    // A write that cannot be saved would stay pending in QSettings' cache and mask the file's
    // values for the rest of the run, so it is not even tried.
    const QFileInfo file(store->fileName());
    if (file.exists() && !(file.isFile() && file.isWritable()))
        return;
    store->setValue(QLatin1String(name), ToStored(text));
    store->sync(); // a failure leaves the running settings as they are; nothing is reported
}

std::string OrDefault(std::string value, const char* fallback)
{
    return value.empty() ? std::string(fallback) : value;
}

} // namespace

bool CSettingsRegistry::CreateKey()
{
    const QString path = OpenStore()->fileName();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    // Opening for reading and writing creates an empty file when it is missing and truncates
    // nothing; an empty file is a valid store without values.
    QFile file(path);
    return file.open(QIODevice::ReadWrite);
}

std::string CSettingsRegistry::GetAddress() { return OrDefault(ReadValue("HttpAddress"), "localhost"); }
std::string CSettingsRegistry::GetPort() { return OrDefault(ReadValue("HttpPort"), "8010"); }
std::string CSettingsRegistry::GetProxyAddress() { return ReadValue("HttpProxyAddress"); }
std::string CSettingsRegistry::GetProxyPort() { return ReadValue("HttpProxyPort"); }

void CSettingsRegistry::SetAddress(const std::string& address) { WriteValue("HttpAddress", address); }
void CSettingsRegistry::SetPort(const std::string& port) { WriteValue("HttpPort", port); }
void CSettingsRegistry::SetProxyAddress(const std::string& address)
{
    WriteValue("HttpProxyAddress", address);
}
void CSettingsRegistry::SetProxyPort(const std::string& port) { WriteValue("HttpProxyPort", port); }

bool CSettingsRegistry::GetDecryptHttps() { return ReadValue("HttpsDecrypt") == "1"; }
std::string CSettingsRegistry::GetDecryptHosts() { return ReadValue("HttpsDecryptHosts", MAX_LIST_BYTES); }
std::string CSettingsRegistry::GetPassHosts() { return ReadValue("HttpsPassHosts", MAX_LIST_BYTES); }
void CSettingsRegistry::SetDecryptHttps(bool decrypt) { WriteValue("HttpsDecrypt", decrypt ? "1" : "0"); }
void CSettingsRegistry::SetDecryptHosts(const std::string& hosts) { WriteValue("HttpsDecryptHosts", hosts); }
void CSettingsRegistry::SetPassHosts(const std::string& hosts) { WriteValue("HttpsPassHosts", hosts); }

std::string CSettingsRegistry::GetFolder()
{
    return QFileInfo(OpenStore()->fileName()).absolutePath().toStdString();
}
bool CSettingsRegistry::GetDecodeBodies() { return ReadValue("DecodeBodies") == "1"; }
void CSettingsRegistry::SetDecodeBodies(bool decode) { WriteValue("DecodeBodies", decode ? "1" : "0"); }
std::string CSettingsRegistry::GetExchangeColumns() { return ReadValue("ExchangeColumns", 256); }
void CSettingsRegistry::SetExchangeColumns(const std::string& widths) { WriteValue("ExchangeColumns", widths); }

std::uint64_t CSettingsRegistry::GetMemoryBudget()
{
    return ByteSize::ParseBudget(ReadValue("MemoryBudget", 32)).value_or(CMemoryBudget::kDefaultLimit);
}

void CSettingsRegistry::SetMemoryBudget(std::uint64_t bytes)
{
    WriteValue("MemoryBudget", ByteSize::Format(bytes));
}
std::string CSettingsRegistry::GetSessionFile() { return ReadValue("SessionFile", MAX_PATH_BYTES); }
void CSettingsRegistry::SetSessionFile(const std::string& path) { WriteValue("SessionFile", path); }
