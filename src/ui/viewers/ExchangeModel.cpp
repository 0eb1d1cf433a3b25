#include "ui/viewers/ExchangeModel.h"

#include "trace/Exchange.h"
#include "trace/TraceStore.h"
#include "ui/shell/ByteText.h"
#include "ui/viewers/ExchangeCells.h"

#include <QElapsedTimer>

#include <algorithm>
#include <climits>
#include <numeric>

namespace {

// A slice gives the event loop back after this long, and always takes at least this many rows:
// a small trace is filtered at once.
constexpr qint64 kSliceNs = 15'000'000;
constexpr std::size_t kFirstSliceRows = 20'000;

QString SizeText(std::uint64_t bytes)
{
    return QString::fromLatin1(GroupedNumber(bytes));
}

// Numbers as numbers: the key of a numeric column; -1 sorts an open exchange first.
std::int64_t NumericKey(const CExchange& exchange, int column)
{
    switch (column) {
    case CExchangeModel::colId:
        return static_cast<std::int64_t>(exchange.m_nId);
    case CExchangeModel::colStatus:
        return exchange.m_nStatus;
    case CExchangeModel::colSize:
        return static_cast<std::int64_t>(exchange.m_ResponseBody.total);
    case CExchangeModel::colTime:
        return ExchangeDurationUs(exchange);
    case CExchangeModel::colStarted:
        return exchange.m_Times.started;
    }
    return 0;
}

std::string_view TextKey(const CExchange& exchange, int column)
{
    switch (column) {
    case CExchangeModel::colMethod:
        return exchange.m_strMethod;
    case CExchangeModel::colHost:
        return exchange.m_strHost;
    case CExchangeModel::colPath:
        return ExchangePath(exchange);
    case CExchangeModel::colType:
        return ExchangeMimeType(exchange);
    }
    return std::string_view();
}

// Eight bytes of a text from `from` on, as a number that sorts as the bytes do (0 past its end).
std::uint64_t PathPart(std::string_view text, std::size_t from)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i)
        value = value << 8 | (from + i < text.size() ? static_cast<unsigned char>(text[from + i]) : 0u);
    return value;
}

bool IsTextColumn(int column)
{
    return column == CExchangeModel::colMethod || column == CExchangeModel::colHost
           || column == CExchangeModel::colPath || column == CExchangeModel::colType;
}

} // namespace

CExchangeModel::CExchangeModel(QObject* parent)
    : QAbstractTableModel(parent)
{
    m_JobTimer.setSingleShot(true);
    m_JobTimer.setInterval(0);
    connect(&m_JobTimer, &QTimer::timeout, this, [this] {
        if (!RunFilterSlice(0))
            m_JobTimer.start();
    });
}

CExchangeModel::~CExchangeModel()
{
    ForgetStore();
}

void CExchangeModel::Watch(const CTraceStore& store)
{
    if (m_pStore == &store)
        return;
    ForgetStore();
    m_pStore = &store;
    // The rows hold their exchanges, so nothing dangles; but rows the store has let go of
    // leave the page too, at the next TakeNew.
    store.WatchRecordsFreed(this, [this] {
        m_pStore = nullptr;
        m_nLastId = 0;
    });
}

void CExchangeModel::ForgetStore()
{
    if (m_pStore)
        m_pStore->UnwatchRecordsFreed(this);
    m_pStore = nullptr;
}

int CExchangeModel::TakeNew(const CTraceStore& store)
{
    const CTraceStore::Exchanges& exchanges = store.GetExchanges();
    if (m_pStore != &store || m_nLastId == 0) {
        if (!m_All.empty()) {
            // A purge went by (or another store): keep the rows the store still holds. m_All
            // holds them all alive until it lets go, last.
            auto gone = [&store](const CExchange* e) { return store.FindExchange(e->m_nId) != e; };
            m_JobTimer.stop();
            m_Job = SJob();
            beginResetModel(); // nothing shown may point at what goes
            m_Visible.clear();
            endResetModel();
            std::erase_if(m_Waiting, gone);
            std::erase_if(m_Hidden, gone);
            std::erase_if(m_All, [&gone](const auto& held) { return gone(held.get()); });
            m_Keys.clear();
            m_OpenKeys.clear();
            for (const auto& held : m_All) {
                m_Keys.push_back(MakeKeys(*held));
                if (m_Keys.back().open)
                    m_OpenKeys.push_back(static_cast<std::uint32_t>(m_Keys.size() - 1));
            }
            m_nLastId = m_All.empty() ? 0 : m_All.back()->m_nId;
            StartFilter();
        }
        Watch(store);
    }
    // Exchanges are numbered in the order they were made: the new ones are at the end.
    auto from = std::upper_bound(exchanges.begin(), exchanges.end(), m_nLastId,
                                 [](std::uint64_t id, const auto& e) { return id < e->m_nId; });
    const int shownBefore = static_cast<int>(m_Visible.size());
    UpdateOpenKeys();
    if (from == exchanges.end()) {
        PlaceWaiting(); // some that were open may have ended
        return static_cast<int>(m_Visible.size()) - shownBefore;
    }
    const std::size_t count = static_cast<std::size_t>(exchanges.end() - from);
    if (m_All.capacity() < m_All.size() + count) // growth by halves, not by each tick's rows
        m_All.reserve(std::max(m_All.size() + count, m_All.capacity() * 3 / 2));
    const bool plain = m_Filter.IsEmpty() && m_SortState == SortState::None && !m_Job.active;
    if (plain)
        beginInsertRows(QModelIndex(), shownBefore, shownBefore + static_cast<int>(count) - 1);
    m_Keys.reserve(m_All.capacity());
    for (auto it = from; it != exchanges.end(); ++it) {
        m_All.push_back(*it);
        const CExchange* exchange = it->get();
        m_Keys.push_back(MakeKeys(*exchange));
        if (m_Keys.back().open)
            m_OpenKeys.push_back(static_cast<std::uint32_t>(m_All.size() - 1));
        if (plain)
            m_Visible.push_back(exchange);
        else
            m_Waiting.push_back(exchange);
    }
    if (plain)
        endInsertRows();
    m_nLastId = m_All.back()->m_nId;
    PlaceWaiting();
    return static_cast<int>(m_Visible.size()) - shownBefore;
}

void CExchangeModel::PlaceWaiting()
{
    if (m_Waiting.empty() || m_Job.active)
        return;
    // Many at once (a burst, a long run of the filter) are placed faster by a new pass.
    constexpr std::size_t kMaxPlacedOneByOne = 2000;
    if (m_Waiting.size() > kMaxPlacedOneByOne) {
        StartFilter();
        return;
    }
    std::vector<const CExchange*> still;
    for (const CExchange* exchange : m_Waiting) {
        if (!m_Filter.IsEmpty() && exchange->IsOpen())
            still.push_back(exchange); // the filter judges it once it has ended
        else if (Accepts(*exchange))
            InsertVisible(exchange);
    }
    m_Waiting.swap(still);
}

std::uint32_t CExchangeModel::Intern(std::vector<std::string>& texts, TextIds& ids, std::string_view text)
{
    if (const auto found = ids.find(text); found != ids.end())
        return found->second;
    const auto id = static_cast<std::uint32_t>(texts.size());
    ids.emplace(std::string(text), id);
    texts.emplace_back(text);
    return id;
}

SExchangeKeys CExchangeModel::MakeKeys(const CExchange& exchange)
{
    SExchangeKeys keys;
    keys.open = exchange.IsOpen();
    keys.size = static_cast<std::int64_t>(exchange.m_ResponseBody.total);
    keys.duration = ExchangeDurationUs(exchange);
    keys.started = exchange.m_Times.started;
    keys.status = static_cast<std::int16_t>(std::clamp(exchange.m_nStatus, -1, 32767));
    keys.host = Intern(m_Texts.hosts, m_HostIds, exchange.m_strHost);
    const std::string_view path = ExchangePath(exchange);
    keys.pathHigh = PathPart(path, 0);
    keys.pathLow = PathPart(path, 8);
    // Types and methods are few; a flood of made-up ones shares the last number.
    keys.type = static_cast<std::uint16_t>(std::min<std::uint32_t>(
        Intern(m_Texts.types, m_TypeIds, m_Texts.types.size() < 60000 ? ExchangeMimeType(exchange) : ""), 65535));
    keys.method = static_cast<std::uint16_t>(std::min<std::uint32_t>(
        Intern(m_Texts.methods, m_MethodIds, m_Texts.methods.size() < 60000 ? std::string_view(exchange.m_strMethod) : ""),
        65535));
    return keys;
}

void CExchangeModel::UpdateOpenKeys()
{
    std::erase_if(m_OpenKeys, [this](std::uint32_t index) {
        if (index >= m_All.size() || m_All[index]->IsOpen())
            return index >= m_All.size();
        m_Keys[index] = MakeKeys(*m_All[index]);
        return true;
    });
}

bool CExchangeModel::Accepts(const CExchange& exchange) const
{
    return !m_Hidden.count(&exchange) && m_Filter.Matches(exchange);
}

void CExchangeModel::InsertVisible(const CExchange* exchange)
{
    // In sort order (taken order without one); equal keys keep taken order.
    auto at = m_Visible.end();
    if (m_SortState != SortState::None)
        at = std::upper_bound(m_Visible.begin(), m_Visible.end(), exchange,
                              [this](const CExchange* a, const CExchange* b) { return Before(*a, *b); });
    const int row = static_cast<int>(at - m_Visible.begin());
    beginInsertRows(QModelIndex(), row, row);
    m_Visible.insert(at, exchange);
    endInsertRows();
}

bool CExchangeModel::Before(const CExchange& a, const CExchange& b) const
{
    const bool descending = m_SortState == SortState::Descending;
    const CExchange& x = descending ? b : a;
    const CExchange& y = descending ? a : b;
    if (IsTextColumn(m_nSortColumn)) {
        const int order = TextKey(x, m_nSortColumn).compare(TextKey(y, m_nSortColumn));
        return order != 0 ? order < 0 : a.m_nId < b.m_nId;
    }
    const std::int64_t kx = NumericKey(x, m_nSortColumn), ky = NumericKey(y, m_nSortColumn);
    return kx != ky ? kx < ky : a.m_nId < b.m_nId;
}

void CExchangeModel::Clear()
{
    m_JobTimer.stop();
    m_Job = SJob();
    beginResetModel();
    m_All.clear();
    m_All.shrink_to_fit();
    m_Keys.clear();
    m_Keys.shrink_to_fit();
    m_OpenKeys.clear();
    m_Texts = SExchangeTexts();
    m_HostIds.clear();
    m_TypeIds.clear();
    m_MethodIds.clear();
    m_Visible.clear();
    m_Visible.shrink_to_fit();
    m_Waiting.clear();
    m_Hidden.clear();
    endResetModel();
    // Taken again from the start: what the store keeps after its purge (the open ones).
    m_nLastId = 0;
}

void CExchangeModel::HideRows(const std::vector<int>& rows)
{
    for (int row : RowsLastFirst(rows, m_Visible.size())) {
        beginRemoveRows(QModelIndex(), row, row);
        m_Hidden.insert(m_Visible[static_cast<std::size_t>(row)]);
        m_Visible.erase(m_Visible.begin() + row);
        endRemoveRows();
    }
}

std::string CExchangeModel::SetFilter(const std::string& text)
{
    CExchangeFilter filter = CExchangeFilter::Parse(text);
    if (!filter.GetError().empty())
        return filter.GetError();
    m_Filter = std::move(filter);
    StartFilter();
    return std::string();
}

void CExchangeModel::Sort(int column, SortState state)
{
    m_nSortColumn = state == SortState::None || column < 0 || column >= kColumnCount ? -1 : column;
    m_SortState = m_nSortColumn < 0 ? SortState::None : state;
    StartFilter();
}

std::vector<std::uint32_t> CExchangeModel::SortedOrder() const
{
    if (m_SortState == SortState::None)
        return {};
    const bool descending = m_SortState == SortState::Descending;
    const std::size_t count = m_All.size();
    // Texts kept once each sort by their rank among themselves: the rows sort by numbers.
    std::vector<std::uint32_t> ranks;
    const std::vector<std::string>* texts = m_nSortColumn == colHost   ? &m_Texts.hosts
                                            : m_nSortColumn == colType ? &m_Texts.types
                                            : m_nSortColumn == colMethod ? &m_Texts.methods
                                                                         : nullptr;
    if (texts) {
        std::vector<std::uint32_t> byText(texts->size());
        std::iota(byText.begin(), byText.end(), 0u);
        std::sort(byText.begin(), byText.end(), [texts](std::uint32_t a, std::uint32_t b) { return (*texts)[a] < (*texts)[b]; });
        ranks.resize(texts->size());
        for (std::size_t i = 0; i < byText.size(); ++i)
            ranks[byText[i]] = static_cast<std::uint32_t>(i);
    } else if (m_nSortColumn == colPath) {
        return SortByPath();
    }
    std::vector<std::pair<std::int64_t, std::uint32_t>> keys(count);
    for (std::size_t i = 0; i < count; ++i) {
        const SExchangeKeys& k = m_Keys[i];
        std::int64_t key = 0;
        switch (m_nSortColumn) {
        case colId: key = static_cast<std::int64_t>(i); break; // numbered in the order taken
        case colStatus: key = k.status; break;
        case colSize: key = k.size; break;
        case colTime: key = k.duration; break;
        case colStarted: key = k.started; break;
        case colHost: key = ranks[k.host]; break;
        case colType: key = ranks[k.type]; break;
        case colMethod: key = ranks[k.method]; break;
        }
        keys[i] = {descending ? -key : key, static_cast<std::uint32_t>(i)};
    }
    std::sort(keys.begin(), keys.end()); // the index breaks ties: taken order
    std::vector<std::uint32_t> order;
    order.reserve(count);
    for (const auto& key : keys)
        order.push_back(key.second);
    return order;
}

std::vector<std::uint32_t> CExchangeModel::SortByPath() const
{
    const bool descending = m_SortState == SortState::Descending;
    // The first 16 bytes of each path as two numbers that sort as the bytes do; only rows that
    // share them read their paths again.
    struct SKey {
        std::uint64_t high, low;
        std::uint32_t index;
    };
    std::vector<SKey> keys(m_All.size());
    for (std::size_t i = 0; i < m_All.size(); ++i)
        keys[i] = {m_Keys[i].pathHigh, m_Keys[i].pathLow, static_cast<std::uint32_t>(i)};
    auto prefixLess = [descending](const SKey& a, const SKey& b) {
        if (a.high != b.high)
            return descending ? b.high < a.high : a.high < b.high;
        if (a.low != b.low)
            return descending ? b.low < a.low : a.low < b.low;
        return false;
    };
    std::sort(keys.begin(), keys.end(), [&](const SKey& a, const SKey& b) {
        return prefixLess(a, b) || (!prefixLess(b, a) && a.index < b.index);
    });
    // Runs that share their first 16 bytes: by the whole path, then taken order.
    for (std::size_t begin = 0; begin < keys.size();) {
        std::size_t end = begin + 1;
        while (end < keys.size() && keys[end].high == keys[begin].high && keys[end].low == keys[begin].low)
            ++end;
        if (end - begin > 1) {
            std::sort(keys.begin() + static_cast<std::ptrdiff_t>(begin), keys.begin() + static_cast<std::ptrdiff_t>(end),
                      [&](const SKey& a, const SKey& b) {
                          const int order = ExchangePath(*m_All[a.index]).compare(ExchangePath(*m_All[b.index]));
                          if (order != 0)
                              return descending ? order > 0 : order < 0;
                          return a.index < b.index;
                      });
        }
        begin = end;
    }
    std::vector<std::uint32_t> order;
    order.reserve(keys.size());
    for (const SKey& key : keys)
        order.push_back(key.index);
    return order;
}

void CExchangeModel::StartFilter()
{
    m_JobTimer.stop();
    m_Job = SJob();
    m_Job.active = true;
    UpdateOpenKeys();
    m_Filter.Prepare(m_Texts);
    m_Job.order = SortedOrder();
    m_Job.end = m_All.size(); // exchanges taken while it runs wait aside
    m_Waiting.clear();
    if (!RunFilterSlice(kFirstSliceRows))
        m_JobTimer.start();
}

void CExchangeModel::FinishFilter()
{
    if (!m_Job.active)
        return;
    m_JobTimer.stop();
    RunFilterSlice(SIZE_MAX);
}

bool CExchangeModel::RunFilterSlice(std::size_t minimumRows)
{
    QElapsedTimer clock;
    clock.start();
    const std::size_t total = m_Job.end;
    std::size_t done = 0;
    constexpr std::size_t kStep = 4096;
    const bool filtering = !m_Filter.IsEmpty();
    while (m_Job.next < total && (done < minimumRows || clock.nsecsElapsed() < kSliceNs)) {
        const std::size_t to = std::min(total, m_Job.next + kStep);
        for (std::size_t pos = m_Job.next; pos < to; ++pos) {
            const std::size_t index = m_Job.order.empty() ? pos : m_Job.order[pos];
            const CExchange* exchange = m_All[index].get();
            const SExchangeKeys& keys = m_Keys[index];
            if (filtering && keys.open)
                m_Waiting.push_back(exchange); // judged once it has ended
            else if ((m_Hidden.empty() || !m_Hidden.count(exchange)) && (!filtering || m_Filter.Matches(keys, *exchange)))
                m_Job.rows.push_back(exchange);
        }
        done += to - m_Job.next;
        m_Job.next = to;
    }
    if (m_Job.next < total)
        return false;
    beginResetModel();
    m_Visible = std::move(m_Job.rows);
    m_Job = SJob();
    endResetModel();
    PlaceWaiting();
    emit filterApplied();
    return true;
}

const CExchange* CExchangeModel::GetExchange(int row) const
{
    if (row < 0 || static_cast<std::size_t>(row) >= m_Visible.size())
        return nullptr;
    return m_Visible[static_cast<std::size_t>(row)];
}

int CExchangeModel::FindExchange(const CExchange* exchange) const
{
    const auto at = std::find(m_Visible.begin(), m_Visible.end(), exchange);
    return at == m_Visible.end() ? -1 : static_cast<int>(at - m_Visible.begin());
}

int CExchangeModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return static_cast<int>(std::min<std::size_t>(m_Visible.size(), INT_MAX));
}

int CExchangeModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant CExchangeModel::data(const QModelIndex& index, int role) const
{
    const CExchange* exchange = index.isValid() ? GetExchange(index.row()) : nullptr;
    if (!exchange)
        return QVariant();
    return CellData(*exchange, index.column(), role);
}

QVariant CExchangeModel::CellData(const CExchange& exchange, int column, int role)
{
    const bool tunnel = IsTunnelRow(exchange);
    if (role == Qt::TextAlignmentRole) {
        const bool number = column == colId || column == colStatus || column == colSize || column == colTime;
        return QVariant::fromValue((number ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
    }
    if (role == Qt::ToolTipRole && column == colPath)
        return FromBytes(exchange.Url());
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (column) {
    case colId:
        return QString::number(exchange.m_nId);
    case colMethod:
        return FromBytes(exchange.m_strMethod);
    case colHost:
        return FromBytes(exchange.Authority());
    case colPath:
        if (exchange.Has(kExchangeReplay)) // sent again from here: which one it repeats
            return FromBytes(std::string(ExchangePath(exchange)) + "  (replay of #"
                             + std::to_string(exchange.m_nReplayOf) + ")");
        return FromBytes(ExchangePath(exchange));
    case colStatus:
        if (tunnel)
            return QStringLiteral("tunnel");
        return exchange.m_nStatus > 0 ? QString::number(exchange.m_nStatus)
               : exchange.IsOpen()    ? QString()
                                      : FromBytes(ExchangeEndName(exchange.m_nEnd));
    case colType:
        return FromBytes(ExchangeMimeType(exchange));
    case colSize:
        // A tunnel's bytes both ways: what the browser sent, what came back.
        if (tunnel)
            return QStringLiteral("\u2191%1 \u2193%2")
                .arg(SizeText(exchange.m_RequestBody.total),
                     SizeText(exchange.m_ResponseBody.total));
        return SizeText(exchange.m_ResponseBody.total);
    case colTime: {
        const std::int64_t us = ExchangeDurationUs(exchange);
        return us < 0 ? QString() : QString::number(static_cast<double>(us) / 1000.0, 'f', 1);
    }
    case colStarted:
        return FromBytes(ExchangeStartedText(exchange));
    }
    return QVariant();
}

QVariant CExchangeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    return Heading(section);
}

bool CExchangeModel::IsTextColumn(int column) { return ::IsTextColumn(column); }

std::int64_t CExchangeModel::NumberKey(const CExchange& exchange, int column)
{
    return NumericKey(exchange, column);
}

std::string_view CExchangeModel::TextKey(const CExchange& exchange, int column)
{
    return ::TextKey(exchange, column);
}

QVariant CExchangeModel::Heading(int section)
{
    static const char* const kHeadings[kColumnCount] = {"#",    "Method",    "Host",    "Path",   "Status",
                                                        "Type", "Size",      "Time (ms)", "Started"};
    return section >= 0 && section < kColumnCount ? QString::fromLatin1(kHeadings[section]) : QVariant();
}
