// Default suppressions the sanitizer runtimes ask every test and fuzz program for. Only what system
// libraries do inside themselves is listed; our own leaks and races are still reported.
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
           "leak:libjack.so\n";
}

// Pango hands font matching to a worker thread of its own and waits for it through glib's queues, and
// Mesa's software renderer draws on its own threads: their synchronisation is inside uninstrumented system
// libraries, which ThreadSanitizer can't see. So do JACK's lock-free ring buffers and RtMidi's hand-over
// of sends and received messages between the caller and JACK's process thread.
const char* __tsan_default_suppressions() {
    return "race:libfontconfig.so\n"
           "race:libjack.so\n"
           "race:librtmidi.so\n"
           "race:libpangoft2-1.0.so\n"
           "race:libpango-1.0.so\n"
           "race:swrast_dri.so\n"
           "race:libgallium\n";
}

} // extern "C"
