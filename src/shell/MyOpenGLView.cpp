#include "shell/MyOpenGLView.h"

#include "controllers/ControllerHub.h"
#include "platform/AppPaths.h"
#include "platform/GL.h"
#include "platform/GLRetainedFrame.h"
#include "shell/HostBridge.h"
#include "shell/PointerQuery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

using namespace shell;

std::atomic<bool> MyOpenGLView::quitSignal_{false};

namespace {

MyOpenGLView* activeView = nullptr;

// After these the window may no longer show what was drawn into it (covered, unmapped, resized).
bool mayLoseContent(Uint8 windowEvent) {
    switch (windowEvent) {
    case SDL_WINDOWEVENT_SHOWN:
    case SDL_WINDOWEVENT_EXPOSED:
    case SDL_WINDOWEVENT_RESIZED:
    case SDL_WINDOWEVENT_SIZE_CHANGED:
    case SDL_WINDOWEVENT_MAXIMIZED:
    case SDL_WINDOWEVENT_RESTORED:
        return true;
    default:
        return false;
    }
}

} // namespace

void viewStartFileDrag(void* view, const char* path, float x, float y) {
    // The bridge hands back the view it was given; only the live one takes drags.
    if (view && view == activeView && path) activeView->startFileDrag(path, x, y);
}

// ---- The real bridge behind the event forwarder -------------------------------------------------

void HostBridgeCalls::mouseClick(float x, float y, bool released, int button) {
    doMouseClick(x, y, released, button, nullptr);
}
void HostBridgeCalls::mouseMove(float x, float y, int button) {
    doMouseMove(x, y, true, button);
}
void HostBridgeCalls::scrollWheel(float x, float y, float deltaX, float deltaY) {
    doScrollWheel(x, y, deltaX, deltaY);
}
void HostBridgeCalls::keyPress(int keyCode, const std::string& characters, bool released) {
    doKeyPress(keyCode, characters.c_str(), released);
}
void HostBridgeCalls::dropFile(const std::string& path, float x, float y) {
    loadSong(path.c_str(), x, y);
}
void HostBridgeCalls::popupClick(float x, float y, bool released, int button) {
    myLBdoMouseClick(x, y, released, button, nullptr);
}
void HostBridgeCalls::popupMove(float x, float y, int button) {
    myLBdoMouseMove(x, y, true, button);
}

// ---- MyOpenGLView -------------------------------------------------------------------------------

MyOpenGLView::MyOpenGLView() = default;

MyOpenGLView::~MyOpenGLView() {
    if (!quitting_ && window_) shutdown();
    if (activeView == this) activeView = nullptr;
}

void MyOpenGLView::requestQuit() {
    quitSignal_ = true;
}

bool MyOpenGLView::open() {
    // The program handles SIGINT, SIGTERM and SIGHUP itself (main.cpp), so all three end the same way.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // A click into the inactive window acts at once.
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        fprintf(stderr, "tarlume: no window can be opened: %s\n", SDL_GetError());
        return false;
    }
    const char* driver = SDL_GetCurrentVideoDriver();
    if (driver && (strcmp(driver, "offscreen") == 0 || strcmp(driver, "dummy") == 0))
        fprintf(stderr, "tarlume: no display found: the window is drawn off screen (SDL's %s video driver)\n", driver);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 2);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 1);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 16);
    Rect usable = usableArea();
    int h = usable.h > 0 ? std::min(startHeight, usable.h) : startHeight;
    int x = usable.x + (usable.w - startWidth) / 2;
    window_ = SDL_CreateWindow("tarlume", x, usable.y, startWidth, h,
                               SDL_WINDOW_OPENGL | SDL_WINDOW_BORDERLESS | SDL_WINDOW_HIDDEN);
    if (!window_) {
        fprintf(stderr, "tarlume: no window can be opened: %s\n", SDL_GetError());
        SDL_Quit();
        return false;
    }
    context_ = SDL_GL_CreateContext(window_);
    if (!context_) {
        fprintf(stderr, "tarlume: no OpenGL context: %s\n", SDL_GetError());
        SDL_DestroyWindow(window_);
        window_ = nullptr;
        SDL_Quit();
        return false;
    }
    SDL_GL_MakeCurrent(window_, context_);
    glContextAcquired();
    SDL_GL_SetSwapInterval(1); // no vertical refresh under Xvfb: the loop paces itself anyway
    glSetUpDrawingState();
    activeView = this;
    forwarder_.setMainWindow(SDL_GetWindowID(window_), float(h));
    forwarder_.setMainSize(float(startWidth), float(h));
    forwarder_.pointerInWindow = [this](float* px, float* py) { shell::pointerInWindow(window_, px, py); };
    dialogs_ = makeHostDialogs();
    SDL_ShowWindow(window_);
    SDL_RaiseWindow(window_);
    SDL_SetWindowInputFocus(window_);
    SDL_EventState(SDL_DROPFILE, SDL_ENABLE);
    SDL_EventState(SDL_DROPBEGIN, SDL_ENABLE);
    SDL_EventState(SDL_DROPCOMPLETE, SDL_ENABLE);
    inputEvent_ = SDL_RegisterEvents(1);
    if (inputEvent_ != Uint32(-1))
        inputWatcher_ = std::make_unique<shell::DescriptorWatcher>(controllerInputWakeFd(), [this] {
            if (inputEventPending_.exchange(true)) return;
            SDL_Event wake{};
            wake.type = inputEvent_;
            SDL_PushEvent(&wake);
        });
    return true;
}

Rect MyOpenGLView::usableArea() const {
    SDL_Rect r{0, 0, 0, 0};
    int display = window_ ? SDL_GetWindowDisplayIndex(window_) : 0;
    if (SDL_GetDisplayUsableBounds(display < 0 ? 0 : display, &r) != 0) SDL_GetDisplayBounds(0, &r);
    return Rect{r.x, r.y, r.w, r.h};
}

Rect MyOpenGLView::frame() const {
    Rect r;
    SDL_GetWindowPosition(window_, &r.x, &r.y);
    SDL_GetWindowSize(window_, &r.w, &r.h);
    return r;
}

void MyOpenGLView::run() {
    SDL_Event e;
    while (!quitting_) {
        if (quitSignal_) break;
        if (SDL_WaitEventTimeout(&e, pacer_.waitMs())) {
            do {
                if (e.type == SDL_QUIT || (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_CLOSE &&
                                           e.window.windowID == SDL_GetWindowID(window_))) {
                    quitSignal_ = true;
                } else if (inputEvent_ != Uint32(-1) && e.type == inputEvent_) {
                    inputEventPending_ = false;
                    drainControllerInput();
                } else {
                    // A press in the window takes the keyboard when nobody holds it: with no window manager
                    // nobody else gives it.
                    if (e.type == SDL_MOUSEBUTTONDOWN && e.button.windowID == SDL_GetWindowID(window_))
                        takeKeyboard(window_);
                    if (e.type == SDL_WINDOWEVENT && e.window.windowID == SDL_GetWindowID(window_) &&
                        mayLoseContent(e.window.event))
                        showAll_ = true;
                    forwarder_.handle(e);
                }
                if (e.type == SDL_DROPFILE && e.drop.file) SDL_free(e.drop.file);
            } while (SDL_PollEvent(&e));
            forwarder_.flush();
        }
        if (forwarder_.takeQuit()) break;
        if (forwarder_.takePreferences()) showPreferences();
        if (forwarder_.takeClosePopup()) hidePopup();
        if (quitSignal_) break;
        const bool hostWindowWasOpen = hostWindowOpen();
        dialogs_->pump();
        // GTK's windows take the keyboard when shown and, with no window manager, leave it on the root when they
        // go: the main window takes it back once the window system has seen them go.
        if (hostWindowWasOpen && !hostWindowOpen()) {
            dialogs_->sync();
            takeKeyboard(window_);
        }
        if (pacer_.mainDue()) {
            singleStep();
            if (frameHook_ && !quitting_) frameHook_();
        }
        if (!quitting_ && popup_ && pacer_.popupDue()) {
            popup_->drawRect();
            SDL_GL_MakeCurrent(window_, context_);
        }
    }
    shutdown();
}

void MyOpenGLView::singleStep() {
    drawRect();
    serveRequests();
}

void MyOpenGLView::serveRequests() {
    float x = 0, y = 0, w = 0, h = 0;
    if (needsToShowPopupMenu(&x, &y, &w, &h)) showPopup(x, y, w, h);
    if (needsToHidePopupMenu()) hidePopup();
    std::string defaultText, prompt;
    int kind = 0;
    if (needsToShowInputBox(&defaultText, &prompt, &kind)) {
        auto answer = [](const std::string& text) { handleInputBox(text.c_str()); };
        if (kind == 1)
            dialogs_->askYesNo(prompt, answer);
        else
            dialogs_->askText(prompt, defaultText, answer);
    }
    if (needsToShowFileDialog(&prompt, &defaultText)) {
        dialogs_->askSavePath(prompt, AppPaths::homeFolder(), defaultText,
                              [](const std::string& path) { handleInputBox(path.c_str()); });
    }
    if (needsToShowPreferences()) showPreferences();
    const unsigned midiChanges = midiDeviceChanges();
    if (std::exchange(midiChangesSeen_, midiChanges) != midiChanges && preferences_) preferences_->controllersChanged();
    if (quitPending()) {
        hidePopup(); // the pop-up goes before the skin it draws
        preferences_.reset();
        SDL_GL_MakeCurrent(window_, context_);
        if (needsToQuit()) quitting_ = true;
    }
}

void MyOpenGLView::drawRect() {
    SDL_GL_MakeCurrent(window_, context_);
    int w = 0, h = 0;
    SDL_GL_GetDrawableSize(window_, &w, &h);
    // The frame is drawn into the view's own buffer, where only what changed since the last tick is
    // drawn again; without one, into the back buffer, whole.
    GLRetainedFrame& frame = GLRetainedFrame::screen();
    bool retained = buffer_.bind(w, h);
    frame.setRetained(retained);
    if (buffer_.lost()) frame.invalidate();
    if (!retained) {
        glClearColor(0, 0, 0, 0);
        glClearDepth(1.0);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    }
    if (!inited_) {
        SDL_GL_SetSwapInterval(1);
        inited_ = true;
    }
    glSetUpPixelProjection(w, h);
    forwarder_.setMainSize(float(w), float(h));
    setDragGhost(forwarder_.ghostVisible() ? forwarder_.dragPath().c_str() : nullptr, forwarder_.dragX(),
                 forwarder_.dragY());
    float dx = 0, dy = 0;
    drawTLM(float(w), float(h), this, &dx, &dy);
    if (retained) {
        buffer_.unbind();
        // A tick where nothing changed shows nothing: the window keeps what it shows.
        if (showAll_ || !frame.damage().empty()) buffer_.present(window_, frame.damage(), showAll_);
        showAll_ = false;
    } else {
        glFlush();
        SDL_GL_SwapWindow(window_);
    }
    glDeletePendingTextures();
    ++frames_;

    float newWidth = getBoundWidth(), newHeight = getBoundHeight();
    if (newWidth < 1 || newHeight < 1) return; // no skin to size to
    Rect usable = usableArea();
    if (usable.h > 0 && usable.h < newHeight) {
        reducePlaylist(0, newHeight - float(usable.h), newWidth, newHeight);
        newHeight = float(usable.h);
    }
    if (usable.w > 0 && usable.w < newWidth) {
        reducePlaylist(newWidth - float(usable.w), 0, newWidth, newHeight);
        newWidth = float(usable.w);
    }
    changeSize(int(newWidth), int(newHeight), int(dy), int(dx));
}

void MyOpenGLView::changeSize(int width, int height, int moveTop, int moveLeft) {
    if (resizing_ || width < 1 || height < 1) return;
    resizing_ = true;
    Rect current = frame();
    Rect usable = usableArea();
    int H = usable.h > 0 ? std::min(height, usable.h) : height;
    if (current.w != width || current.h != H || moveTop != 0 || moveLeft != 0 || !firstResizeFinished_) {
        bool first = !firstResizeFinished_;
        Rect r = placeMainWindow(current, usable, width, height, moveLeft, moveTop, first);
        firstResizeFinished_ = true;
        if (r.w != current.w || r.h != current.h) SDL_SetWindowSize(window_, r.w, r.h);
        if (r.x != current.x || r.y != current.y) SDL_SetWindowPosition(window_, r.x, r.y);
        int dw = 0, dh = 0;
        SDL_GL_GetDrawableSize(window_, &dw, &dh);
        forwarder_.setMainSize(float(dw), float(dh));
    }
    resizing_ = false;
}

void MyOpenGLView::startFileDrag(const std::string& path, float x, float y) {
    forwarder_.startDrag(path, x, y);
}

bool MyOpenGLView::hostWindowOpen() const {
    return dialogs_->busy() || (preferences_ && preferences_->isOpen());
}

void MyOpenGLView::showPreferences() {
    if (!preferences_) {
        preferencesAccess_ = makeBridgePreferences();
        preferences_ = std::make_unique<PreferencesWindow>(*preferencesAccess_, setCurDir() + "support/preferences.ui");
    }
    preferences_->open();
}

void MyOpenGLView::showPopup(float x, float y, float w, float h) {
    // A menu without rows has nothing to show.
    if (!(w >= 1 && h >= 1)) {
        hidePopup();
        return;
    }
    Rect r = placePopup(frame(), usableArea(), x, y, w, h);
    if (popup_ && popup_->isOpen()) {
        popup_->setFrame(r);
    } else {
        popup_ = std::make_unique<MyListBoxGLView>(context_, r);
        if (!popup_->isOpen()) {
            popup_.reset();
            SDL_GL_MakeCurrent(window_, context_);
            return;
        }
    }
    forwarder_.setPopupWindow(popup_->windowId(), float(popup_->height()));
    pacer_.setPopupOpen(true);
    SDL_GL_MakeCurrent(window_, context_);
}

void MyOpenGLView::hidePopup() {
    if (!popup_) return;
    // A release on its way to the pop-up is read while its window is there: SDL drops the events of a window
    // that is gone, and would then hold the button down and ignore the next press in the main window. A choice
    // that reopens the sound devices takes long enough for the release to come meanwhile.
    SDL_PumpEvents();
    // With no window manager SDL gives the keyboard to the window it shows, and the X server gives it to nobody
    // when that window goes: no key, Ctrl+Q neither, would reach the program. The main window takes back what
    // its own pop-up held, before the pop-up goes, so no key falls between them; a keyboard held elsewhere stays.
    takeKeyboard(window_, popup_->window());
    popup_.reset();
    forwarder_.setPopupWindow(0, 0);
    pacer_.setPopupOpen(false);
    if (window_) SDL_GL_MakeCurrent(window_, context_);
}

void MyOpenGLView::shutdown() {
    if (!window_) return;
    quitting_ = true;
    inputWatcher_.reset();
    hidePopup();
    preferences_.reset(); // its controls would start a new engine
    SDL_GL_MakeCurrent(window_, context_);
    destroyStuff(); // settings written; the skin's textures go while the context is current
    dialogs_.reset();
    buffer_.release();
    glContextReleased();
    SDL_GL_DeleteContext(context_);
    context_ = nullptr;
    SDL_DestroyWindow(window_);
    window_ = nullptr;
    activeView = nullptr;
    SDL_Quit();
}

// ---- MyListBoxGLView ----------------------------------------------------------------------------

MyListBoxGLView::MyListBoxGLView(SDL_GLContext context, const Rect& frame) : context_(context), frame_(frame) {
    window_ =
        SDL_CreateWindow("tarlume", frame.x, frame.y, frame.w, frame.h,
                         SDL_WINDOW_OPENGL | SDL_WINDOW_BORDERLESS | SDL_WINDOW_POPUP_MENU | SDL_WINDOW_SKIP_TASKBAR);
    if (!window_) fprintf(stderr, "tarlume: the pop-up list can't be opened: %s\n", SDL_GetError());
}

MyListBoxGLView::~MyListBoxGLView() {
    if (window_) SDL_DestroyWindow(window_);
}

void MyListBoxGLView::setFrame(const Rect& frame) {
    frame_ = frame;
    if (!window_) return;
    SDL_SetWindowSize(window_, frame.w, frame.h);
    SDL_SetWindowPosition(window_, frame.x, frame.y);
    SDL_ShowWindow(window_);
    SDL_RaiseWindow(window_);
}

void MyListBoxGLView::drawRect() {
    if (!window_ || SDL_GL_MakeCurrent(window_, context_) != 0) return;
    int w = 0, h = 0;
    SDL_GL_GetDrawableSize(window_, &w, &h);
    glClearColor(0.5f, 0.5f, 0.5f, 0);
    glClearDepth(1.0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glSetUpPixelProjection(w, h);
    myLBDraw(float(w), float(h));
    glFlush();
    SDL_GL_SwapWindow(window_);
}
