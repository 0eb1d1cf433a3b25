#pragma once
#include <cstddef>
#include <memory>
#include <vector>

class CProxy;
class QTimer;

// The live browser connections of the run. It owns every CProxy, and through it its CHosts,
// from the accept until the pair has torn itself down. A pair that has closed its sockets is
// handed back with Release and freed later: never inside the handler that ended it, where its
// own or its partner's code is still on the stack. It goes at the next accept or release (of
// another pair, whose handler is then the one running), or after kFreeDelayMs at the latest; a
// zero timer would cost a turn of the event loop for every closed connection.
class CConnectionRegistry {
public:
    static constexpr int kFreeDelayMs = 100;

    CConnectionRegistry();
    ~CConnectionRegistry(); // frees what is left (DestroyAll has run by then)

    CConnectionRegistry(const CConnectionRegistry&) = delete;
    CConnectionRegistry& operator=(const CConnectionRegistry&) = delete;

    CProxy& Adopt(std::unique_ptr<CProxy> proxy);
    // The pair is closed and gets no more events: it is freed once the event loop is back.
    void Release(CProxy* proxy);
    // Connections not yet freed (released ones count until they are).
    std::size_t LiveCount() const { return m_Live.size() + m_Released.size(); }
    // Connections not yet released: those that may still get events.
    std::size_t OpenCount() const { return m_Live.size(); }
    // The end of the run: every pair is torn down and freed now.
    void DestroyAll();

private:
    void FreeReleased();

    // Each pair knows its place here (CProxy's registry index): no lookup, no node per pair.
    std::vector<std::unique_ptr<CProxy>> m_Live;
    std::vector<std::unique_ptr<CProxy>> m_Released;
    std::vector<std::unique_ptr<CProxy>> m_Freeing; // empty but while FreeReleased runs
    std::unique_ptr<QTimer> m_pFree; // frees the released pairs when no accept or release does
};
