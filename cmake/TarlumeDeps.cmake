# Every system library the project links, found through pkg-config.
# scripts/install-deps installs them all.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

pkg_check_modules(MPG123 REQUIRED IMPORTED_TARGET libmpg123)
pkg_check_modules(VORBIS REQUIRED IMPORTED_TARGET vorbis vorbisfile vorbisenc)
pkg_check_modules(OGG REQUIRED IMPORTED_TARGET ogg)
pkg_check_modules(FLAC REQUIRED IMPORTED_TARGET flac)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(JPEG REQUIRED IMPORTED_TARGET libjpeg)
pkg_check_modules(PORTAUDIO REQUIRED IMPORTED_TARGET portaudio-2.0)
# libjack and ALSA: the sound layer asks whether a JACK server still answers before closing PortAudio, and
# keeps both libraries' probing messages off standard error.
pkg_check_modules(JACK REQUIRED IMPORTED_TARGET jack)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(RTMIDI REQUIRED IMPORTED_TARGET rtmidi)
pkg_check_modules(SDL2 REQUIRED IMPORTED_TARGET sdl2)
# The pointer's place at a file drop comes from the X server itself (SDL's copy can be stale).
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)
pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo)
pkg_check_modules(PANGO REQUIRED IMPORTED_TARGET pango pangocairo pangoft2)
pkg_check_modules(FONTCONFIG REQUIRED IMPORTED_TARGET fontconfig)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswresample libswscale)
pkg_check_modules(GL REQUIRED IMPORTED_TARGET gl egl)
pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)

# UTF8-CPP is header-only.
find_path(UTFCPP_INCLUDE_DIR utf8.h PATH_SUFFIXES utf8cpp REQUIRED)

# TagLib: the peer that tests and benchmarks compare the tag readers with (never linked into the program).
pkg_check_modules(TAGLIB REQUIRED IMPORTED_TARGET taglib)

# libpng and zlib: the peers that tests and benchmarks compare the PNG decoder with (never linked into the program).
pkg_check_modules(PNG REQUIRED IMPORTED_TARGET libpng zlib)
