#pragma once
#include <functional>
#include <string>

// Every message the program shows to its user goes through ShowMessageBox: caption "Kestrune",
// a warning icon and a single OK button. The window installs a handler that shows a real box;
// headless runs print to stderr; tests install a handler that records the texts.
using MessageHandler = std::function<void(const std::string& text)>;

void ShowMessageBox(const std::string& text);

// Installs a handler and returns the previous one (an empty handler restores the stderr default).
MessageHandler SetMessageHandler(MessageHandler handler);

inline constexpr const char* kMessageCaption = "Kestrune";
