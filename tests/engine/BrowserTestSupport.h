// A browser world for tests: an engine in a scratch home with a real tag cache, a music folder
// tree of tagged MP3 files made by sox and lame, a skin with song and genre colours, and list
// objects of each kind. Tools missing skip the test, except in CI (TARLUME_CI=1) where that fails.
#pragma once

#include "EngineTestSupport.h"

#include "engine/Tarlume.h"
#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "skin/Skin.h"
#include "skin/SkinColor.h"
#include "skin/SkinInterface.h"
#include "skin/SkinListBox.h"
#include "skin/SkinObject.h"
#include "skin/SkinRect.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>
#include "support/MissingComponent.h"

namespace testsupport {

inline int runCommand(const std::string& command) {
    return std::system(command.c_str());
}

inline bool haveAudioTools() {
    static const bool found = std::system("command -v sox >/dev/null 2>&1 && command -v lame >/dev/null 2>&1") == 0;
    return found;
}

// Skips (or fails in CI) the calling test when sox or lame is missing.
#define REQUIRE_AUDIO_TOOLS()                                                                                          \
    do {                                                                                                               \
        if (!testsupport::haveAudioTools()) TARLUME_MISSING_COMPONENT() << "sox and lame are needed";                  \
    } while (0)

struct TrackTags {
    TrackTags(std::string title, std::string artist, std::string genre = "", std::string color = "", int bpm = 0,
              bool cover = false)
        : title(std::move(title)), artist(std::move(artist)), genre(std::move(genre)), color(std::move(color)),
          bpm(bpm), cover(cover) {}
    std::string title, artist, genre, color;
    int bpm = 0;
    bool cover = false;
};

// Owns the interface; the engine's lists call back into it.
template <typename Interface = SkinInterface> struct BrowserWorld {
    EngineHome home;
    TempDir music{"music"};
    std::unique_ptr<Interface> iface;
    std::unique_ptr<Skin> skin;
    std::unique_ptr<Tarlume> engine;
    std::vector<std::unique_ptr<SkinObject>> objects;

    BrowserWorld() {
        engine = std::make_unique<Tarlume>();
        iface = makeInterface(engine.get());
        skin = std::make_unique<Skin>(iface.get());
        engine->skin = skin.get();
        addColor(skin->songColors, "Red", 0x0000FF);
        addColor(skin->genreColors, "House", 0x00FF00);
        addColor(skin->genreColors, "Techno", 0xFF0000);
    }
    ~BrowserWorld() {
        engine.reset(); // writes the playlists while the skin still exists
        skin.reset();
    }

    static std::unique_ptr<Interface> makeInterface(Tarlume* e) {
        if constexpr (std::is_constructible<Interface, Tarlume*>::value)
            return std::make_unique<Interface>(e);
        else
            return std::make_unique<Interface>();
    }
    static void addColor(std::vector<std::unique_ptr<SkinColor>>& colors, const std::string& name, unsigned value) {
        colors.emplace_back(new SkinColor());
        colors.back()->name = name;
        colors.back()->value = value;
    }

    // A folder of the music tree, ending in "/".
    std::string folder(const std::string& relative) {
        std::string path = music.path + relative;
        runCommand("mkdir -p '" + path + "'");
        return path.back() == '/' ? path : path + "/";
    }

    // A tagged MP3 at a path relative to the music tree; returns its full path.
    std::string track(const std::string& relative, const TrackTags& tags) {
        std::string path = music.path + relative;
        folder(relative.substr(0, relative.rfind('/') + 1));
        std::string wav = music.path + ".source.wav";
        if (!FileExist(wav)) runCommand("sox -n -r 44100 -c 2 -b 16 '" + wav + "' synth 0.05 sine 440 2>/dev/null");
        std::string command = "lame --silent -b 32 --tt '" + tags.title + "' --ta '" + tags.artist + "'";
        if (!tags.genre.empty()) command += " --tg '" + tags.genre + "'";
        if (tags.bpm > 0) command += " --tv TBPM=" + std::to_string(tags.bpm);
        if (!tags.color.empty()) command += " --tv 'TXXX=Color=" + tags.color + "'";
        if (tags.cover) {
            std::string jpeg = music.path + ".cover.jpg";
            runCommand("/usr/bin/convert-im6.q16 -size 8x8 xc:red '" + jpeg + "' 2>/dev/null");
            if (FileExist(jpeg)) command += " --ti '" + jpeg + "'";
        }
        command += " '" + wav + "' '" + path + "'";
        EXPECT_EQ(runCommand(command), 0) << command;
        return path;
    }

    // A list object of a value id for a browser (player) number, 300 x 200 pixels at (10, 20).
    SkinObject* listObject(int value, int player) {
        std::string empty;
        objects.push_back(std::make_unique<SkinObject>(&empty, nullptr, nullptr));
        SkinObject* object = objects.back().get();
        object->type = OBJECT_LISTBOX;
        object->value = value;
        object->player = player;
        object->rect = std::make_unique<SkinRect>();
        object->rect->left = 10;
        object->rect->top = 20;
        object->rect->width = 300;
        object->rect->height = 200;
        return object;
    }

    // Waits for the tag cache's loading thread, then refills the browser's file and playlist lists.
    void settle(int i = 0) {
        engine->tagCache->waitUntilIdle(20000);
        engine->updateFileList(i);
        engine->updatePlaylist(i);
        engine->tagCache->waitUntilIdle(20000);
        engine->updateFileList(i);
        engine->updatePlaylist(i);
    }
};

// The values of one column of every row.
inline std::vector<std::string> columnOf(SkinListBox* list, int column) {
    std::vector<std::string> values;
    for (int k = 0; list && k < list->getNbItems(); ++k)
        values.push_back(list->getRow(static_cast<unsigned>(k))->getColumn(column));
    return values;
}

} // namespace testsupport
