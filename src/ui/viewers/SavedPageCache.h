#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

// The rows of a saved capture that a view read last, a page of kPageRows at a time: a view asks
// for the few rows it shows, however many the file holds. At most maxPages are kept; the page
// used longest ago goes first. Items are shared, so one handed out outlives its page.
template <typename T> class CSavedPageCache {
public:
    static constexpr std::size_t kPageRows = 256;

    explicit CSavedPageCache(std::size_t maxPages)
        : m_nMaxPages(std::max<std::size_t>(maxPages, 1))
    {
    }

    // The item of row (of rowCount), its page read with load(first, count, items) when it is
    // not kept. Null when the load gave nothing for it.
    template <typename Load>
    std::shared_ptr<const T> Get(std::size_t row, std::size_t rowCount, Load&& load)
    {
        if (row >= rowCount)
            return nullptr;
        const std::size_t number = row / kPageRows;
        auto found = m_Pages.find(number);
        if (found == m_Pages.end()) {
            if (m_Pages.size() >= m_nMaxPages)
                m_Pages.erase(std::min_element(
                    m_Pages.begin(), m_Pages.end(),
                    [](const auto& a, const auto& b) { return a.second.used < b.second.used; }));
            SPage page;
            const std::size_t first = number * kPageRows;
            load(first, std::min(kPageRows, rowCount - first), page.items);
            found = m_Pages.emplace(number, std::move(page)).first;
        }
        found->second.used = ++m_nClock;
        const std::size_t at = row % kPageRows;
        return at < found->second.items.size() ? found->second.items[at] : nullptr;
    }

    void Clear() { m_Pages.clear(); }
    // Forgets the pages from the one holding row on: rows there changed (or were added).
    void ForgetFrom(std::size_t row)
    {
        std::erase_if(m_Pages,
                      [row](const auto& page) { return (page.first + 1) * kPageRows > row; });
    }
    std::size_t GetPageCount() const { return m_Pages.size(); }

private:
    struct SPage {
        std::vector<std::shared_ptr<const T>> items;
        std::uint64_t used = 0;
    };
    std::unordered_map<std::size_t, SPage> m_Pages;
    std::uint64_t m_nClock = 0;
    std::size_t m_nMaxPages;
};
