// The skin script language: parsing, passes and their key sections, commands, conditions,
// waits, substitution, arithmetic and triggers.
#include "SkinTestSupport.h"

#include "skin/Skin.h"
#include "skin/scripts/SkinScript.h"
#include "skin/scripts/SkinScriptTrigger.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

struct ScriptFixture {
    TestSkinInterface iface;
    Skin skin{&iface};
    int scripts = 0;

    SkinScript* make(const std::string& text, const std::string& name = "") {
        return skin.addScript(name.empty() ? "s" + std::to_string(scripts++) : name, text);
    }
    // What the passes did, in a compact form: "setabs<spec>", "<spec>+" / "<spec>-" for presses and
    // releases of the test values, and "var<name>" for variables set to "yes".
    std::string effects() {
        std::string out;
        auto add = [&](const std::string& e) { out += (out.empty() ? "" : " ") + e; };
        for (auto& w : iface.writes)
            add(std::get<1>(w) + "=" + RecordingGL::fmt(float(std::get<3>(w))));
        for (auto& c : iface.clicks)
            if (c.value == TEST_VALUE || c.value == TEST_VALUE2) add(c.spec + (c.released ? "-" : "+"));
        for (int i = 0; i < skin.getNbVariables(); ++i)
            if (skin.getVariableAt(i).value == "yes") add("var" + skin.getVariableAt(i).name);
        return out;
    }
    void reset() {
        iface.clear();
        skin.variables.clear();
    }
};

// The commands of the gate matrix; `tag` tells the copies apart.
std::string commands(const std::string& tag) {
    return "setabs testvalue,a" + tag + " 1\nsetrel testvalue,b" + tag + " 0.5\nclick testvalue,C" + tag +
           "\nclickdown testvalue,D" + tag + "\nclickup testvalue,E" + tag + "\nsetvar v" + tag +
           " yes\nexecutescript t" + tag + "\n";
}

} // namespace

TEST(SkinScript, LinesAreTrimmedLowerCasedAndSplit) {
    ScriptFixture f;
    SkinScript* s = f.make("  Click Browser,Folder One 2 \r\n\tsetvar x 1\n\n Status MyValue\nstatus playing,x\n"
                           "KeyDown:\nclick testvalue,%player%\n");
    ASSERT_EQ(s->getNbLines(), 5);
    EXPECT_EQ(s->getLine(0), "click browser,folder one 2");
    EXPECT_EQ(s->getClickSpecifier(0), "Folder");
    EXPECT_EQ(s->getLine(1), "\tsetvar x 1");   // a tab is not trimmed: the line is no command
    EXPECT_EQ(s->getLine(2), "status myvalue"); // "Status" is not "status "
    EXPECT_EQ(s->getStatusLine(), "status playing,x");
    EXPECT_TRUE(s->hasKeyDownSection);
    EXPECT_FALSE(s->hasKeyUpSection);
    EXPECT_EQ(s->getClickSpecifier(4), "%player%"); // substituted at run time, its case kept
    s->executeScript(false, 0, false, 0, 0);
    EXPECT_EQ(f.skin.getVariable("x"), "");

    SkinScript* escaped = f.make("setvar a 1\\nsetvar b 2");
    EXPECT_EQ(escaped->getNbLines(), 2);
    SkinScript* real = f.make("setvar a 1\\n\nsetvar b 2");
    EXPECT_EQ(real->getNbLines(), 2);
    EXPECT_EQ(real->getLine(0), "setvar a 1\\n");
    SkinScript inline_(&f.iface, "script:setvar q 1\\nsetvar r 2");
    EXPECT_EQ(inline_.getNbLines(), 2);
}

TEST(SkinScript, GateMatrixOfPassesAndSections) {
    struct Case {
        const char* name;
        std::string text;
        bool release;
        bool valueCall;
        const char* expected;
    };
    std::string plain = commands("0");
    std::string both = "keydown:\n" + commands("1") + "keyup:\n" + commands("2");
    std::string upOnly = commands("0") + "keyup:\n" + commands("2");
    const Case cases[] = {
        {"plain press", plain, false, false, "a0=1 b0=0.5 C0+ x0+ varv0"},
        {"plain release", plain, true, false, "C0- x0- varv0"},
        {"sections press", both, false, false, "a1=1 b1=0.5 C1+ C1- D1+ E1- x1+ x1- varv1"},
        {"sections release", both, true, false, "a2=1 b2=0.5 C2+ C2- D2+ E2- x2+ x2- varv2"},
        {"value call", plain, false, true, "a0=1 b0=0.5 C0+ C0- D0+ E0- x0+ x0- varv0"},
        {"value call ends at keyup", upOnly, false, true, "a0=1 b0=0.5 C0+ C0- D0+ E0- x0+ x0- varv0"},
        // Lines before the marker run as a plain release, then the key-up section in full.
        {"release of a keyup-only script", upOnly, true, false,
         "a2=1 b2=0.5 C0- x0- C2+ C2- D2+ E2- x2+ x2- varv0 varv2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptFixture f;
        for (const char* tag : {"0", "1", "2"})
            f.make("click testvalue2,x" + std::string(tag), "t" + std::string(tag));
        SkinScript* s = f.make(c.text);
        s->executeScript(c.release, 0, c.valueCall, 0, 0);
        EXPECT_EQ(f.effects(), c.expected);
    }
}

TEST(SkinScript, WaitsResumeAndStop) {
    ScriptFixture f;
    f.iface.clock = 10000;
    SkinScript* s =
        f.make("setvar step one\nwait 2 beats\nsetvar step two\nwait 250 ms extra\nsetvar step three", "waiter");
    s->executeScript(false, 1, false, 0.5, 0);
    EXPECT_EQ(f.skin.getVariable("step"), "one");
    EXPECT_EQ(s->resumeTime[1], 11000); // 2 beats at 120 BPM
    EXPECT_EQ(s->resumeLine[1], 2);
    f.iface.clock = 11000;
    f.skin.handleTriggers(); // not yet: strictly later
    EXPECT_EQ(f.skin.getVariable("step"), "one");
    f.iface.clock = 11500;
    f.skin.handleTriggers();
    EXPECT_EQ(f.skin.getVariable("step"), "two");
    EXPECT_EQ(s->resumeTime[1], 11250); // counted from the previous resume time, not the clock
    f.iface.clock = 11251;
    f.skin.handleTriggers();
    EXPECT_EQ(f.skin.getVariable("step"), "three");
    EXPECT_EQ(s->resumeTime[1], 0);

    // A second wait of the same script on the same deck replaces the first.
    SkinScript* w = f.make("wait 1000 ms\nsetvar done yes", "w");
    f.iface.clock = 20000;
    w->executeScript(false, 0, false, 0, 0);
    f.iface.clock = 20500;
    w->executeScript(false, 0, false, 0, 0);
    EXPECT_EQ(w->resumeTime[0], 21500);
    EXPECT_EQ(w->startCount[0], 1);
    f.iface.clock = 21200;
    f.skin.handleTriggers();
    EXPECT_EQ(f.skin.getVariable("done"), "");
    f.iface.clock = 21600;
    f.skin.handleTriggers();
    EXPECT_EQ(f.skin.getVariable("done"), "yes");

    // stopscript: a waiting pass never resumes.
    f.skin.setVariable("done", "");
    w->executeScript(false, 2, false, 0, 0);
    f.make("stopscript w 2")->executeScript(false, 0, false, 0, 0);
    EXPECT_EQ(w->resumeTime[2], 0);
    f.iface.clock = 99999;
    f.skin.handleTriggers();
    EXPECT_EQ(f.skin.getVariable("done"), "");

    // A wait holds back on release passes (gate P).
    SkinScript* r = f.make("wait 1 ms\nsetvar after yes");
    r->executeScript(true, 0, false, 0, 0);
    EXPECT_EQ(f.skin.getVariable("after"), "yes");
}

TEST(SkinScript, ConditionsChain) {
    ScriptFixture f;
    std::string spec = "s";
    f.iface.numbers[std::make_tuple(TEST_VALUE, spec, 0)] = 0.75;
    f.iface.numbers[std::make_tuple(TEST_VALUE, spec, 2)] = 1;
    struct Case {
        const char* line;
        bool runs;
    };
    const Case cases[] = {
        {"if 1 setvar r yes", true},
        {"if 1.0 setvar r yes", true},
        {"if 0 setvar r yes", false},
        {"ifnot 0 setvar r yes", true},
        {"ifnot \"\" setvar r yes", true},
        {"if testvalue,s setvar r yes", true},
        {"if testvalue,s,1 setvar r yes", false},
        {"if testvalue,s>=0.75 setvar r yes", true},
        {"if testvalue,s>0.75 setvar r yes", false},
        {"if testvalue,s<1/2+1 setvar r yes", false}, // "/" splits before "+": 1/(2+1)
        {"if testvalue,s=3/4 setvar r yes", true},
        {"if testvalue,s,2=1 ifnot testvalue,s,1 setvar r yes", true},
        {"if testvalue,s,2=1 if testvalue,s,1 setvar r yes", false},
        {"if 2>1 setvar r yes", true},
        {"if unknownname setvar r yes", false},
        {"if testvalue,s,9 setvar r yes", false}, // deck out of range
        {"if 1", false},                          // too few words: no command
    };
    for (const Case& c : cases) {
        f.reset();
        f.make(c.line)->executeScript(false, 0, false, 0, 0);
        EXPECT_EQ(f.skin.getVariable("r") == "yes", c.runs) << c.line;
    }
}

TEST(SkinScript, SubstitutionQuotingAndWords) {
    ScriptFixture f;
    f.skin.setVariable("name", "deck%player%");
    f.skin.setVariable("a", "%b%");
    f.skin.setVariable("b", "loop");
    f.make("setvar out %player%-%value%-%name%-%missing%\nsetvar chain %a%\nsetvar \"two words\" x\n"
           "setvar q \"quoted text\" extra\nsetvar  double")
        ->executeScript(false, 3, true, 0.25, 0);
    EXPECT_EQ(f.skin.getVariable("out"), "3-0.25-deck%player%-%missing%");
    EXPECT_EQ(f.skin.getVariable("chain"), "loop"); // one pass over the variables in creation order
    EXPECT_EQ(f.skin.getVariable("two words"), "x");
    EXPECT_EQ(f.skin.getVariable("q"), "quoted text");
    EXPECT_EQ(f.skin.getVariable(""), "double"); // two spaces make an empty word

    // Each variable holding the next one twice would double the line 24 times: substitution
    // stops growing it at the bound.
    ScriptFixture g;
    for (int i = 0; i < 24; ++i) {
        std::string next = "%v" + std::to_string(i + 1) + "%";
        g.skin.setVariable("v" + std::to_string(i), next + next);
    }
    g.skin.setVariable("v24", "x");
    g.make("setvar r %v0%")->executeScript(false, 0, false, 0, 0);
    std::string r = g.skin.getVariable("r");
    EXPECT_GT(r.size(), SkinScript::maxLineLength / 4);
    EXPECT_LE(r.size(), SkinScript::maxLineLength);
}

TEST(SkinScript, Arithmetic) {
    struct Case {
        const char* expr;
        double value;
    };
    const Case cases[] = {{"1+2*3", 9}, {"2*3+4", 14}, {"6/2+1", 2},  {"10-2-3", 5}, {"8/2/2", 2},
                          {"5-2+1", 4}, {"-5", -5},    {"-5*2", -10}, {"0.5", 0.5},  {"abc", 0},
                          {"", 0},      {"1/0", 0},    {"0/0", 0},    {"2*", 2},     {"1e308*10", 0}};
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(SkinScript::scriptEval(c.expr), c.value) << c.expr;
}

TEST(SkinScript, ValuesVariablesAndTriggers) {
    ScriptFixture f;
    std::string spec = "s";
    f.iface.numbers[std::make_tuple(TEST_VALUE, spec, 1)] = 0.5;
    f.iface.texts[std::make_tuple(TEST_TEXT, spec, 0)] = "Title";
    f.make("setvar2 v testvalue,s 1 value\nsetvar2 r testvalue,s 1 valuerel\nsetvar2 b testvalue,s 1 boolean\n"
           "setvar2 t testtext,s\nsetvar2 n testvalue,s 1 boolean\nsetpersistent p 7\nsetpersistent v 9\n"
           "setabs testvalue,x 1/0\nsetabs testvalue,y 2 6\nclick testvalue,z 9\nsetvar2 o testvalue,s 8 value")
        ->executeScript(false, 0, false, 0, 0);
    EXPECT_EQ(f.skin.getVariable("v"), "0.50");
    EXPECT_EQ(f.skin.getVariable("r"), "0.50");
    EXPECT_EQ(f.skin.getVariable("b"), "1");
    EXPECT_EQ(f.skin.getVariable("t"), "Title");
    EXPECT_EQ(f.skin.getVariable("p"), "7");
    EXPECT_EQ(f.skin.getVariable("o"), ""); // deck out of range
    EXPECT_NE(f.skin.getVariablesXML().find("<NAME>v</NAME><VALUE>0.50</VALUE>"), std::string::npos);
    // A division by zero writes 0, never infinity; decks out of range write nothing.
    ASSERT_EQ(f.iface.writes.size(), 1u);
    EXPECT_EQ(std::get<3>(f.iface.writes[0]), 0.0);
    EXPECT_TRUE(f.iface.clicksOf(TEST_VALUE).empty());

    // addtrigger replaces a trigger of the same name; string triggers fire on a change of text.
    f.make("addtrigger tr 1 string testtext,s setvar fired yes\naddtrigger tr -1 string testtext,s setvar fired "
           "yes\naddtrigger other 1 bool testvalue,s,9 nop")
        ->executeScript(false, 0, false, 0, 0);
    ASSERT_EQ(f.skin.getNbTriggers(), 1);
    EXPECT_EQ(f.skin.getTrigger(0)->count, -1);
    EXPECT_EQ(f.skin.getTrigger(0)->scriptName, "script:setvar fired yes");
    f.skin.handleTriggers();
    EXPECT_EQ(f.skin.getVariable("fired"), "");
    f.iface.texts[std::make_tuple(TEST_TEXT, spec, 0)] = "Other";
    f.skin.handleTriggers();
    EXPECT_EQ(f.skin.getVariable("fired"), "yes");
    f.make("removetrigger tr")->executeScript(false, 0, false, 0, 0);
    EXPECT_EQ(f.skin.getNbTriggers(), 0);
}

TEST(SkinScript, RecursionAndDecksAreBounded) {
    ScriptFixture f;
    f.skin.setVariable("depth", "");
    SkinScript* self = f.make("setvar depth %depth%x\nexecutescript self", "self");
    self->executeScript(false, 0, false, 0, 0);
    EXPECT_EQ(f.skin.getVariable("depth").size(), static_cast<size_t>(SkinScript::maxDepth));

    // Two nested passes a level (a key section runs its target as a press and a release).
    f.skin.setVariable("count", "");
    f.make("setvar count %count%x\nkeydown:\nexecutescript twice\nexecutescript twice", "twice")
        ->executeScript(false, 0, false, 0, 0);
    EXPECT_GT(f.skin.getVariable("count").size(), static_cast<size_t>(SkinScript::maxDepth));
    EXPECT_LE(f.skin.getVariable("count").size(), static_cast<size_t>(SkinScript::maxNestedPasses + 1));

    SkinScript* s = f.make("setvar ran yes\nexecutescript other 7\nstopscript other 12\nexecutescript other -1");
    s->executeScript(false, 4, false, 0, 0);
    s->executeScript(false, -1, false, 0, 0);
    EXPECT_EQ(f.skin.getVariable("ran"), "");
    f.make("setvar ran2 yes", "other");
    s->executeScript(false, 3, false, 0, 0);
    EXPECT_EQ(f.skin.getVariable("ran"), "yes");
    EXPECT_EQ(f.skin.getVariable("ran2"), "");
    EXPECT_FALSE(s->getValueBool(5));
    EXPECT_EQ(s->getValueDbl(-2), 0.0);
}

TEST(SkinScript, StatusLine) {
    ScriptFixture f;
    std::string spec = "deck1";
    f.iface.numbers[std::make_tuple(TEST_VALUE, spec, 2)] = 0.4;
    f.skin.setVariable("which", "deck");
    SkinScript* s = f.make("status testvalue,%which%%player% 2\nnop");
    EXPECT_DOUBLE_EQ(s->getValueDbl(1), 0.4);
    EXPECT_TRUE(s->getValueBool(1));
    EXPECT_FALSE(s->getValueBool(0));
    EXPECT_FALSE(f.make("status")->getValueBool(0));
    EXPECT_EQ(f.make("nop")->getValueDbl(0), 0.0);
}
