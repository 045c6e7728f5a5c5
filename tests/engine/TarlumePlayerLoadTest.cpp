// Loading and closing a track: the forced-load confirmation, the tag record kept for a reload, tempo from
// the tag, the cue and loop events written back, the history, the stored waveform, track information and
// the player chosen by the file's extension.
#include "TarlumePlayerTestSupport.h"
#include "support/DeckLoads.h"

#include "audio/effects/EffectGroup.h"
#include "audio/player/TrackLoading.h"
#include "engine/VideoPlayer.h"
#include "foundation/Picture.h"
#include "library/tagcache/TagCache.h"
#include "library/tagcache/TagCacheDirectory.h"
#include "library/tags/CID3v2Tag.h"
#include "skin/Skin.h"
#include "skin/SkinInterface.h"
#include "skin/SkinListBox.h"
#include "skin/SkinListItem.h"

#include <filesystem>
#include <future>

using namespace decktest;

namespace {

// The lines of `text` that hold `needle`.
int lineCount(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        n += text.substr(start, end - start).find(needle) != std::string::npos;
        start = end + 1;
    }
    return n;
}

// The events of a record's ETCO frame as (type, time) pairs.
std::vector<std::pair<int, unsigned>> events(CID3v2Tag* tag) {
    std::vector<std::pair<int, unsigned>> out;
    const std::string* data = tag->getFrame("ETCO", true);
    if (!data) return out;
    for (size_t i = 1; i + 5 <= data->size(); i += 5) {
        const auto* e = reinterpret_cast<const unsigned char*>(data->data()) + i;
        out.push_back({e[0], unsigned(e[1]) << 24 | unsigned(e[2]) << 16 | unsigned(e[3]) << 8 | e[4]});
    }
    return out;
}

// A record the engine keeps for `path`, as if the file had been closed on a deck before.
CID3v2Tag* keptRecord(Tarlume& engine, const std::string& path) {
    auto* tag = new CID3v2Tag();
    tag->setPath(path);
    engine.keptRecords.push_back(tag);
    return tag;
}

// Keeps the loading thread inside a job of its own until released (at the latest when it goes), so that a load
// posted meanwhile is still pending whenever the test looks, however the threads are scheduled.
class LoadingThreadHold {
public:
    LoadingThreadHold() {
        TrackLoading::post([gate = gate_.get_future().share()] { gate.wait(); });
    }
    ~LoadingThreadHold() { release(); }
    void release() {
        if (!released_) gate_.set_value();
        released_ = true;
    }

private:
    std::promise<void> gate_;
    bool released_ = false;
};

int videoPlayersMade = 0;
FModPlayer* makeVideoPlayer() {
    ++videoPlayersMade;
    return new FModPlayer();
}

} // namespace

TEST(DeckLoading, APlayingDeckAsksFirstAndTheAnswerLoadsTheKeptPath) {
    Rig rig;
    SkinInterface iface;
    Skin skin(&iface);
    rig.engine->skin = &skin;
    rig.engine->warnWhenLoadingTrack = true;
    TarlumePlayer* d = rig.deck();
    // A name with a quote and the dialog's answer marker: neither may reach any command text.
    testsupport::TempDir dir("deck-load");
    const std::string odd = dir.path + "it's \"loud\" %value% %player%.wav";
    std::filesystem::copy_file(fixture("position.wav"), odd);

    ASSERT_TRUE(testsupport::loadSong(d, fixture("position.wav").c_str(), false)); // paused: no question
    d->setParam(PLAYERPARAM_PLAYING, 1);
    EXPECT_FALSE(testsupport::loadSong(d, odd.c_str(), false));
    EXPECT_EQ(d->tag->getPath(), fixture("position.wav")); // nothing changed
    EXPECT_EQ(d->pendingLoadPath, odd);
    EXPECT_TRUE(iface.inputRequested);
    EXPECT_EQ(iface.inputKind, 1);
    EXPECT_EQ(iface.pendingCommand, "");
    EXPECT_EQ(iface.pendingDeck, 0);
    EXPECT_EQ(iface.inputPrompt, "A song is already playing, are you sure you want to load a new song?");
    // The answer ("forceloadsong" with an empty specifier) loads the kept path.
    EXPECT_TRUE(testsupport::loadSong(d, "", true));
    EXPECT_EQ(d->tag->getPath(), odd);
    EXPECT_TRUE(d->pendingLoadPath.empty());
    EXPECT_FALSE(d->loadPendingSong()); // answered once only
    rig.engine->skin = nullptr;
}

TEST(DeckLoading, TagTempoListsAndReplayGainAndTheRecordComesBackOnReload) {
    Rig rig;
    TarlumePlayer* d = rig.deck();
    const std::string path = fixture("tone.mp3");
    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    EXPECT_DOUBLE_EQ(d->bpm, 128);
    EXPECT_EQ(d->bpmConfidence, 100);
    EXPECT_EQ(d->getCuePoint(1), 1500);
    EXPECT_EQ(d->getCuePoint(2), 3000);
    EXPECT_EQ(d->getCuePoint(3), 0);
    // Three loop-ins and two loop-outs fill two loops.
    EXPECT_EQ(d->getLoopIn(1), 2000);
    EXPECT_EQ(d->getLoopOut(1), 4000);
    EXPECT_EQ(d->getLoopIn(2), 6000);
    EXPECT_EQ(d->getLoopOut(2), 8000);
    EXPECT_FALSE(d->isLoopSlotUsed(3));
    // RGAD -6 dB with peak 0.9: applied at once, no analysis waited for.
    EXPECT_TRUE(d->replayGainApplied);
    EXPECT_NEAR(d->effects->getParameter(EFFECT_LIMITER, 0), 1.0, 1e-3);
    EXPECT_GT(d->musicEnd, 19000);

    // A close that changed nothing leaves the event frame as it was, apart from the unpaired loop-in.
    CID3v2Tag* tag = d->tag;
    d->closeSong();
    const std::string after = *tag->getFrame("ETCO", true);
    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    EXPECT_EQ(d->tag, tag); // the kept record
    d->closeSong();
    EXPECT_EQ(*tag->getFrame("ETCO", true), after);

    // Slots set during a load come back with the next one; the record is kept once.
    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    d->setCuePoint(100, 5000.7);
    d->setLoop(20, 0, 250);
    d->closeSong();
    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    EXPECT_EQ(d->getCuePoint(3), 5000); // whole milliseconds, in the next free place
    EXPECT_EQ(d->getLoopIn(3), 0);      // a loop from the start is a loop
    EXPECT_EQ(d->getLoopOut(3), 250);
    EXPECT_EQ(std::count(rig.engine->keptRecords.begin(), rig.engine->keptRecords.end(), tag), 1);

    // Removing the cue points removes their events, the loops stay.
    for (int n = 1; n <= TarlumePlayer::kSlots; ++n)
        d->setCuePoint(n, 0);
    d->closeSong();
    int cues = 0, ins = 0;
    for (const auto& e : events(tag)) {
        cues += e.first == 0xE0;
        ins += e.first == 0xE1;
    }
    EXPECT_EQ(cues, 0);
    EXPECT_EQ(ins, 3);
}

TEST(DeckClosing, AKeptRecordKeepsItsMarksButNotItsCoverWhileNoDeckShowsIt) {
    Rig rig;
    EngineClock::ManualScope clock(1e6);
    const std::string path = std::string(TARLUME_GENERATED_FIXTURES_DIR) + "/tags/id3v23.mp3"; // 400 x 200 cover
    TarlumePlayer* a = rig.deck(0);
    TarlumePlayer* b = rig.deck(1);
    auto coverWidth = [](CID3v2Tag* tag) { return std::unique_ptr<CPicture>(tag->getPicture(0, 0, ""))->width; };
    ASSERT_TRUE(testsupport::loadSong(a, path.c_str(), true));
    CID3v2Tag* tag = a->tag;
    EXPECT_EQ(coverWidth(tag), 400);
    a->setCuePoint(2, 2500);
    a->playPause();
    EngineClock::advance(31000);
    a->closeSong();
    EXPECT_EQ(coverWidth(tag), 0);
    EXPECT_EQ(tag->getFrameCopy("TIT2"), "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(tag->getFromETCO(0xE0, 1), 2500);
    // The history's own record of the track keeps no cover either.
    CID3v2Tag* played = rig.engine->historyList->getTag(rig.engine->historyList->getNbTags() - 1);
    ASSERT_NE(played, nullptr);
    EXPECT_EQ(played->getPath(), path);
    EXPECT_EQ(coverWidth(played), 0);

    // Loaded again, on another deck: the same record, its cover read back from the file.
    ASSERT_TRUE(testsupport::loadSong(b, path.c_str(), true));
    EXPECT_EQ(b->tag, tag);
    EXPECT_EQ(coverWidth(tag), 400);
    EXPECT_EQ(b->getCuePoint(2), 2500);
    // Shown on two decks, it keeps its cover until the last one closes it.
    ASSERT_TRUE(testsupport::loadSong(a, path.c_str(), true));
    EXPECT_EQ(a->tag, tag);
    a->setCuePoint(2, 3500);
    a->closeSong();
    EXPECT_EQ(coverWidth(tag), 400);
    b->closeSong();
    EXPECT_EQ(coverWidth(tag), 0);
    EXPECT_EQ(tag->getFromETCO(0xE0, 1), 3500) << "the deck closed last wrote back its unchanged copy";
}

TEST(DeckLoading, OnlyAFinitePositiveTempoFromTheTagCounts) {
    Rig rig;
    TarlumePlayer* d = rig.deck();
    const std::string path = fixture("position.wav");
    CID3v2Tag* tag = keptRecord(*rig.engine, path);
    const struct {
        const char* tbpm;
        double bpm;
        int confidence;
    } cases[] = {{"1280", 128, 100}, {"12800", 128, 100}, {"nan", 50, 0}, {"inf", 50, 0},
                 {"0", 50, 0},       {"-120", 50, 0},     {"", 50, 0},    {"99.5", 99.5, 100}};
    for (const auto& c : cases) {
        d->bpm = 50;
        tag->setFrame("TBPM", c.tbpm, 0);
        ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
        EXPECT_DOUBLE_EQ(d->bpm, c.bpm) << c.tbpm;
        EXPECT_EQ(d->bpmConfidence, c.confidence) << c.tbpm;
        d->closeSong();
    }
    d->bpm = 50;
    ASSERT_TRUE(testsupport::loadSong(d, fixture("nan.mp3").c_str(), true));
    EXPECT_EQ(d->bpmConfidence, 0);
    EXPECT_DOUBLE_EQ(d->bpm, 50);
}

TEST(DeckClosing, EventRewriteReplacesOnlyTheSlotsAndGrowsNothing) {
    Rig rig;
    TarlumePlayer* d = rig.deck();
    const std::string path = fixture("position.wav");
    CID3v2Tag* tag = keptRecord(*rig.engine, path);
    // A cue at time 0, a mark of another type, one loop and then 120 cues (100 fit in the slots).
    tag->addToETCO(0, 0xE0);
    tag->addToETCO(500, 0xE3);
    tag->addToETCO(600, 0xE1);
    tag->addToETCO(700, 0xE2);
    for (unsigned i = 0; i < 120; ++i)
        tag->addToETCO(1000 + i, 0xE0);

    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    EXPECT_EQ(d->getCuePoint(1), 0); // time 0 reads as an empty slot
    EXPECT_EQ(d->getCuePoint(100), 1098);
    d->closeSong();
    // The empty first slot drops the time-0 event; all else keeps its place and nothing doubles.
    const auto once = events(tag);
    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    d->closeSong();
    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    d->closeSong();
    EXPECT_EQ(events(tag), once);
    int cues = 0;
    for (const auto& e : once)
        cues += e.first == 0xE0;
    EXPECT_EQ(cues, 120);
    EXPECT_EQ(std::count(once.begin(), once.end(), std::make_pair(0xE3, 500u)), 1);
    EXPECT_EQ(std::count(once.begin(), once.end(), std::make_pair(0xE0, 1119u)), 1); // beyond the slots, kept
    EXPECT_EQ(std::count(once.begin(), once.end(), std::make_pair(0xE0, 0u)), 0);
    // A cue and a loop-in at the same time are both kept.
    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    d->setLoop(2, 1000, 1500);
    d->closeSong();
    const auto both = events(tag);
    EXPECT_EQ(std::count(both.begin(), both.end(), std::make_pair(0xE1, 1000u)), 1);
    EXPECT_EQ(std::count(both.begin(), both.end(), std::make_pair(0xE0, 1000u)), 1);
    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    EXPECT_EQ(d->getLoopIn(2), 1000);
    EXPECT_EQ(d->getLoopOut(2), 1500);
}

TEST(DeckClosing, HistoryAfterThirtySecondsAndTheStoredWaveform) {
    Rig rig;
    EngineClock::ManualScope clock(1e6);
    TarlumePlayer* d = rig.deck();
    const std::string path = fixture("lead.wav");
    // The file is in the tag cache (a waveform is kept only for cached files) and in a browser's list.
    rig.engine->tagCache->getFolder(getFilePath(path), false, false, false, false);
    SkinInterface iface;
    SkinListBox list(&iface, nullptr, nullptr);
    CPicture pictures[5];
    for (CPicture& p : pictures)
        list.pictures.push_back(&p);
    list.setColumns({"Title", "FileName"});
    SkinListItem* row = list.addRow({"lead", path});
    rig.engine->fileList[1] = &list;
    const int history = rig.engine->historyList->getNbTags();

    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    d->playPause();
    EngineClock::advance(25000);
    d->closeSong();
    EXPECT_TRUE(rig.engine->playedRecords.empty());

    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    ASSERT_TRUE(
        waitUntil([&] { return d->getParam(PLAYERPARAM_STRIPEPOS) >= d->getParam(PLAYERPARAM_NBSTRIPES) - 1; }));
    d->playPause();
    EngineClock::advance(31000);
    d->closeSong();
    ASSERT_EQ(rig.engine->playedRecords.size(), 1u);
    EXPECT_EQ(rig.engine->historyList->getNbTags(), history + 1);
    EXPECT_EQ(row->picture, list.pictures[4]);
    rig.engine->fileList[1] = nullptr;

    // The silent lead-in's stripes are stored as byte 1 (none as 0), the loudest as 255; a reload gives
    // each stripe byte / 255 of the stored height (before the analysis, which finds the same values).
    double maxHeight = 0;
    int incomplete = 0;
    const int stripes = int(d->getParam(PLAYERPARAM_NBSTRIPES));
    const std::string bytes = rig.engine->tagCache->getWaveForm(path, stripes, &maxHeight, &incomplete);
    ASSERT_EQ(int(bytes.size()), stripes);
    EXPECT_EQ(uint8_t(bytes[0]), 1);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\0'), 0);
    const auto loudest =
        std::max_element(bytes.begin(), bytes.end(), [](char a, char b) { return uint8_t(a) < uint8_t(b); });
    EXPECT_EQ(uint8_t(*loudest), 255);
    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    const int mid = stripes / 2;
    EXPECT_NEAR(d->getParam(PLAYERPARAM_STRIPE, mid) * d->getParam(PLAYERPARAM_STRIPEMAX),
                uint8_t(bytes[size_t(mid)]) * maxHeight / 255, maxHeight * 0.02);
}

TEST(DeckTrackInfo, FieldsAreFilledInOnePass) {
    Rig rig;
    TarlumePlayer* d = rig.deck();
    EXPECT_EQ(d->getTrackInfo("%[Title]"), ""); // no record
    const std::string path = fixture("position.wav");
    CID3v2Tag* tag = keptRecord(*rig.engine, path);
    tag->setFrame("TIT2", "Loop %[Title] %[Artist]", 3);
    tag->setFrame("TPE1", "Someone", 3);
    tag->setFrame("COMM", "one\r\ntwo  three\n", 3);
    ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
    d->bpm = 128;
    d->bpmConfidence = 100;
    const struct {
        const char* templ;
        std::string expected;
    } cases[] = {
        {"%[Title] / %[Title]", "Loop %[Title] %[Artist] / Loop %[Title] %[Artist]"},
        {"%[Artist]: %[Comments]", "Someone: one two three"},
        {"%[BPM]|%[BPM0]|%[BPM00]", "128|128.0|128.00"},
        {"%[samplerate] Hz, %[FileNameOnly]", "44100 Hz, position.wav"},
        {"[%[kbps]] %[Album]", "[] "},
        {"no fields", "no fields"},
        {"%[Nothing] %[Title", "%[Nothing] %[Title"},
        {"%[%[Artist]]", "%[Someone]"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(d->getTrackInfo(c.templ), c.expected) << c.templ;
}

// The file is opened and its tags read by the loading thread: loadSong leaves the deck loading, the previous
// track gone (no record, a silent player), and the frame update finishes the load. A load given up for a newer
// one before its file was open leaves nothing of it behind. What a DJ does while the file opens, with the audio
// thread running the deck all the while, is kept for the track or ignored, never lost on the silent player.
TEST(DeckLoading, TheFileOpensOnTheLoadingThreadAndTheFrameUpdateFinishes) {
    Rig rig(true);
    TarlumePlayer* d = rig.deck();
    ASSERT_TRUE(testsupport::loadSong(d, fixture("tone.mp3")));
    LoadingThreadHold hold;
    ASSERT_TRUE(d->loadSong(fixture("position.wav").c_str(), true));
    EXPECT_TRUE(d->isLoading());
    EXPECT_EQ(d->tag, nullptr);
    EXPECT_FALSE(d->trackLoaded);
    EXPECT_LT(d->getLength(), 1);
    ASSERT_TRUE(d->loadSong(fixture("tone.mp3").c_str(), true));
    hold.release();
    ASSERT_TRUE(decktest::waitUntil([&] {
        rig.engine->update();
        return !d->isLoading();
    }));
    ASSERT_NE(d->tag, nullptr);
    EXPECT_EQ(d->tag->getPath(), fixture("tone.mp3"));
    EXPECT_TRUE(d->trackLoaded);
    EXPECT_NEAR(d->getLength(), 20000, 100);
    EXPECT_EQ(d->bpm, 128.0); // from the record read on the loading thread

    // Each row's presses come while position.wav opens, an audio block after each; the previous track, tone.mp3,
    // has its first cue point at 1500 ms, position.wav at 2500 ms.
    keptRecord(*rig.engine, fixture("position.wav"))->addToETCO(2500, TarlumePlayer::kETCOCue);
    using Step = std::function<void(TarlumePlayer*)>;
    const Step play = [](TarlumePlayer* p) { p->playPause(); };
    const Step cue = [](TarlumePlayer* p) { p->cueSong(); };
    const struct {
        const char* what;
        std::vector<Step> steps;
        bool plays;
        double positionMs; // where the track starts
        double pitch;
    } cases[] = {
        {"PLAY", {play}, true, 0, 1},
        {"PLAY twice", {play, play}, false, 0, 1},
        // Another track dropped on the deck, silent as it loads: no question, and the lamp's PLAY starts that one.
        {"PLAY, then a drop",
         {play,
          [&](TarlumePlayer* p) {
              rig.engine->warnWhenLoadingTrack = true;
              EXPECT_TRUE(p->loadSong(fixture("tone.mp3").c_str(), false)) << "asked on a loading deck";
              rig.engine->warnWhenLoadingTrack = false;
              EXPECT_GT(p->getParam(PLAYERPARAM_PLAYING), 0.5) << "the kept PLAY dropped";
          }},
         true,
         0,
         1},
        {"CUE held", {cue}, true, 0, 1}, // previews until let go
        {"CUE pressed and let go", {cue, [](TarlumePlayer* p) { p->cueSong_Up(); }}, false, 0, 1},
        // As the skin's cue point button: the point of the track being loaded, and a stopped deck starts.
        {"hot cue",
         {[](TarlumePlayer* p) {
             p->retrieveCuePoint(1);
             if (p->getParam(PLAYERPARAM_PLAYING) < 0.5) p->playPause();
         }},
         true,
         2500,
         1},
        {"pitch", {[](TarlumePlayer* p) { p->setPitch(1.05, true); }}, false, 0, 1.05},
        // No tempo and no place in the track to loop or jump to yet: ignored.
        {"beat loop", {[](TarlumePlayer* p) { p->loopStart(); }}, false, 0, 1},
        {"position click", {[](TarlumePlayer* p) { p->setParam(PLAYERPARAM_POSITION, 441000); }}, false, 0, 1},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testsupport::loadSong(d, fixture("tone.mp3")));
        LoadingThreadHold playHold;
        ASSERT_TRUE(d->loadSong(fixture("position.wav").c_str(), true));
        for (const Step& step : c.steps) {
            step(d);
            rig.pump(512);
        }
        EXPECT_TRUE(d->isLoading()) << c.what;
        playHold.release();
        ASSERT_TRUE(testsupport::finishLoad(d)) << c.what;
        rig.pump(512); // about 12 ms
        EXPECT_EQ(d->getParam(PLAYERPARAM_PLAYING) > 0.5, c.plays) << c.what;
        const double position = d->getPosition();
        EXPECT_GE(position, c.positionMs) << c.what;
        EXPECT_EQ(position > c.positionMs, c.plays) << c.what; // a block played on from the start
        EXPECT_LT(position, c.positionMs + 20) << c.what;
        EXPECT_NEAR(d->getParam(PLAYERPARAM_SPEED), c.pitch, 1e-9) << c.what;
        EXPECT_FALSE(d->loopIsStarted()) << c.what;
        if (d->cueHeld) d->cueSong_Up();
    }
}

TEST(DeckLoading, TheExtensionChoosesThePlayerAndAnUnreadableFileStillLoads) {
    Rig rig;
    TarlumePlayer* d = rig.deck();
    TarlumePlayer::videoPlayerFactory = makeVideoPlayer;
    videoPlayersMade = 0;
    const struct {
        const char* path;
        int isVideo;
        int made;
    } cases[] = {{"/none/a.mpeg", 1, 1}, {"/none/b.divx", 1, 1}, {"/none/C.MOV", 1, 1},
                 {"ab", 0, 1},           {"/none/d.mp3", 0, 1},  {"/none/e.avi", 1, 2}};
    for (const auto& c : cases) {
        d->bpm = 128; // the previous track's
        ASSERT_TRUE(testsupport::loadSong(d, c.path, true));
        EXPECT_EQ(d->bpm, TarlumePlayer::kDefaultBpm) << c.path; // no analysis will follow
        EXPECT_EQ(d->isVideo, c.isVideo) << c.path;
        EXPECT_EQ(videoPlayersMade, c.made) << c.path;
        ASSERT_TRUE(d->player);
        ASSERT_TRUE(d->tag);
        EXPECT_LT(d->getLength(), 1); // a silent frame
    }
    TarlumePlayer::videoPlayerFactory = []() -> FModPlayer* { return nullptr; };
    ASSERT_TRUE(testsupport::loadSong(d, "/none/h.mp3", true));
    ASSERT_TRUE(testsupport::loadSong(d, "/none/g.mkv", true)); // no video player to be had: the audio player
    EXPECT_EQ(d->isVideo, 0);
    ASSERT_TRUE(d->player);
    TarlumePlayer::videoPlayerFactory = nullptr;
    ASSERT_TRUE(testsupport::loadSong(d, "/none/f.mov", true)); // without video decks: the audio player
    EXPECT_EQ(d->isVideo, 0);
}

TEST(DeckLoading, AFileWithNoAudioSaysSoInTheDeckAndOnceOnStderr) {
    Rig rig;
    TarlumePlayer* d = rig.deck();
    std::string noise(200000, '\0');
    unsigned seed = 12345;
    for (char& c : noise)
        c = char((seed = seed * 1103515245u + 12345u) >> 24);
    const testsupport::TempDir& dir = rig.home.home;
    const auto factory = TarlumePlayer::videoPlayerFactory;
    TarlumePlayer::videoPlayerFactory = []() -> FModPlayer* { return new VideoPlayer(); };
    // A movie that does not open is told on the deck alike; its open says why on stderr.
    const std::string cases[] = {dir.write("empty.mp3", ""), dir.write("text.flac", "this is not audio\n"),
                                 dir.write("noise.mp3", noise), dir.path + "missing.wav",
                                 dir.write("text.avi", "this is not a movie\n")};
    for (const std::string& path : cases) {
        const bool movie = path.substr(path.size() - 4) == ".avi";
        testing::internal::CaptureStderr();
        ASSERT_TRUE(testsupport::loadSong(d, path.c_str(), true));
        for (int frame = 0; frame < 3; ++frame)
            d->update();
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(d->player && d->tag) << path; // the deck still holds a player and a record
        EXPECT_LT(d->getLength(), 1) << path;     // a silent frame
        EXPECT_EQ(d->getTrackInfo("%[Artist]"), TarlumePlayer::kUnreadableText) << path;
        EXPECT_EQ(d->getTrackInfo("%[FileNameOnly]"), getFileName(path));
        // One line names the file. Only lines naming it count: on a busy machine the tag cache's reading of a file
        // closed before, in the background, may be refused meanwhile and say so.
        EXPECT_EQ(lineCount(err, "\"" + path + "\""), 1) << err;
        EXPECT_NE(err.find((movie ? "the movie \"" : "Could not read \"") + path + "\""), std::string::npos) << err;
    }
    TarlumePlayer::videoPlayerFactory = factory;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(testsupport::loadSong(d, fixture("tone.mp3").c_str(), true));
    ASSERT_TRUE(waitUntil([&] { return d->getLength() > 0; }));
    d->update();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lineCount(err, "tone.mp3"), 0) << err;
    EXPECT_NE(d->getTrackInfo("%[Artist]"), TarlumePlayer::kUnreadableText);
}

// What a track leaves (cue points, a stored loop, the replay gain the analysis found, the overview) is kept in the
// tag cache's database and comes back in the next run: for a track closed by the next load before any listing
// reached its file, then changed on disk and listed again, and for one still on two decks when the engine ends,
// on which the DJ removed its own cue points and loops and stored others: each deck's changes stay, whichever deck
// closes last, and where both changed a slot the later change holds.
TEST(DeckClosing, WhatATrackLeavesComesBackInTheNextRun) {
    Rig rig;
    const std::string folder = rig.home.home.path + "music/";
    std::filesystem::create_directories(folder);
    const std::string lead = folder + "lead.wav", tone = folder + "tone.mp3";
    std::filesystem::copy_file(fixture("lead.wav"), lead);
    std::filesystem::copy_file(fixture("tone.mp3"), tone); // cue points 1500 and 3000 of its own
    // Nothing lists the folder in this run.
    rig.engine->tagCache->stopThreads();
    TarlumePlayer* d = rig.deck();
    ASSERT_TRUE(testsupport::loadSong(d, lead));
    ASSERT_TRUE(waitUntil([&] {
        d->update();
        return d->replayGainApplied && d->getParam(PLAYERPARAM_STRIPEPOS) >= d->getParam(PLAYERPARAM_NBSTRIPES) - 1;
    }));
    d->setCuePoint(2, 1500);
    d->setLoop(3, 500, 1000);
    const double gain = d->effects->getParameter(EFFECT_LIMITER, 0);
    auto stripe = [&] { return d->getParam(PLAYERPARAM_STRIPE, 150) * d->getParam(PLAYERPARAM_STRIPEMAX); };
    const double middle = stripe();
    ASSERT_TRUE(testsupport::loadSong(d, tone));
    TarlumePlayer* e = rig.deck(1);
    ASSERT_TRUE(testsupport::loadSong(e, tone));
    e->setCuePoint(2, 2500);
    e->setLoop(2, 7000, 7500);
    e->setLoop(3, 9000, 9500);
    e->setCuePoint(3, 4000);
    d->setCuePoint(1, 0);
    d->setCuePoint(3, 5000);
    for (int n : {1, 2})
        d->setLoop(n, 0, 0);

    rig.engine.reset();
    // Another program rewrote it: the next run's listing reads it again.
    std::filesystem::last_write_time(lead, std::filesystem::last_write_time(lead) + std::chrono::seconds(100));
    rig.engine = std::make_unique<Tarlume>();
    rig.engine->warnWhenLoadingTrack = false;
    rig.engine->tagCache->getFolder(folder, false, true, false, false);
    d = rig.deck();
    ASSERT_TRUE(testsupport::loadSong(d, lead));
    EXPECT_EQ(d->getCuePoint(1), 1500); // in time order: the record holds no button numbers
    EXPECT_EQ(d->getCuePoint(2), 0);
    EXPECT_EQ(d->getLoopIn(1), 500);
    EXPECT_EQ(d->getLoopOut(1), 1000);
    // No analysis waited for; the tag keeps tenths of a dB.
    EXPECT_TRUE(d->replayGainApplied);
    EXPECT_NEAR(d->effects->getParameter(EFFECT_LIMITER, 0), gain, gain * 0.01);
    EXPECT_NEAR(stripe(), middle, middle * 0.01);
    ASSERT_TRUE(testsupport::loadSong(d, tone));
    EXPECT_EQ(d->getCuePoint(1), 2500);
    EXPECT_EQ(d->getCuePoint(2), 5000);
    EXPECT_EQ(d->getCuePoint(3), 0);
    EXPECT_EQ(d->getLoopIn(1), 9000);
    EXPECT_EQ(d->getLoopOut(1), 9500);
    EXPECT_FALSE(d->isLoopSlotUsed(2));

    // A drive not mounted: the folder holding it and its own folder are listed while it is away, and what the
    // decks stored of its tracks is there when it is back.
    rig.engine.reset();
    const std::string away = rig.home.home.path + "away";
    std::filesystem::rename(folder, away);
    rig.engine = std::make_unique<Tarlume>();
    rig.engine->tagCache->getFolder(rig.home.home.path, false, true, true, false);
    rig.engine->tagCache->getFolder(folder, false, true, true, false);
    rig.engine.reset();
    std::filesystem::rename(away, folder);
    rig.engine = std::make_unique<Tarlume>();
    rig.engine->warnWhenLoadingTrack = false;
    d = rig.deck();
    ASSERT_TRUE(testsupport::loadSong(d, lead));
    EXPECT_EQ(d->getCuePoint(1), 1500);
}
