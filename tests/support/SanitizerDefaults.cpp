// Default suppressions the sanitizer runtimes ask every test and fuzz program for. Only what system
// libraries do inside themselves is listed, by the library's name; our own leaks and races are still
// reported. The shell's end-to-end test hands the same lists to the program it starts.
#include "support/SanitizerDefaults.h"

extern "C" {

// Memory that system libraries keep for the life of the process (caches, type systems, driver state).
const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libpango-1.0.so\n"
           "leak:libpangoft2-1.0.so\n"
           "leak:libpangocairo-1.0.so\n"
           "leak:libcairo.so\n"
           "leak:libglib-2.0.so\n"
           "leak:libgobject-2.0.so\n"
           "leak:libgio-2.0.so\n"
           "leak:libgtk-3.so\n"
           "leak:libgdk-3.so\n"
           "leak:libgdk_pixbuf-2.0.so\n"
           "leak:libatk-1.0.so\n"
           "leak:libharfbuzz.so\n"
           "leak:libfreetype.so\n"
           "leak:libEGL_mesa.so\n"
           "leak:libGLX_mesa.so\n"
           "leak:libgallium\n"
           "leak:swrast_dri.so\n"
           "leak:libLLVM\n"
           "leak:libSDL2\n"
           "leak:libdbus-1.so\n"
           "leak:libX11.so\n"
           "leak:libasound.so\n"
           "leak:libjack.so\n"
           "leak:libportaudio.so\n";
}

// These libraries are not built with ThreadSanitizer, so it can't see how they synchronise. Pango hands font
// matching to a worker thread of its own and waits for it through GLib's queues; GIO's file chooser reads
// folders on GLib's thread pool; GObject's type system and cairo's devices take their own locks in an order of
// their own; Mesa's software renderer draws on its own threads; JACK's port buffers are written by one client and
// read by the next in the same cycle, in an order the server keeps through shared memory; RtMidi runs an ALSA
// input thread of its own beside the caller's. A report's stacks show such a library only as the immediate caller
// of what made the access or of our own code: GObject and GTK stay unlisted for races, since our handlers of GTK's
// signals (a dialog's answer, a preferences window's control) are called from them and their races must still be
// reported.
const char* __tsan_default_suppressions() {
    return "race:libfontconfig.so\n"
           "race:libjack.so\n"
           "race:librtmidi.so\n"
           "race:libpangoft2-1.0.so\n"
           "race:libpango-1.0.so\n"
           "race:libpangocairo-1.0.so\n"
           "race:libcairo.so\n"
           "race:libglib-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:swrast_dri.so\n"
           "race:libgallium\n"
           "deadlock:libcairo.so\n"
           "deadlock:libglib-2.0.so\n"
           "deadlock:libgobject-2.0.so\n";
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARLUME_KEEP_LIBRARIES_LOADED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARLUME_KEEP_LIBRARIES_LOADED 1
#endif
#ifdef TARLUME_KEEP_LIBRARIES_LOADED
// Libraries stay loaded until the process ends. A plug-in that a system library loads and closes again (Mesa's
// driver, which GDK loads to probe GL when it opens a display and lets go of when the display closes; a GIO,
// GTK or PKCS#11 module) would otherwise be unmapped when the leak check runs at exit: what its globals still
// held shows as leaked, its frames as "<unknown module>" that no suppression can name, and whether a test
// passes would depend on which plug-ins the machine has installed.
int dlclose(void*) {
    return 0;
}
#endif

} // extern "C"
