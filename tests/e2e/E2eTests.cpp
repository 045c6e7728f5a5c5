// The end-to-end tests of the shipped skins' controls: one test per skin and area, each running the
// rows of the control table for that area in a program of its own.
#include "ControlTable.h"
#include "Exercises.h"
#include "Rig.h"
#include "Steps.h"

#include "support/MissingComponent.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <regex>

namespace e2e {
namespace {

const SkinTable* tableOf(const std::string& skin) {
    for (const SkinTable& t : controlTables())
        if (skin == t.skin) return &t;
    return nullptr;
}

// Runs a row's exercise and reports what it found wrong, unless a sound it judged was spoilt: a server that
// lost cycles in every capture of it for Rig::kRetakeSeconds (seen for over a minute on a loaded machine) moves
// and splatters the sound, and a row then fails or passes by chance. Its failures are then printed as not judged;
// a program at fault fails the row in every run the server keeps time.
void judge(Rig& rig, const std::function<void()>& exercise) {
    ::testing::TestPartResultArray found;
    {
        ::testing::ScopedFakeTestPartResultReporter catcher(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &found);
        exercise();
    }
    const bool spoilt = rig.takeSpoilt();
    if (spoilt) measured("a sound spoilt by xruns");
    for (int i = 0; i < found.size(); ++i) {
        const ::testing::TestPartResult& r = found.GetTestPartResult(i);
        if (!r.failed()) continue;
        // The reporter gave the message its trace already; reported again, it gets it again.
        std::string message = r.message();
        message = message.substr(0, message.find("\nGoogle Test trace:"));
        if (spoilt)
            printf("  not judged, the server lost cycles in every capture of a sound: %s\n", message.c_str());
        else
            ADD_FAILURE_AT(r.file_name() ? r.file_name() : "", r.line_number()) << message;
    }
}

// Runs the rows of one area of a skin's table, each on a fresh look at the program.
void runArea(const std::string& skin, const std::string& area) {
    const SkinTable* table = tableOf(skin);
    ASSERT_NE(table, nullptr);
    RigOptions options;
    options.skin = skin;
    options.inputs = area == "timecode" || area == "options";
    if (area == "options") options.settings = kOptionSettings;
    Rig rig(options);
    std::string why;
    bool missing = false;
    if (!rig.start(&why, &missing)) {
        if (missing) TARLUME_MISSING_COMPONENT() << why;
        FAIL() << why;
    }
    if (rig.restarts() > 0) measured("JACK server started anew: %d", rig.restarts());
    ASSERT_TRUE(rig.load(0, Tracks::kDeck1)) << "deck 1 did not load its track\n" << rig.log();
    ASSERT_TRUE(rig.load(1, Tracks::kDeck2)) << "deck 2 did not load its track\n" << rig.log();
    ASSERT_TRUE(rig.until(
        [&] {
            return std::fabs(rig.deckFact(0, "bpm") - Tracks::kBpm1) < 1 &&
                   std::fabs(rig.deckFact(1, "bpm") - Tracks::kBpm2) < 1;
        },
        60))
        << "the decks' tempos were not found";
    // A deck that has played past the first 40 s of its 100 s track goes back to its start before the next row:
    // the rows of an area play for minutes together on a loaded machine, and one that ran into the track's end
    // would hear silence.
    auto fromTheStart = [&](int deck) {
        const Control overview = rig.find("waveformcomplete", deck);
        EXPECT_TRUE(overview.valid()) << "deck " << deck + 1 << " has no overview to go back to its start with";
        if (!overview.valid() || rig.deckFact(deck, "position") < 400 * Tracks::kSeconds) return;
        rig.click(rig.reach(overview, 0.01f, 0.5f));
        EXPECT_TRUE(rig.until([&] { return rig.deckFact(deck, "position") < 5000; }))
            << "deck " << deck + 1 << " does not go back to its start";
    };
    // TARLUME_E2E_ROWS, a pattern, picks rows by object name while one works on them.
    const char* only = getenv("TARLUME_E2E_ROWS");
    for (const Row& row : table->rows) {
        if (area != row.group || !row.exercise->run) continue;
        std::vector<int> decks = row.also;
        decks.insert(decks.begin(), row.deck);
        for (int deck : decks) {
            const std::string object = objectOn(row, deck);
            if (only && !std::regex_search(object, std::regex(only))) continue;
            const std::string name =
                object + (deck != row.deck && object == row.object ? ", deck " + std::to_string(deck + 1) : "");
            SCOPED_TRACE(skin + ": \"" + name + "\" (" + row.exercise->how + ")");
            const auto started = std::chrono::steady_clock::now();
            const int64_t heardFrom = rig.tap().now();
            fromTheStart(0);
            fromTheStart(1);
            // Decks 3 and 4 take the places of decks 1 and 2 while they are exercised, with their tracks.
            if (deck > 1) {
                ASSERT_TRUE(rig.showDeck(deck)) << "deck " << deck + 1 << " cannot be shown";
                if (rig.deck(deck)["file"].empty()) {
                    ASSERT_TRUE(rig.load(deck, Tracks::forDeck(deck))) << rig.log();
                }
                fromTheStart(deck);
            }
            Control c = rig.control(object, deck);
            EXPECT_TRUE(c.valid()) << "the skin has no object named " << object;
            if (c.valid()) judge(rig, [&] { row.exercise->run(rig, c); });
            if (deck > 1) rig.showDeck(deck - 2);
            if (const int retaken = rig.takeRetaken()) measured("taken again for an xrun: %d", retaken);
            printf("  %-24s %5.1f s  %s\n", name.c_str(),
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                   takeMeasured().c_str());
            // A program that ended unasked (a row that quits it waits for its end) or stopped answering: the rows
            // after it could only wait.
            if (!rig.probe().lost().empty() && rig.session().app > 0)
                FAIL() << rig.probe().lost() << "\n" << rig.programState();
            // A JACK server that runs its cycles far slower than real time (seen once on a loaded machine: a few
            // periods a second) leaves every later row waiting out each capture's limit: say so and stop.
            const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            const double sound = double(rig.tap().now() - heardFrom) / rig.tap().rate();
            if (took > 10 && sound < took / 4)
                FAIL() << "the JACK server ran " << sound << " s of sound in " << took << " s\n" << rig.programState();
        }
    }
    // What the program said, for a failure seen only in a CI run.
    if (::testing::Test::HasFailure()) printf("The program's output:\n%s\n", rig.log().c_str());
}

} // namespace

// kolt-1280, by area.
TEST(E2e1280, Deck) {
    runArea("kolt-1280", "deck");
}
TEST(E2e1280, Pitch) {
    runArea("kolt-1280", "pitch");
}
TEST(E2e1280, Loops) {
    runArea("kolt-1280", "loops");
}
TEST(E2e1280, Eq) {
    runArea("kolt-1280", "eq");
}
TEST(E2e1280, Fx) {
    runArea("kolt-1280", "fx");
}
TEST(E2e1280, Mixer) {
    runArea("kolt-1280", "mixer");
}
TEST(E2e1280, Timecode) {
    runArea("kolt-1280", "timecode");
}
TEST(E2e1280, Browser) {
    runArea("kolt-1280", "browser");
}
TEST(E2e1280, Video) {
    runArea("kolt-1280", "video");
}
TEST(E2e1280, Options) {
    runArea("kolt-1280", "options");
}

// kolt-mini, by area.
TEST(E2eMini, Deck) {
    runArea("kolt-mini", "deck");
}
TEST(E2eMini, Pitch) {
    runArea("kolt-mini", "pitch");
}
TEST(E2eMini, Loops) {
    runArea("kolt-mini", "loops");
}
TEST(E2eMini, Mixer) {
    runArea("kolt-mini", "mixer");
}
TEST(E2eMini, Browser) {
    runArea("kolt-mini", "browser");
}
TEST(E2eMini, Options) {
    runArea("kolt-mini", "options");
}

} // namespace e2e
