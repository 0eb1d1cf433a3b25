#include "platform/MessageBox.h"

#include <cstdio>
#include <utility>

namespace {
MessageHandler& CurrentHandler()
{
    static MessageHandler handler;
    return handler;
}
}

void ShowMessageBox(const std::string& text)
{
    if (const MessageHandler& handler = CurrentHandler())
        handler(text);
    else
        std::fprintf(stderr, "%s: %s\n", kMessageCaption, text.c_str());
}

MessageHandler SetMessageHandler(MessageHandler handler)
{
    return std::exchange(CurrentHandler(), std::move(handler));
}
