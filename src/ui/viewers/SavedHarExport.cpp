#include "ui/viewers/SavedHarExport.h"

#include "app/HarBuilder.h"
#include "session/SessionIndex.h"
#include "trace/Exchange.h"

#include <QSaveFile>

namespace {
constexpr std::size_t kExchangesPerRead = 64;
} // namespace

bool SavedHarExport::Write(const std::string& sessionPath, const std::vector<std::uint64_t>& ids,
                           const QString& harPath, const std::atomic<bool>& stop,
                           std::atomic<std::uint64_t>& done, std::string& error)
{
    CSessionIndex index;
    if (!index.Open(sessionPath, error))
        return false;
    QSaveFile file(harPath);
    if (!file.open(QIODevice::WriteOnly)) {
        error = "cannot write " + harPath.toStdString() + ": " + file.errorString().toStdString();
        return false;
    }
    // The capture may hold cookies and credentials.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    bool first = true;
    bool written = file.write(CHarBuilder::DocumentStart()) >= 0;
    const auto add = [&](const CExchange& exchange) {
        const QByteArray entry = CHarBuilder::EntryJson(exchange);
        if (!entry.isEmpty()) { // a tunnel has none
            written = written && (first || file.write(",\n", 2) == 2)
                      && file.write(entry) == entry.size();
            first = false;
        }
        ++done;
    };
    if (ids.empty()) {
        long read = static_cast<long>(kExchangesPerRead);
        std::uint64_t after = 0;
        while (written && !stop && read == static_cast<long>(kExchangesPerRead)) {
            read = index.VisitExchanges(after, kExchangesPerRead, CSessionIndex::EDepth::Whole,
                                        [&](const CExchange& exchange) {
                                            after = exchange.m_nId;
                                            add(exchange);
                                        });
            if (read < 0) {
                error = index.Error();
                return false;
            }
        }
    } else {
        CExchange exchange;
        for (std::size_t i = 0; written && !stop && i < ids.size(); ++i) {
            exchange = CExchange();
            if (index.ReadExchange(ids[i], CSessionIndex::EDepth::Whole, exchange))
                add(exchange);
            else if (!index.Error().empty()) {
                error = index.Error();
                return false;
            }
        }
    }
    if (stop) {
        error = "the export was cancelled";
        return false;
    }
    const QByteArray end = CHarBuilder::DocumentEnd();
    if (!written || file.write(end) != end.size() || !file.commit()) {
        error = "cannot write " + harPath.toStdString() + ": " + file.errorString().toStdString();
        return false;
    }
    return true;
}
