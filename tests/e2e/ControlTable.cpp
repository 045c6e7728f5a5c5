#include "ControlTable.h"

#include "Exercises.h"

#include <deque>

namespace e2e {

namespace {

// The options window, the same file in every skin, its rows per deck named "<what> <deck>": its texts first
// (as the settings the area starts with gave them), the routing heard, the other options; the calibrations
// last, as they leave the decks following timecode.
void addOptionsWindow(std::vector<Row>& rows) {
    static std::deque<std::string> names; // the rows' object names, kept for the rows
    auto add = [&](const std::string& name, const Exercise& exercise) {
        rows.push_back({names.emplace_back(name).c_str(), 0, "options", &exercise});
    };
    auto perDeck = [&](const std::string& what, const Exercise& exercise) {
        for (int deck = 1; deck <= 4; ++deck)
            add(what.substr(0, what.find('#')) + std::to_string(deck) + what.substr(what.find('#') + 1), exercise);
    };
    for (const char* text :
         {"output # device", "output # channels", "input # device", "input # channels", "type #", "mode #"})
        perDeck(text, kOptionText);
    add("mixing", kOptionText);
    add("skin", kOptionText);
    add("output 1 channels choose", kOutputPair);
    add("output 2 channels choose", kOutputPair);
    add("mixing toggle", kExternalMixer);
    for (const char* button : {"output # device choose", "input # device choose", "input # channels choose",
                               "type # choose", "mode # toggle"})
        perDeck(button, kOption);
    for (const char* button :
         {"output 3 channels choose", "output 4 channels choose", "skin choose", "columns toggle", "warn toggle"})
        add(button, kOption);
    perDeck("gain #", kOptionSlider);
    perDeck("variance #", kOptionSlider);
    add("controllers", kControllers);
    add("preferences", kPreferences);
    perDeck("calibrate #", kOptionCalibrate);
    add("close", kWindowButton);
}

} // namespace

// Areas (one end-to-end test each per skin): deck (transport, hot cues, displays), pitch, loops, eq
// (equaliser, filter, gain, volume), fx (effects), mixer (headphones, crossfader, master, meters,
// recording), timecode, browser (lists, menus, windows, quit last), video (the video view), options (the
// options window).
std::string objectOn(const Row& row, int deck) {
    std::string name = row.object;
    if (deck != row.deck && name.size() > 3 && name[0] == 'd' && name[1] == char('1' + row.deck) && name[2] == ' ')
        name[1] = char('1' + deck);
    return name;
}

const std::vector<SkinTable>& controlTables() {
    static std::vector<SkinTable> tables = {
        {"kolt-1280",
         {
             // The deck window: deck 1's layer (deck 2's layer shows the same objects).
             {"play", 0, "deck", &kPlay, {1, 2, 3}},
             {"cue", 0, "deck", &kCue},
             {"cue 1", 0, "deck", &kHotCue},
             {"cue 2", 0, "deck", &kHotCue},
             {"cue 3", 0, "deck", &kHotCue},
             {"cue 4", 0, "deck", &kHotCue},
             {"cue record", 0, "deck", &kCueMode},
             {"cue delete", 0, "deck", &kCueMode},
             {"overview", 0, "deck", &kOverview},
             {"waveform", 0, "deck", &kWaveform},
             {"cover", 0, "deck", &kCover},
             {"title", 0, "deck", &kTrackText},
             {"artist", 0, "deck", &kTrackText},
             {"elapsed", 0, "deck", &kTrackText},
             {"remaining", 0, "deck", &kTrackText},
             {"tempo", 0, "deck", &kTrackText},
             {"pitch", 0, "deck", &kTrackText},
             {"pitch range text", 0, "deck", &kTrackText},
             {"loop length", 0, "deck", &kTrackText},
             {"deck number", 0, "deck", &kTrackText},
             {"meter", 0, "deck", &kMeter},
             // Sync is pressed on deck 2's layer: the other deck of deck 1 is deck 2 either way.
             {"sync", 1, "pitch", &kSync},
             {"pitch fader", 0, "pitch", &kPitchFader},
             {"bend down", 0, "pitch", &kBend},
             {"bend up", 0, "pitch", &kBend},
             {"platter", 0, "pitch", &kPlatter},
             {"pitch range", 0, "pitch", &kPitchRange},
             {"pitch reset", 0, "pitch", &kPitchReset},
             {"key lock", 0, "pitch", &kKeyLock},
             // The loop button before the beat loops, which leave the deck's loop length at theirs.
             {"loop toggle", 0, "loops", &kLoopToggle},
             {"loop 1/4", 0, "loops", &kBeatLoop},
             {"loop 1/2", 0, "loops", &kBeatLoop},
             {"loop 1", 0, "loops", &kBeatLoop},
             {"loop 2", 0, "loops", &kBeatLoop},
             {"loop 4", 0, "loops", &kBeatLoop},
             {"loop 8", 0, "loops", &kBeatLoop},
             {"loop 16", 0, "loops", &kBeatLoop},
             {"loop 32", 0, "loops", &kBeatLoop},
             {"loop in", 0, "loops", &kLoopInOut},
             {"loop out", 0, "loops", &kLoopInOut},
             {"loop back", 0, "loops", &kLoopMove},
             {"loop forward", 0, "loops", &kLoopMove},
             {"loop half", 0, "loops", &kLoopMultiply},
             {"loop double", 0, "loops", &kLoopMultiply},
             {"stored loop 1", 0, "loops", &kStoredLoop},
             {"stored loop 2", 0, "loops", &kStoredLoop},
             {"tab eq", 0, "eq", &kTab},
             {"eq high", 0, "eq", &kEqKnob},
             {"eq mid", 0, "eq", &kEqKnob},
             {"eq low", 0, "eq", &kEqKnob},
             {"kill high", 0, "eq", &kKill, {1, 2, 3}},
             {"kill mid", 0, "eq", &kKill},
             {"kill low", 0, "eq", &kKill},
             {"filter", 0, "eq", &kFilterKnob},
             {"filter on", 0, "eq", &kFilterOn},
             {"gain", 0, "eq", &kGainAndReplayGain},
             {"volume", 0, "eq", &kVolume},
             {"tab fx", 0, "fx", &kTab},
             {"echo lamp", 0, "fx", &kEcho},
             {"echo amount", 0, "fx", &kEcho},
             {"echo length", 0, "fx", &kEcho},
             {"flanger on", 0, "fx", &kFlanger},
             {"flanger strength", 0, "fx", &kFlanger},
             {"flanger speed", 0, "fx", &kFlanger},
             {"crusher on", 0, "fx", &kCrusher},
             {"crusher bits", 0, "fx", &kCrusher},
             {"crusher downsample", 0, "fx", &kCrusher},
             {"gapper on", 0, "fx", &kGapper},
             {"gapper strength", 0, "fx", &kGapper},
             {"gapper length", 0, "fx", &kGapper},
             {"tab vinyl", 0, "timecode", &kTab},
             {"vinyl status", 0, "timecode", &kVinylStatus},
             {"vinyl on", 0, "timecode", &kVinyl},
             {"vinyl mode", 0, "timecode", &kVinylMode},
             {"calibrate", 0, "timecode", &kCalibrate},
             {"line in", 0, "timecode", &kLineIn},
             {"headphones", 0, "mixer", &kHeadphones},
             {"side a", 0, "mixer", &kSide},
             {"side b", 0, "mixer", &kSide},
             {"side thru", 0, "mixer", &kSide},
             // The mixer window.
             {"both waveforms", 0, "mixer", &kWaveform},
             {"crossfader", 0, "mixer", &kCrossfader},
             {"curve cut", 0, "mixer", &kCurve},
             {"curve linear", 0, "mixer", &kCurve},
             {"curve medium", 0, "mixer", &kCurve},
             {"curve power", 0, "mixer", &kCurve},
             {"master volume", 0, "mixer", &kMasterVolume},
             {"phones mix", 0, "mixer", &kCueMasterBlend},
             {"phones level", 0, "mixer", &kPhonesLevel},
             {"cue before effects", 0, "mixer", &kCuePreEffects},
             {"crossfader link", 0, "mixer", &kLink},
             {"master meter left", 0, "mixer", &kMeter},
             {"master meter right", 0, "mixer", &kMeter},
             {"clip", 0, "mixer", &kClip},
             {"cpu", 0, "mixer", &kCpu},
             {"zoom", 0, "mixer", &kZoom},
             {"session time", 0, "mixer", &kClockText},
             {"clock", 0, "mixer", &kClockText},
             {"record", 0, "mixer", &kRecord},
             {"record status", 0, "mixer", &kRecordStatus},
             // The browser, and the windows' buttons.
             {"search", 0, "browser", &kSearch},
             {"folders", 0, "browser", &kFolders},
             {"files", 0, "browser", &kFiles},
             {"playlist", 0, "browser", &kPlaylist},
             {"load", 0, "browser", &kLoad},
             {"columns", 0, "browser", &kColumns},
             {"focus", 0, "browser", &kFocus},
             {"new case", 0, "browser", &kNewCase},
             {"cases", 0, "browser", &kMenu},
             {"drives", 0, "browser", &kMenu},
             {"main menu", 0, "browser", &kMenu},
             {"swap left", 0, "browser", &kWindowButton},
             {"swap right", 0, "browser", &kWindowButton},
             {"options", 0, "browser", &kWindowButton},
             {"quit", 0, "browser", &kQuit},
             // The video view, in the browser's place.
             {"video", 0, "video", &kWindowButton},
             {"video close", 0, "video", &kWindowButton},
             {"deck 1 drop", 0, "video", &kDropbox},
             {"deck 2 drop", 1, "video", &kDropbox},
             {"deck 1 title", 0, "video", &kTrackText},
             {"deck 2 title", 1, "video", &kTrackText},
             {"deck 1 time", 0, "video", &kTrackText},
             {"deck 2 time", 1, "video", &kTrackText},
             {"deck 1 video", 0, "video", &kVideoView},
             {"deck 2 video", 1, "video", &kVideoView},
             {"mix video", 0, "video", &kVideoView},
             {"video fader", 0, "video", &kVideoFader},
             {"video link", 0, "video", &kLink},
         }},
        {"kolt-mini",
         {
             {"d1 play", 0, "deck", &kPlay, {1}},
             {"d1 cue", 0, "deck", &kCue, {1}},
             {"d1 cue 1", 0, "deck", &kHotCue, {1}},
             {"d1 cue 2", 0, "deck", &kHotCue, {1}},
             {"d1 cue 3", 0, "deck", &kHotCue, {1}},
             {"d1 cue 4", 0, "deck", &kHotCue, {1}},
             {"d1 cue record", 0, "deck", &kCueMode, {1}},
             {"d1 cue delete", 0, "deck", &kCueMode, {1}},
             {"d1 waveform", 0, "deck", &kWaveform, {1}},
             {"d1 overview", 0, "deck", &kOverview, {1}},
             {"d1 title", 0, "deck", &kTrackText, {1}},
             {"d1 artist", 0, "deck", &kTrackText, {1}},
             {"d1 elapsed", 0, "deck", &kTrackText, {1}},
             {"d1 remaining", 0, "deck", &kTrackText, {1}},
             {"d1 tempo", 0, "deck", &kTrackText, {1}},
             {"d1 pitch", 0, "deck", &kTrackText, {1}},
             {"d1 pitch range text", 0, "deck", &kTrackText, {1}},
             {"d1 loop length", 0, "deck", &kTrackText, {1}},
             {"d1 meter", 0, "deck", &kMeter, {1}},
             {"d1 deck menu", 0, "deck", &kMenu, {1}},
             {"d1 drop", 0, "deck", &kDropbox, {1}},
             {"d1 load", 0, "deck", &kLoad, {1}},
             {"d1 sync", 0, "pitch", &kSync, {1}},
             {"d1 pitch fader", 0, "pitch", &kPitchFader, {1}},
             {"d1 bend down", 0, "pitch", &kBend, {1}},
             {"d1 bend up", 0, "pitch", &kBend, {1}},
             {"d1 pitch range", 0, "pitch", &kPitchRange, {1}},
             {"d1 pitch reset", 0, "pitch", &kPitchReset, {1}},
             {"d1 key lock", 0, "pitch", &kKeyLock, {1}},
             {"d1 loop toggle", 0, "loops", &kLoopToggle, {1}},
             {"d1 loop 1", 0, "loops", &kBeatLoop, {1}},
             {"d1 loop 2", 0, "loops", &kBeatLoop, {1}},
             {"d1 loop 4", 0, "loops", &kBeatLoop, {1}},
             {"d1 loop 8", 0, "loops", &kBeatLoop, {1}},
             {"d1 loopin", 0, "loops", &kLoopInOut, {1}},
             {"d1 loopout", 0, "loops", &kLoopInOut, {1}},
             {"d1 loopback", 0, "loops", &kLoopMove, {1}},
             {"d1 loopfwd", 0, "loops", &kLoopMove, {1}},
             {"d1 loophalf", 0, "loops", &kLoopMultiply, {1}},
             {"d1 loopdouble", 0, "loops", &kLoopMultiply, {1}},
             {"d1 eq high", 0, "mixer", &kEqKnob, {1}},
             {"d1 eq mid", 0, "mixer", &kEqKnob, {1}},
             {"d1 eq low", 0, "mixer", &kEqKnob, {1}},
             {"d1 kill high", 0, "mixer", &kKill, {1}},
             {"d1 kill mid", 0, "mixer", &kKill, {1}},
             {"d1 kill low", 0, "mixer", &kKill, {1}},
             {"d1 filter", 0, "mixer", &kFilterKnob, {1}},
             {"d1 filter on", 0, "mixer", &kFilterOn, {1}},
             {"d1 gain", 0, "mixer", &kGain, {1}},
             {"d1 volume", 0, "mixer", &kVolume, {1}},
             {"d1 headphones", 0, "mixer", &kHeadphones, {1}},
             {"d1 side a", 0, "mixer", &kSide, {1}},
             {"d1 side thru", 0, "mixer", &kSide, {1}},
             {"d1 side b", 0, "mixer", &kSide, {1}},
             {"both waveforms", 0, "mixer", &kWaveform},
             {"crossfader", 0, "mixer", &kCrossfader},
             {"master volume", 0, "mixer", &kMasterVolume},
             {"phones mix", 0, "mixer", &kCueMasterBlend},
             {"phones level", 0, "mixer", &kPhonesLevel},
             {"clock", 0, "mixer", &kClockText},
             {"record", 0, "mixer", &kRecord},
             {"record status", 0, "mixer", &kRecordStatus},
             // The middle.
             {"search", 0, "browser", &kSearch},
             {"folders", 0, "browser", &kFolders},
             {"files", 0, "browser", &kFiles},
             {"drives", 0, "browser", &kMenu},
             {"main menu", 0, "browser", &kMenu},
             {"options", 0, "browser", &kWindowButton},
             {"quit", 0, "browser", &kQuit},
         }},
    };
    static const bool options = [] {
        for (SkinTable& table : tables)
            addOptionsWindow(table.rows);
        return true;
    }();
    (void)options;
    return tables;
}

} // namespace e2e
