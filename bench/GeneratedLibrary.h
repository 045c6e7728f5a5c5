// A generated music library for the benchmarks that need one at DJ scale: empty files on disk and their
// cache rows written straight into a tag cache database, 1,000 files a folder, 10 frames a file.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "foundation/modTools.h"
#include "library/tagcache/SQLDatabase.h"
#include "library/tagcache/TagCache.h"

namespace benchsupport {

// The words of titles, albums and comments (searches look for them).
inline const char* const kLibraryWords[] = {"love",  "night", "deep",  "house", "fire",  "dream", "city", "summer",
                                            "dance", "soul",  "light", "river", "storm", "gold",  "echo", "wave"};

// `tracks` files (a multiple of 1,000) under `music` ("f0/", "f1/", ...), listed in the database `db`,
// which is made when missing. The files exist (empty): the library lists only what is on disk.
inline void fillGeneratedLibrary(const std::string& db, const std::string& music, int tracks) {
    { TagCache create(db); }
    SQLDatabase d(db);
    d.beginTransaction();
    for (int f = 0; f < tracks / 1000; f++) {
        std::string folder = music + "f" + intToStr(f) + "/";
        std::string mkdir = "mkdir -p '" + folder + "'";
        if (std::system(mkdir.c_str()) != 0) continue;
        std::string folderID = d.getOneResult("INSERT INTO folders (name, path, parent) VALUES (?, ?, -1) RETURNING ID",
                                              SQLParams{"f" + intToStr(f), folder});
        for (int i = 0; i < 1000; i++) {
            int n = f * 1000 + i;
            std::string path = folder + intToStr(n) + ".mp3";
            if (FILE* file = fopen(path.c_str(), "wb")) fclose(file);
            std::string modified = timetToStr(long(getFileModifiedTime(path)));
            std::string id = d.getOneResult("INSERT INTO files (name, folder, type, modifieddate, creationdate) "
                                            "VALUES (?, ?, 1, ?, ?) RETURNING ID",
                                            SQLParams{path, folderID, modified, modified});
            const char* const* w = kLibraryWords;
            const std::pair<const char*, std::string> frames[] = {
                {"TIT2", std::string(w[n % 16]) + " " + w[(n / 16) % 16] + " " + intToStr(n)},
                {"TPE1", "Artist " + intToStr(n % 997)},
                {"TALB", std::string("Album ") + w[(n / 7) % 16]},
                {"TCON", std::string("Genre ") + intToStr(n % 23)},
                {"TBPM", intToStr(90 + n % 60)},
                {"TYER", intToStr(1980 + n % 40)},
                {"COMM", std::string("comment ") + w[(n / 3) % 16]},
                {"TKEY", intToStr(n % 12) + "A"},
                {"TLEN", intToStr(180000 + n % 120000)},
                {"TPUB", "Label " + intToStr(n % 101)}};
            for (const auto& frame : frames)
                d.executeQuery("INSERT INTO frames (file, name, value, incomplete) VALUES (?, ?, ?, 0)",
                               SQLParams{id, frame.first, frame.second});
        }
    }
    d.commitTransaction();
}

} // namespace benchsupport
