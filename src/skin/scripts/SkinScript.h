// A skin script: lower-cased command lines that drive skin values as clicks and sliders do,
// set variables, wait, run other scripts and install triggers. Each deck has its own pass state
// (a pass may wait and be resumed by the skin's per-frame tick). Main thread.
#pragma once

#include <string>
#include <vector>

class Skin;
class SkinInterface;

class SkinScript {
public:
    // Nested "executescript" passes deeper than this do nothing (a script running itself).
    static constexpr int maxDepth = 32;
    // Nor do more than this many nested passes under one outermost pass: scripts that run
    // themselves twice a level (key sections, several lines) would otherwise double each level.
    static constexpr int maxNestedPasses = 1024;
    // Longest line substitution makes (bytes).
    static constexpr size_t maxLineLength = 1 << 20;
    // Key sections of a pass.
    enum { SECTION_NONE = -1, SECTION_KEYDOWN = 0, SECTION_KEYUP = 1 };

    // An empty script; a name beginning with "script:" brings its own text.
    SkinScript(SkinInterface* iface, const std::string& name);
    // Read from a file line by line; a file that cannot be opened gives no lines.
    SkinScript(SkinInterface* iface, const std::string& path, const std::string& name);
    virtual ~SkinScript() = default;

    void addCommand(const std::string& line);
    void initFromString(const std::string& text);

    // One pass. `line` is 0 for a fresh pass, the resume line for a resumed one. Decks outside
    // 0..3 do nothing.
    void executeScript(bool release, int deck, bool valueCall, double value, int line);

    // The status line's value for a deck.
    bool getValueBool(int deck);
    double getValueDbl(int deck);

    // Arithmetic without brackets ("*", then "/", "+", "-" split in that order); a result that is
    // not finite gives 0.
    static double scriptEval(const std::string& expr);

    const std::string& getName() const { return name; }
    int getNbLines() const { return static_cast<int>(lines.size()); }
    const std::string& getLine(int i) const { return lines[static_cast<size_t>(i)]; }
    const std::string& getClickSpecifier(int i) const { return clickSpecifiers[static_cast<size_t>(i)]; }
    const std::string& getStatusLine() const { return statusLine; }

    SkinInterface* interface;
    std::string filePath;
    std::string name;
    bool hasKeyUpSection = false;
    bool hasKeyDownSection = false;
    // Per deck 0..3.
    int startCount[4] = {0, 0, 0, 0};
    int resumeLine[4] = {0, 0, 0, 0};
    double resumeTime[4] = {0, 0, 0, 0}; // ms, the interface's clock; 0 when nothing waits
    bool savedRelease[4] = {false, false, false, false};
    bool savedValueCall[4] = {false, false, false, false};
    double savedValue[4] = {0, 0, 0, 0};
    int savedSection[4] = {SECTION_NONE, SECTION_NONE, SECTION_NONE, SECTION_NONE};
    int savedDeck[4] = {0, 1, 2, 3};
    bool stopFlag[4] = {false, false, false, false};

private:
    std::vector<std::string> lines;
    std::vector<bool> hasPlaceholder;
    std::vector<std::string> clickSpecifiers;
    std::string statusLine;

    Skin* skin() const;
    std::string substitute(const std::string& line, int deck, const double* value) const;
    bool evalCondition(const std::string& word, int deck);
    // Runs one command; false when the pass ends here.
    bool runCommand(std::vector<std::string>& words, size_t lineIndex, bool release, int deck, double value,
                    double clock, int& section);
    bool statusValue(int deck, bool asBool, double* number);
};
