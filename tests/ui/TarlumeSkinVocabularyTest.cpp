// The application's names, specifier numbers and effect tables.
#include "ui/TarlumeSkinInterface.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <sstream>
#include "support/MissingComponent.h"

namespace {

// Every application value name with its id, typed apart from the source table, in mixed case.
const char* const valueList = R"(
18 SearchField
32 Play BUTTON_PLAY
33 Pause Button_Pause
34 Cue Button_Cue
35 CueRec Button_CueRec Loop_StoreMode
36 CueDel Button_CueDel
37 CuePoint Button_CuePoint
38 CuePointSet
39 CuePointActive
40 Volume_Master
41 Volume_CueMaster
42 Volume_MasterTo
43 Volume_Player
44 Volume_Cue
45 Volume_CueAllChannels
46 CrossFader
47 CrossFaderTo
48 CrossFaderSpeed
49 CrossFaderSelection
50 CrossFaderType
51 CrossFaderCurve
52 Pan_LR Pan_LR_Player
53 Pitch
54 PitchTo
55 PitchRange
56 PitchBrakeSpeed
57 PitchStartupSpeed
58 PitchBend
59 PitchReset Button_PitchZero
60 Pitch_Up Button_PitchUp
61 Pitch_Down Button_PitchDown
62 PitchBend_Up Button_BendUp
63 PitchBend_Down Button_BendDown
64 Pitch_Reverse
65 Disc
66 JogWheelTouch
67 VU_Player
68 VU_Master
69 Limiter_Current
70 Clipping
71 TimeInfo
72 TimeRemaining
73 TimeElapsed
74 TrackLength
75 SeekFwd
76 SeekBck
77 TrackInfo
78 TrackInfoArtist
79 TrackInfoTitle
80 TrackInfoCustom
81 SongPicture
82 Loop
83 Loop_Move
84 Loop_MoveBeats
85 Loop_MoveMultiply
86 LoopLength_Multiply
87 LoopLength_Move
88 LoopLength_MoveBeats
89 Loop_SetIn
90 Loop_SetOut
91 LoopTrack
92 Loop_Store
93 Loop_Retrieve
94 Loop_RetrieveActive
95 Effect
96 EffectBPM
97 EffectBPMAligned
98 EffectOnOff Button_EffectOnOff
99 CuePreFX Effect_PFL EffectPFL
100 BPM BPMSong
101 BPMDetection
102 MatchBPM Button_PitchEqual
103 BPM_Up Button_BPMUp
104 BPM_Down Button_BPMDown
105 WaveformLocal
106 WaveformComplete
107 BothWaveforms
108 WaveformZoom
109 ImpulseResponse EqualizerResponse
110 CPUUsage
111 Record_Quick
112 VideoCrossfader
113 PlayerVideo
114 VideoMix
115 CrossfadersLock
116 LineInput
117 VinylControl FinalScratch MSPinky Vinyl_ModeInfo
118 Vinyl_Mode
119 VinylControl_Quality
120 VinylControl_Callibrate
121 VinylControl_SuperRelativeMode
122 VinylControl_SpeedMultiplier Vinyl_SpeedMultiplier
123 LoadSong
124 ForceLoadSong
125 MidiDevices
126 LoadPlaylist
127 ChangeFolder
128 CreateCase
129 BuildTagCache
130 DropBox
131 Keyboard
132 Button_ShowPL
133 Button_ShowDeck ShowDeck
134 Button_ShowFX
135 Button_ShowFXOneDeck
)";

} // namespace

TEST(SkinVocabulary, EveryNameMapsToItsIdInAnyCase) {
    TarlumeSkinInterface ui(nullptr);
    std::istringstream lines(valueList);
    std::string line;
    int names = 0, ids = 0;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        int id = 0;
        if (!(words >> id)) continue;
        ++ids;
        std::string name;
        while (words >> name) {
            ++names;
            EXPECT_EQ(ui.getValue(name), id) << name;
        }
    }
    EXPECT_EQ(names, 131);
    EXPECT_EQ(ids, 105);
    // The generic names still reach the base; nobody else knows the rest.
    EXPECT_EQ(ui.getValue("CurrentDeck"), VALUE_CURRENTDECK);
    EXPECT_EQ(ui.getValue("tabselect"), VALUE_TABSELECT);
    EXPECT_EQ(ui.getValue("button_playx"), 0);
    EXPECT_EQ(ui.getValue(""), 0);
}

TEST(SkinVocabulary, TypeAndActionNames) {
    TarlumeSkinInterface ui(nullptr);
    EXPECT_EQ(ui.getType("SPECIAL"), OBJECT_SPECIAL);
    EXPECT_EQ(ui.getType("Playlist"), OBJECT_PLAYLIST);
    EXPECT_EQ(ui.getType("button"), OBJECT_BUTTON);
    EXPECT_EQ(ui.getType("specials"), 0);
    EXPECT_EQ(ui.getAction("Bend"), ACTION_BEND);
    EXPECT_EQ(ui.getAction("reset"), ACTION_RESET);
    EXPECT_EQ(ui.getAction("ben"), ACTION_NONE);
}

TEST(SkinVocabulary, SpecifierNumbersIgnoreTheLocaleAndReadTheNumberTheyStartWith) {
    struct Case {
        const char* spec;
        double expected;
    };
    // The number a specifier starts with, 0 for none; "nan", "inf" and overflows count as none.
    const Case cases[] = {{"-1", -1.0}, {"", 7.0},    {"pl", 0.0},  {"3x", 3.0},    {"2.5", 2.5}, {" 4.04 ", 4.04},
                          {"+2", 2.0},  {"nan", 0.0}, {"inf", 0.0}, {"1e999", 0.0}, {"2,5", 2.0}, {"0", 0.0}};
    auto check = [&](const char* where) {
        for (const Case& c : cases) {
            std::string spec = c.spec;
            EXPECT_EQ(TarlumeSkinInterface::getDblFromValSpec(&spec, 7.0), c.expected)
                << where << " '" << c.spec << "'";
        }
        EXPECT_EQ(TarlumeSkinInterface::getDblFromValSpec(nullptr, 7.0), 7.0);
    };
    check("C locale");
    const char* old = std::setlocale(LC_ALL, nullptr);
    std::string saved = old ? old : "C";
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
        // scripts/install-deps generates it; CI must not pass without the check.
        TARLUME_MISSING_COMPONENT() << "locale de_DE.UTF-8 missing";
    }
    check("de_DE");
    std::setlocale(LC_ALL, saved.c_str());
}

// What each name drives is checked through the interface (SkinWrite.EveryEffectParameterNameDrivesItsOwnParameter).
TEST(SkinVocabulary, EffectNamesIgnoreCaseAndLeaveTheSpecifierAlone) {
    std::string spec = "EQ_Low";
    const tEffectParam* row = TarlumeSkinInterface::findEffectParam(&spec);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->parameter, 0);
    EXPECT_EQ(spec, "EQ_Low");
    spec = "Flanger_Speed";
    row = TarlumeSkinInterface::findEffectParam(&spec);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->effect, 9);
    spec = "eq_low_kill";
    EXPECT_EQ(TarlumeSkinInterface::findEffectParam(&spec), nullptr);
    EXPECT_EQ(TarlumeSkinInterface::findEffectParam(nullptr), nullptr);

    spec = "3-Band Equalizer";
    EXPECT_EQ(TarlumeSkinInterface::effectOfName(&spec), 6);
    spec = "FILTER";
    EXPECT_EQ(TarlumeSkinInterface::effectOfName(&spec), 15);
    EXPECT_EQ(spec, "FILTER");
    spec = "Echo";
    EXPECT_EQ(TarlumeSkinInterface::effectOfName(&spec), TarlumeSkinInterface::EFFECTNAME_ECHO);
    spec = "TempoControl";
    EXPECT_EQ(TarlumeSkinInterface::effectOfName(&spec), TarlumeSkinInterface::EFFECTNAME_TEMPOCONTROL);
    spec = "reverb";
    EXPECT_EQ(TarlumeSkinInterface::effectOfName(&spec), TarlumeSkinInterface::EFFECTNAME_NONE);
}
