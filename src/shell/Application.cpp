#include "shell/Application.h"

#include "shell/MyOpenGLView.h"

#include <csignal>

namespace {

extern "C" void onQuitSignal(int) {
    // Only an atomic flag here; the frame loop shuts the engine down (settings written).
    MyOpenGLView::requestQuit();
}

void installQuitSignals() {
    struct sigaction sa {};
    sa.sa_handler = onQuitSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

} // namespace

int runApplication(std::function<void()> everyFrame) {
    installQuitSignals();
    MyOpenGLView view;
    if (!view.open()) return 1;
    view.setFrameHook(std::move(everyFrame));
    view.run();
    return 0;
}
