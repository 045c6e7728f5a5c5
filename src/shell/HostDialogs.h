// The dialogs the skin asks the shell for: the Yes/No alert, the input box and the save dialog.
// Each answers later through its callback, on the main thread, from pump() in the frame loop; a
// cancelled dialog (Cancel, No, Escape, closed, or no display to show it on) calls nothing.
// A new request of the same kind replaces an open one, which counts as cancelled.
#pragma once

#include <functional>
#include <memory>
#include <string>

typedef struct _GtkWindow GtkWindow;

class HostDialogs {
public:
    using Answer = std::function<void(const std::string&)>;
    virtual ~HostDialogs() = default;

    // Title "tarlume", the prompt as its message, "Yes" (Return) and "No" (Escape). Answers "Yes".
    virtual void askYesNo(const std::string& prompt, Answer onYes) = 0;
    // A text field holding `defaultText`; OK (Return) answers its text.
    virtual void askText(const std::string& prompt, const std::string& defaultText, Answer onOk) = 0;
    // A save-file chooser in `folder` proposing `defaultName`; it asks before replacing a file.
    // Answers the chosen path.
    virtual void askSavePath(const std::string& prompt, const std::string& folder, const std::string& defaultName,
                             Answer onSave) = 0;
    // Handles the dialogs' pending events without waiting. Main thread, once per frame.
    virtual void pump() = 0;
    // Returns once the window system has done what was asked of it before (a window hidden is gone), so that
    // the program's other connections to it see the outcome.
    virtual void sync() = 0;
    // Any dialog is open.
    virtual bool busy() const = 0;
};

// GTK 3 dialogs when a display can be opened; otherwise dialogs that answer every request as
// cancelled, printing once why and a line naming each request dropped.
std::unique_ptr<HostDialogs> makeHostDialogs();

// Shows a window of the program's GTK windows (a dialog, the preferences window) in front and gives it the keyboard
// at the X server's time now. GTK's own time is the last key or click it saw, which the X server ignores once the
// keyboard changed hands after it (the main window takes it back with the server's time when a window goes).
void presentHostWindow(GtkWindow* window);
