#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

// The decoded body text all records of a store hold together is bounded: a record that holds
// some holds a Share of this budget, given back when the record lets go of the text or is
// freed, on whatever thread frees it (the headless save frees records on a thread of its own).
class CDecodedTextBudget {
public:
    // Small: a viewer decodes a body again from its exchange; records keep the latest texts.
    static constexpr std::uint64_t kDefaultLimit = 4 * 1024 * 1024;

    explicit CDecodedTextBudget(std::uint64_t limit = kDefaultLimit)
        : m_nLimit(limit)
    {
    }

    // Decoded bytes that may still be taken (none once the shares reach the limit).
    std::uint64_t Available() const;
    std::uint64_t Held() const { return m_nHeld.load(std::memory_order_relaxed); }
    std::uint64_t Limit() const { return m_nLimit; }

    // Bytes one record holds; move-only, given back when destroyed or released.
    class Share {
    public:
        Share() = default;
        // Takes bytes from budget (a share may take a little past the limit: its notes).
        Share(std::shared_ptr<CDecodedTextBudget> budget, std::uint64_t bytes);
        ~Share() { Release(); }
        Share(Share&& other) noexcept;
        Share& operator=(Share&& other) noexcept;
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

        void Release();
        bool Holds() const { return m_nBytes != 0; }

    private:
        std::shared_ptr<CDecodedTextBudget> m_pBudget;
        std::uint64_t m_nBytes = 0;
    };

private:
    const std::uint64_t m_nLimit;
    std::atomic<std::uint64_t> m_nHeld{0};
};
