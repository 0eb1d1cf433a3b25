#include "app/SessionConvert.h"

#include "app/CommandLine.h"
#include "app/HarBuilder.h"
#include "app/HarReader.h"
#include "session/SessionReader.h"
#include "session/SessionSaver.h"
#include "trace/TraceConnection.h"
#include "trace/TraceStore.h"

#include <QFileInfo>
#include <QString>

#include <cstdio>

namespace {
enum class EKind { Unknown, Session, Har };

EKind KindOf(const std::string& path)
{
    const QString suffix = QFileInfo(QString::fromStdString(path)).suffix().toLower();
    return suffix == "kestrune" ? EKind::Session : suffix == "har" ? EKind::Har : EKind::Unknown;
}

int Refuse(const std::string& message)
{
    std::fprintf(stderr, "kestrune: %s\n", message.c_str());
    return 2;
}
} // namespace

int RunConvert(const CCommandLine& options)
{
    const std::string& from = options.convertFrom;
    const std::string& to = options.convertTo;
    const EKind fromKind = KindOf(from), toKind = KindOf(to);
    if (fromKind == EKind::Unknown || toKind == EKind::Unknown)
        return Refuse("--convert: each file must end in .kestrune (a session) or .har (HAR 1.2)");
    if (QFileInfo::exists(QString::fromStdString(to)))
        return Refuse("--convert: " + to + " exists already; the result goes into a new file");

    CTraceStore store;
    SSessionInfo info;
    std::string error;
    const bool read = fromKind == EKind::Session
                          ? CSessionReader().Read(from, store, info, error)
                          : CHarReader::Read(QString::fromStdString(from), store, error);
    if (!read)
        return Refuse(error);
    if (toKind == EKind::Session) {
        if (fromKind == EKind::Har)
            info.run.emplace_back("converted_from", from);
        if (!SessionSaver::Save(store, info, to, error)) {
            std::remove(to.c_str()); // a half-written session is no session
            return Refuse(error);
        }
        return 0;
    }
    CHarBuilder har;
    for (const auto& exchange : store.GetExchanges())
        har.AddExchange(*exchange);
    if (!har.WriteFile(QString::fromStdString(to)))
        return Refuse("cannot write the HAR file " + to);
    return 0;
}
