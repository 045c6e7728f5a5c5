// The program's start-up and run, shared by the tarlume executable and by programs built around it
// (a test build that inspects the running program once per frame): the quit signals, the main view,
// the frame loop until quit, the shut-down.
#pragma once

#include <functional>

// Runs the application; its exit status. `everyFrame`, when given, is called on the main thread
// after each frame is drawn and the skin's requests are served.
int runApplication(std::function<void()> everyFrame = nullptr);
