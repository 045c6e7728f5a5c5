// The desktop application on SDL2: the main window with its OpenGL compatibility context, the
// frame loop, the pop-up list window, the dialogs and the in-window drag of list rows. All of it
// runs on the main thread; everything the skin and engine do is reached through the host bridge.
#pragma once

#include "shell/EventForwarder.h"
#include "shell/HostDialogs.h"
#include "shell/PreferencesWindow.h"
#include "shell/ShellEvents.h"
#include "shell/ViewBuffer.h"

#include <SDL2/SDL.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

class MyListBoxGLView;

class MyOpenGLView {
public:
    // The window's size before the skin gives its own.
    static constexpr int startWidth = 1280, startHeight = 500;

    MyOpenGLView();
    ~MyOpenGLView();
    MyOpenGLView(const MyOpenGLView&) = delete;
    MyOpenGLView& operator=(const MyOpenGLView&) = delete;

    // Opens SDL's video, the window and its GL context, and the dialogs. False, with a line on
    // standard error, when no window can be made.
    bool open();
    // Runs frames until a quit (the skin's, the window's close button, Ctrl+Q, a signal), then
    // shuts the engine down: the pop-up first, then destroyStuff with the context current.
    void run();
    // Asks the loop to end at its next wake-up. Any thread, and signal handlers.
    static void requestQuit();
    // Called after every frame (drawn, requests served) while the loop runs.
    void setFrameHook(std::function<void()> hook) { frameHook_ = std::move(hook); }

    // One frame: draw, then serve the skin's requests.
    void singleStep();
    // Draws the skin and sizes the window to it.
    void drawRect();
    void changeSize(int width, int height, int moveTop, int moveLeft);
    // Starts dragging a list row's file inside the window from (x, y) in skin coordinates.
    void startFileDrag(const std::string& path, float x, float y);

    SDL_Window* window() const { return window_; }
    SDL_GLContext context() const { return context_; }
    int frames() const { return frames_; }

private:
    void showPopup(float x, float y, float w, float h);
    void hidePopup();
    // Opens the preferences window (made at the first call).
    void showPreferences();
    // A dialog or the preferences window shows.
    bool hostWindowOpen() const;
    void serveRequests();
    void shutdown();
    shell::Rect usableArea() const;
    shell::Rect frame() const;

    SDL_Window* window_ = nullptr;
    SDL_GLContext context_ = nullptr;
    std::unique_ptr<MyListBoxGLView> popup_;
    std::unique_ptr<HostDialogs> dialogs_;
    std::unique_ptr<PreferencesAccessors> preferencesAccess_;
    unsigned midiChangesSeen_ = 0; // the MIDI devices' changes the preferences' controllers table follows
    std::unique_ptr<PreferencesWindow> preferences_; // goes before the engine: its controls reach it
    HostBridgeCalls bridge_;
    EventForwarder forwarder_{bridge_};
    shell::FramePacer pacer_{shell::steadyClockMs};
    std::function<void()> frameHook_;
    bool inited_ = false;
    bool resizing_ = false;
    bool firstResizeFinished_ = false;
    bool quitting_ = false;
    int frames_ = 0;
    // The frame is kept between ticks; the window shows all of it again after it was covered or resized.
    ViewBuffer buffer_;
    bool showAll_ = true;
    // MIDI input wakes the loop through an event of its own, so a controller is served at once.
    Uint32 inputEvent_ = Uint32(-1);
    std::atomic<bool> inputEventPending_{false};
    std::unique_ptr<shell::DescriptorWatcher> inputWatcher_;
    static std::atomic<bool> quitSignal_;
};

// The pop-up list window: borderless, above the main window, drawn at 20 Hz through the main
// context (so the skin's textures are there), destroyed when hidden.
class MyListBoxGLView {
public:
    MyListBoxGLView(SDL_GLContext context, const shell::Rect& frame);
    ~MyListBoxGLView();
    MyListBoxGLView(const MyListBoxGLView&) = delete;
    MyListBoxGLView& operator=(const MyListBoxGLView&) = delete;

    bool isOpen() const { return window_ != nullptr; }
    SDL_Window* window() const { return window_; }
    Uint32 windowId() const { return window_ ? SDL_GetWindowID(window_) : 0; }
    int height() const { return frame_.h; }
    void setFrame(const shell::Rect& frame);
    void drawRect();

private:
    SDL_Window* window_ = nullptr;
    SDL_GLContext context_ = nullptr; // the main view's
    shell::Rect frame_;
};
