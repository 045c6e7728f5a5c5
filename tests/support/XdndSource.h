// Drops a file on an X window as a file manager does (the XDND protocol, version 5, offering
// text/uri-list), so tests reach a program's real drop handling. xdotool has no drag source.
#pragma once

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

// Drops `paths` on `target` (an X window id) at the root position (x, y); true when the target
// took the data and finished the drop within the time. As during a real drag, the source holds the
// pointer: it moves there without the target seeing any motion.
inline bool xdndDrop(unsigned long target, int x, int y, const std::vector<std::string>& paths, int timeoutMs = 5000) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return false;
    Window root = DefaultRootWindow(d);
    Window source = XCreateSimpleWindow(d, root, 0, 0, 1, 1, 0, 0, 0);
    XGrabPointer(d, root, False, PointerMotionMask | ButtonReleaseMask, GrabModeAsync, GrabModeAsync, 0, 0,
                 CurrentTime);
    XWarpPointer(d, 0, root, 0, 0, 0, 0, x, y);
    XFlush(d);
    auto atom = [d](const char* name) { return XInternAtom(d, name, False); };
    Atom aware = atom("XdndAware"), enter = atom("XdndEnter"), position = atom("XdndPosition"),
         status = atom("XdndStatus"), drop = atom("XdndDrop"), finished = atom("XdndFinished"),
         leave = atom("XdndLeave"), selection = atom("XdndSelection"), copy = atom("XdndActionCopy"),
         uriList = atom("text/uri-list");
    std::string uris;
    for (const std::string& p : paths)
        uris += "file://" + p + "\r\n";

    auto send = [&](Atom type, long l1, long l2, long l3, long l4) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.display = d;
        e.xclient.window = target;
        e.xclient.message_type = type;
        e.xclient.format = 32;
        e.xclient.data.l[0] = long(source);
        e.xclient.data.l[1] = l1;
        e.xclient.data.l[2] = l2;
        e.xclient.data.l[3] = l3;
        e.xclient.data.l[4] = l4;
        XSendEvent(d, target, False, NoEventMask, &e);
        XFlush(d);
    };

    bool done = false;
    Atom actualType;
    int actualFormat;
    unsigned long items, after;
    unsigned char* version = nullptr;
    if (XGetWindowProperty(d, target, aware, 0, 1, False, XA_ATOM, &actualType, &actualFormat, &items, &after,
                           &version) == Success &&
        version) {
        XFree(version);
        XSetSelectionOwner(d, selection, source, CurrentTime);
        send(enter, 5L << 24, long(uriList), 0, 0);
        send(position, 0, (long(x) << 16) | long(y), CurrentTime, long(copy));
        bool dropped = false;
        auto start = std::chrono::steady_clock::now();
        while (!done && std::chrono::steady_clock::now() - start < std::chrono::milliseconds(timeoutMs)) {
            if (!XPending(d)) {
                struct timespec ts {
                    0, 5000000
                };
                nanosleep(&ts, nullptr);
                continue;
            }
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == ClientMessage && e.xclient.message_type == status && !dropped) {
                dropped = true;
                send(drop, 0, CurrentTime, 0, 0);
            } else if (e.type == SelectionRequest) {
                XSelectionRequestEvent& r = e.xselectionrequest;
                XEvent reply{};
                reply.xselection.type = SelectionNotify;
                reply.xselection.display = d;
                reply.xselection.requestor = r.requestor;
                reply.xselection.selection = r.selection;
                reply.xselection.target = r.target;
                reply.xselection.time = r.time;
                reply.xselection.property = None;
                if (r.target == uriList) {
                    XChangeProperty(d, r.requestor, r.property, uriList, 8, PropModeReplace,
                                    reinterpret_cast<const unsigned char*>(uris.data()), int(uris.size()));
                    reply.xselection.property = r.property;
                }
                XSendEvent(d, r.requestor, False, NoEventMask, &reply);
                XFlush(d);
            } else if (e.type == ClientMessage && e.xclient.message_type == finished) {
                done = true;
            }
        }
        if (!done) send(leave, 0, 0, 0, 0);
    }
    XUngrabPointer(d, CurrentTime);
    XDestroyWindow(d, source);
    XCloseDisplay(d);
    return done;
}

} // namespace testsupport

// Xlib's short macro names collide with other headers' identifiers (GoogleTest's among them).
#undef None
#undef Bool
#undef Status
#undef Success
#undef True
#undef False
#undef Always
#undef index
