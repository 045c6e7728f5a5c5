// Temporary folder trees, crafted tagged files and database snapshots for the tag cache tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "library/tagcache/SQLDatabase.h"
#include "support/TempDir.h"

class TempTree {
    testsupport::TempDir dir_{"tagcache"};

public:
    std::string root = dir_.path; // ends in "/"
    std::string folder(const std::string& relative) {
        std::string path = root + relative;
        std::string command = "mkdir -p '" + path + "'";
        if (std::system(command.c_str()) != 0) return "";
        return isSlash(path) ? path : path + "/";
    }
    std::string file(const std::string& relative, const std::string& content = "") {
        std::string path = root + relative;
        size_t slash = path.rfind('/');
        folder(path.substr(root.size(), slash + 1 - root.size()));
        FILE* f = fopen(path.c_str(), "wb");
        if (f) {
            fwrite(content.data(), 1, content.size(), f);
            fclose(f);
        }
        return path;
    }

private:
    static bool isSlash(const std::string& p) { return !p.empty() && p.back() == '/'; }
};

// An ID3v2.3 tag of frames with their contents as given, followed by a few bytes standing in for audio.
inline std::string id3v2Raw(const std::vector<std::pair<std::string, std::string>>& frames) {
    std::string body;
    for (const auto& frame : frames) {
        const std::string& content = frame.second;
        size_t n = content.size();
        body += frame.first;
        body += char((n >> 24) & 0xFF);
        body += char((n >> 16) & 0xFF);
        body += char((n >> 8) & 0xFF);
        body += char(n & 0xFF);
        body += std::string(2, '\0');
        body += content;
    }
    size_t n = body.size();
    std::string tag = "ID3";
    tag += char(3);
    tag += char(0);
    tag += char(0);
    tag += char((n >> 21) & 0x7F);
    tag += char((n >> 14) & 0x7F);
    tag += char((n >> 7) & 0x7F);
    tag += char(n & 0x7F);
    return tag + body + std::string(64, '\0');
}

// The same with ISO-8859-1 text frames (raw frames when the id is not a text frame).
inline std::string id3v2(std::vector<std::pair<std::string, std::string>> frames) {
    for (auto& frame : frames)
        if (frame.first[0] == 'T') frame.second.insert(0, 1, '\0');
    return id3v2Raw(frames);
}

// The first column of a query's rows, each value once, where its first row came; the query must run.
inline std::vector<std::string> distinctIds(SQLDatabase* db, const std::string& sql, const SQLParams& params) {
    std::vector<std::string> ids;
    std::unordered_set<std::string> seen;
    std::vector<std::vector<std::string>> rows;
    EXPECT_TRUE(db->tryAllRows(sql, params, &rows)) << sql;
    for (const auto& row : rows)
        if (seen.insert(row[0]).second) ids.push_back(row[0]);
    return ids;
}

// Every row of the cache's tables as text, to tell whether anything changed.
inline std::string dumpDatabase(SQLDatabase* db) {
    std::string out;
    for (const char* table : {"folders", "files", "frames", "waveforms", "properties", "tagcachefolders"}) {
        for (const auto& row : db->getAllRows(std::string("SELECT * FROM ") + table + " ORDER BY ID")) {
            out += table;
            for (const auto& column : row)
                out += "|" + column;
            out += "\n";
        }
    }
    return out;
}

inline int countRows(SQLDatabase* db, const std::string& sql) {
    return std::atoi(db->getOneResult(sql).c_str());
}
