// The input is a whole session file. The reader must refuse what it cannot trust with a
// message and never crash, over-read or allocate without bound, whatever the bytes say.
#include "session/SessionFileCheck.h"
#include "session/SessionIndex.h"
#include "session/SessionInfo.h"
#include "session/SessionReader.h"
#include "trace/Exchange.h"
#include "trace/TraceStore.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
// One file of this process, written afresh for each input (SQLite reads from a path).
const std::string& FilePath()
{
    static const std::string path = [] {
        char pattern[] = "/tmp/fuzz_session-XXXXXX";
        const int fd = ::mkstemp(pattern);
        if (fd < 0)
            std::abort();
        ::close(fd);
        return std::string(pattern);
    }();
    return path;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string& path = FilePath();
    // A log or index left by the previous input would be read with this one.
    std::remove((path + "-wal").c_str());
    std::remove((path + "-shm").c_str());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        std::abort();
    if (size && std::fwrite(data, 1, size, file) != size)
        std::abort();
    std::fclose(file);

    std::string error;
    const std::string head(reinterpret_cast<const char*>(data), size < 100 ? size : 100);
    const bool plausible = SessionFileCheck::CheckHeader(head, size, "input", error);
    if (!plausible && error.empty())
        std::abort(); // refused without a word

    CTraceStore store;
    SSessionInfo info;
    error.clear();
    const bool read = CSessionReader().Read(path, store, info, error);
    if (read == !error.empty())
        std::abort(); // read with a message, or refused without one
    if (read && !plausible)
        std::abort(); // the reader took what its own checks refuse

    // The paged view of the same file: a page of each kind, and each row again on its own.
    CSessionIndex index;
    error.clear();
    const bool opened = index.Open(path, error);
    if (opened == !error.empty() || (opened && !plausible))
        std::abort();
    if (opened) {
        std::vector<std::uint64_t> ids;
        std::vector<std::int64_t> rows;
        std::vector<int> connections;
        CExchange exchange;
        STraceRecordFields record;
        index.VisitExchanges(0, 64, CSessionIndex::EDepth::Light, [](const CExchange&) {});
        index.VisitRecords(0, 64, CSessionIndex::EDepth::Light, true,
                           [](std::int64_t, const STraceRecordFields&, const SExchangeFacts*) {});
        if (index.ExchangeIds(0, 64, ids))
            for (std::uint64_t id : ids)
                index.ReadExchange(id, CSessionIndex::EDepth::Whole, exchange);
        if (index.RecordRows(0, 64, rows, connections))
            for (std::int64_t row : rows)
                index.ReadRecord(row, CSessionIndex::EDepth::Whole, record);
        SSessionInfo more;
        index.ReadInfo(more);
    }
    return 0;
}
