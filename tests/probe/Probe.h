// What the end-to-end tests ask the running program: a Unix socket served once per frame on the
// main thread, one query per line, one answer line each. Part of the test build of the program only.
//
// Queries (fields separated by tabs; answers "ok" or "error", then tab-separated fields):
//   frame                                 the frames served so far
//   value NAME SPECIFIER DECK [WINDOW]    a skin value as the skin binding serves it: text, number,
//                                         lit (0/1), minimum, maximum, relative position
//   deck N                                the engine's facts of deck N as key=value fields
//   engine                                the engine's mixer facts as key=value fields
//   list NAME                             browser 0's list (folders, files, playlist, popup): a summary
//                                         field, then one field per row: text, top, bottom, selected
//   window NAME LAYER                     a window layer: visible, x, y, width, height, current tabs
#pragma once

#include <string>
#include <vector>

class Probe {
public:
    // Listens on the socket at `path` (replacing a stale one); does nothing when it can't.
    explicit Probe(const std::string& path);
    ~Probe();
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // Accepts waiting clients and answers every complete query they sent. Never blocks.
    void serve();
    // The answer to one query line.
    std::string answer(const std::string& query);

private:
    struct Client {
        int fd;
        std::string in, out;
    };
    std::string path_;
    int listenFd_ = -1;
    std::vector<Client> clients_;
    long frames_ = 0;
};
