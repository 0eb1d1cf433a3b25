#pragma once

// What a trace entry knows of the server-side connection that feeds it: a non-owning back
// pointer that the entry clears when the store drops it while the connection still lives.
// CHost implements it.
class CTraceHostLink {
public:
    virtual void ClearTraceEntry() = 0;

protected:
    ~CTraceHostLink() = default;
};
