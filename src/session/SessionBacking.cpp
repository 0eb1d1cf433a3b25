#include "session/SessionBacking.h"

#include "session/BodyCompression.h"
#include "session/PackedExchangesTable.h"
#include "session/PackedRecordsTable.h"
#include "trace/Exchange.h"

#include <utility>

namespace {
using EStep = CSqliteStatement::EStep;

// A body's bytes from its four columns (see docs/session-format.md); false when they disagree.
bool ReadBody(const CSqliteStatement& row, int column, SExchangeBody& body)
{
    const std::int64_t kept = row.Int(column + 1);
    const std::int64_t total = row.Int(column + 2);
    if (kept < 0 || kept > static_cast<std::int64_t>(CExchange::kMaxKeptBody) || total < kept)
        return false;
    std::string stored = row.Bytes(column);
    body.total = static_cast<std::uint64_t>(total);
    if (row.Int(column + 3) != 0)
        return BodyCompression::Decompress(stored, static_cast<std::size_t>(kept), body.bytes);
    if (stored.size() != static_cast<std::size_t>(kept))
        return false;
    body.bytes = std::move(stored);
    return true;
}
} // namespace

CSessionBacking::CSessionBacking(std::string path)
    : m_strPath(std::move(path))
{
}

bool CSessionBacking::Open()
{
    // Opened once: a file that cannot be read now will not be later in this run.
    if (!m_bTried) {
        m_bTried = true;
        m_bOpen =
            m_Db.Open(m_strPath, false) && PackedRecordsTable::Attach(m_Db.Handle())
            && PackedExchangesTable::Attach(m_Db.Handle())
            && m_Record.Prepare(m_Db.Handle(), "SELECT header, text FROM records WHERE "
                                               "rowid = ? AND connection = ? AND sequence = ?")
            && m_Bodies.Prepare(m_Db.Handle(),
                                "SELECT request_body, request_body_kept, request_body_total, "
                                "request_body_zstd, response_body, response_body_kept, "
                                "response_body_total, response_body_zstd FROM exchanges "
                                "WHERE id = ?");
    }
    return m_bOpen;
}

bool CSessionBacking::ReadRecordTexts(std::uint64_t serial, int connectionId, int sequence,
                                      std::string& header, std::string& text)
{
    if (serial == 0 || !Open())
        return false;
    m_Record.BindInt(1, static_cast<std::int64_t>(serial));
    m_Record.BindInt(2, connectionId);
    m_Record.BindInt(3, sequence);
    const bool found = m_Record.Step() == EStep::Row;
    if (found) {
        header = m_Record.Bytes(0);
        text = m_Record.Bytes(1);
    }
    m_Record.Reset();
    return found;
}

bool CSessionBacking::ReadBodies(std::uint64_t exchangeId, SExchangeBody& request,
                                 SExchangeBody& response)
{
    if (!Open())
        return false;
    m_Bodies.BindInt(1, static_cast<std::int64_t>(exchangeId));
    SExchangeBody readRequest, readResponse;
    const bool found = m_Bodies.Step() == EStep::Row && ReadBody(m_Bodies, 0, readRequest)
                       && ReadBody(m_Bodies, 4, readResponse);
    m_Bodies.Reset();
    if (found) {
        request = std::move(readRequest);
        response = std::move(readResponse);
    }
    return found;
}
