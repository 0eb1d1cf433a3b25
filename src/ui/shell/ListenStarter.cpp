#include "ui/shell/ListenStarter.h"

#include "app/TraceApp.h"

#include <utility>

namespace {
ListenStarter& CurrentStarter()
{
    static ListenStarter starter;
    return starter;
}
}

bool StartListeningFromWindow(CTraceApp& app)
{
    if (const ListenStarter& starter = CurrentStarter())
        return starter(app);
    return app.StartListening();
}

ListenStarter SetListenStarter(ListenStarter starter)
{
    return std::exchange(CurrentStarter(), std::move(starter));
}
