#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

// What the trace holds in memory (record texts, exchange heads and bodies, decoded text), counted
// against a limit the user sets. Records hold a Share that follows their texts' size and is given
// back when they are freed, on whatever thread frees them (the headless save frees records on a
// thread of its own); the store adds what its finished exchanges hold.
class CMemoryBudget {
public:
    static constexpr std::uint64_t kDefaultLimit = 1ull << 30;

    explicit CMemoryBudget(std::uint64_t limit = kDefaultLimit)
        : m_nLimit(limit)
    {
    }

    std::uint64_t Limit() const { return m_nLimit.load(std::memory_order_relaxed); }
    void SetLimit(std::uint64_t limit) { m_nLimit.store(limit, std::memory_order_relaxed); }
    std::uint64_t Held() const { return m_nHeld.load(std::memory_order_relaxed); }
    bool IsOver() const { return Held() > Limit(); }
    void Add(std::uint64_t bytes) { m_nHeld.fetch_add(bytes, std::memory_order_relaxed); }
    void Remove(std::uint64_t bytes) { m_nHeld.fetch_sub(bytes, std::memory_order_relaxed); }

    // Bytes one holder holds; move-only, given back when destroyed or released.
    class Share {
    public:
        Share() = default;
        Share(std::shared_ptr<CMemoryBudget> budget, std::uint64_t bytes);
        ~Share() { Release(); }
        Share(Share&& other) noexcept;
        Share& operator=(Share&& other) noexcept;
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

        // The holder now holds this many bytes (nothing without a budget).
        void Resize(std::uint64_t bytes);
        void Release();

    private:
        std::shared_ptr<CMemoryBudget> m_pBudget;
        std::uint64_t m_nBytes = 0;
    };

private:
    std::atomic<std::uint64_t> m_nLimit;
    std::atomic<std::uint64_t> m_nHeld{0};
};
