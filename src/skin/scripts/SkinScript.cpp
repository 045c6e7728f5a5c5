#include "skin/scripts/SkinScript.h"

#include "foundation/modTools.h"
#include "skin/Skin.h"
#include "skin/SkinInterface.h"
#include "skin/scripts/SkinScriptTrigger.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Nesting of passes on this thread ("executescript" runs its target before going on), and the
// nested passes the outermost pass still allows.
thread_local int passDepth = 0;
thread_local int nestedPassesLeft = 0;

std::string trimSpaces(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::vector<std::string> words(const std::string& line) {
    return strsplitquotes(line, " ", "\"", false);
}

std::string word(const std::vector<std::string>& w, size_t i) {
    return i < w.size() ? w[i] : std::string();
}

// "name,spec[,deck]": the parts of a value word.
struct ValueWord {
    std::string name; // untrimmed
    std::string spec; // trimmed
    std::string deck; // trimmed, empty when absent
};

ValueWord splitValueWord(const std::string& text) {
    std::vector<std::string> parts = strsplit(text, ",");
    ValueWord v;
    v.name = parts.empty() ? std::string() : parts[0];
    if (parts.size() > 1) v.spec = strtrim(parts[1]);
    if (parts.size() > 2) v.deck = strtrim(parts[2]);
    return v;
}

double finiteOrZero(double v) {
    return std::isfinite(v) ? v : 0.0;
}

} // namespace

SkinScript::SkinScript(SkinInterface* iface, const std::string& scriptName) : interface(iface), name(scriptName) {
    if (isLeft(scriptName, "script:")) initFromString(scriptName.substr(7));
}

SkinScript::SkinScript(SkinInterface* iface, const std::string& path, const std::string& scriptName)
    : interface(iface), filePath(path), name(scriptName) {
    std::string text = readFileContents(path);
    for (const std::string& line : strsplit(text, "\n"))
        addCommand(line);
}

Skin* SkinScript::skin() const {
    return interface ? interface->skin : nullptr;
}

void SkinScript::initFromString(const std::string& text) {
    std::vector<std::string> pieces = strsplit(text, "\n");
    if (pieces.size() == 1 && text.find("\\n") != std::string::npos) pieces = strsplit(text, "\\n");
    for (const std::string& piece : pieces)
        addCommand(piece);
}

void SkinScript::addCommand(const std::string& raw) {
    std::string line = trimSpaces(strreplace(raw, "\r", ""));
    if (line.empty()) return;
    if (isLeft(line, "status ")) {
        statusLine = strtolower(line);
        return;
    }
    std::string lower = strtolower(line);
    std::string specifier;
    if (isLeft(lower, "click")) {
        std::vector<std::string> parts = strsplit(word(words(line), 1), ",");
        if (parts.size() >= 2) {
            specifier = strtrim(parts[1]);
        }
    } else if (isLeft(lower, "keydown:")) {
        hasKeyDownSection = true;
    } else if (isLeft(lower, "keyup:")) {
        hasKeyUpSection = true;
    }
    lines.push_back(lower);
    hasPlaceholder.push_back(lower.find('%') != std::string::npos);
    clickSpecifiers.push_back(specifier);
}

std::string SkinScript::substitute(const std::string& line, int deck, const double* value) const {
    std::string out = strreplace(line, "%player%", intToStr(deck));
    if (value) out = strreplace(out, "%value%", dblToStr(*value));
    // One pass over the variables: values holding "%" are not expanded again.
    if (Skin* s = skin()) {
        for (int i = 0; i < s->getNbVariables() && out.find('%') != std::string::npos; ++i) {
            const tVariable& variable = s->getVariableAt(i);
            std::string placeholder = "%" + variable.name + "%";
            // Values that hold later variables twice double the line at each: a line that would
            // grow past the bound keeps the placeholder, as an unknown name does.
            size_t hits = 0;
            for (size_t at = out.find(placeholder); at != std::string::npos;
                 at = out.find(placeholder, at + placeholder.size()))
                ++hits;
            if (hits == 0) continue;
            if (variable.value.size() > placeholder.size() &&
                (variable.value.size() - placeholder.size()) >
                    (maxLineLength - std::min(out.size(), maxLineLength)) / hits)
                continue;
            out = strreplace(out, placeholder, variable.value);
        }
    }
    return out;
}

double SkinScript::scriptEval(const std::string& expr) {
    auto parts = [&](const char* op) { return strsplit(expr, op); };
    double result;
    if (expr.find('*') != std::string::npos) {
        result = 1.0;
        for (const std::string& part : parts("*"))
            result *= scriptEval(part);
    } else if (expr.find('/') != std::string::npos) {
        std::vector<std::string> p = parts("/");
        result = scriptEval(p[0]);
        for (size_t i = 1; i < p.size(); ++i)
            result /= scriptEval(p[i]);
    } else if (expr.find('+') != std::string::npos) {
        result = 0.0;
        for (const std::string& part : parts("+"))
            result += scriptEval(part);
    } else if (expr.find('-') == std::string::npos) {
        result = strToDbl(expr);
    } else {
        std::vector<std::string> p = parts("-");
        result = p[0].empty() ? 0.0 : scriptEval(p[0]);
        for (size_t i = 1; i < p.size(); ++i)
            result -= scriptEval(p[i]);
    }
    // A division by zero must not reach a volume or pitch as infinity.
    return finiteOrZero(result);
}

bool SkinScript::evalCondition(const std::string& text, int deck) {
    static const char* const operators[] = {">=", "<=", ">", "<", "="};
    std::string left = text;
    const char* op = nullptr;
    double right = 0.0;
    for (const char* candidate : operators) {
        size_t at = text.find(candidate);
        if (at == std::string::npos) continue;
        op = candidate;
        right = scriptEval(text.substr(at + std::string(candidate).size()));
        left = text.substr(0, at);
        break;
    }
    ValueWord v = splitValueWord(left);
    std::string valueName = strtrim(v.name);
    int valueDeck = v.deck.empty() ? deck : strToInt(v.deck);
    SkinInterface* iface = interface;
    if (op) {
        double l = scriptEval(valueName);
        if (l == 0 && iface && isValidDeck(valueDeck))
            l = iface->getValueDbl(iface->getValue(valueName), &v.spec, valueDeck);
        std::string o = op;
        if (o == ">=") return l >= right;
        if (o == "<=") return l <= right;
        if (o == ">") return l > right;
        if (o == "<") return l < right;
        return l == right;
    }
    if (valueName == "1" || valueName == "1.0") return true;
    if (valueName.empty() || valueName == "0") return false;
    if (!iface || !isValidDeck(valueDeck)) return false;
    return iface->getValueBool(iface->getValue(valueName), &v.spec, valueDeck, nullptr);
}

void SkinScript::executeScript(bool release, int deck, bool valueCall, double value, int line) {
    if (!isValidDeck(deck) || passDepth >= maxDepth) return;
    if (passDepth == 0)
        nestedPassesLeft = maxNestedPasses;
    else if (nestedPassesLeft-- <= 0)
        return;
    double clock = interface ? interface->getTime() : timeGetExactTime();
    int section;
    if (line <= 0) {
        line = 0;
        ++startCount[deck];
        section = valueCall ? SECTION_KEYDOWN : SECTION_NONE;
        if (resumeTime[deck] == 0) {
            savedRelease[deck] = release;
            savedValueCall[deck] = valueCall;
            savedValue[deck] = value;
            savedSection[deck] = section;
            savedDeck[deck] = deck;
        }
    } else {
        if (resumeTime[deck] > 0) clock = resumeTime[deck]; // waits in a row add up without drift
        resumeTime[deck] = 0;
        resumeLine[deck] = 0;
        section = savedSection[deck];
    }
    stopFlag[deck] = false;

    ++passDepth;
    for (size_t i = static_cast<size_t>(line); i < lines.size(); ++i) {
        if (stopFlag[deck]) break;
        std::vector<std::string> w = words(hasPlaceholder[i] ? substitute(lines[i], deck, &value) : lines[i]);
        while (w.size() >= 3 && (w[0] == "if" || w[0] == "ifnot")) {
            bool holds = evalCondition(w[1], deck);
            if (holds == (w[0] == "if")) {
                w.erase(w.begin(), w.begin() + 2);
            } else {
                w[0] = "nop";
                break;
            }
        }
        if (!runCommand(w, i, release, deck, value, clock, section)) break;
    }
    --passDepth;
}

bool SkinScript::runCommand(std::vector<std::string>& w, size_t lineIndex, bool release, int deck, double value,
                            double clock, int& section) {
    if (w.empty()) return true;
    const std::string& command = w[0];
    bool none = section == SECTION_NONE, down = section == SECTION_KEYDOWN, up = section == SECTION_KEYUP;
    bool gateP = ((none || down) && !release) || (up && release);
    bool gateB = none || (down && !release) || (up && release);
    bool gateK = (down && !release) || (up && release);
    SkinInterface* iface = interface;
    Skin* s = skin();

    if (command == "keydown:") {
        if (release && !hasKeyUpSection) return false;
        section = SECTION_KEYDOWN;
    } else if (command == "keyup:") {
        if (!release && !hasKeyDownSection) return false;
        section = SECTION_KEYUP;
    } else if ((command == "setabs" || command == "setrel") && w.size() >= 3 && gateP) {
        ValueWord v = splitValueWord(w[1]);
        int d = w.size() > 3 ? strToInt(w[3]) : 0;
        if (!iface || !isValidDeck(d)) return true;
        int id = iface->getValue(v.name);
        if (command == "setabs")
            iface->setValueDbl(id, &v.spec, d, scriptEval(w[2]));
        else
            iface->setValueDblRelative(id, &v.spec, d, scriptEval(w[2]));
    } else if ((command == "click" || command == "clickdown" || command == "clickup") && w.size() >= 2) {
        bool gate = command == "click" ? gateB : gateK;
        if (!gate || !iface) return true;
        ValueWord v = splitValueWord(w[1]);
        std::string spec = clickSpecifiers[lineIndex].empty() ? v.spec : clickSpecifiers[lineIndex];
        // Placeholders are filled in the specifier as written: paths keep their letter case.
        if (!clickSpecifiers[lineIndex].empty() && spec.find('%') != std::string::npos)
            spec = substitute(spec, deck, &value);
        int d = w.size() > 2 ? strToInt(w[2]) : 0;
        if (d < 0) d = 0;
        if (!isValidDeck(d)) return true;
        int id = iface->getValue(strtrim(v.name));
        if (command == "clickdown") {
            iface->handleMouseClickSimple(id, spec, d, false);
        } else if (command == "clickup") {
            iface->handleMouseClickSimple(id, spec, d, true);
        } else if (none) {
            iface->handleMouseClickSimple(id, spec, d, release);
        } else {
            iface->handleMouseClickSimple(id, spec, d, false);
            iface->handleMouseClickSimple(id, spec, d, true);
        }
    } else if (command == "wait" && w.size() >= 3 && gateP) {
        double n = strToDbl(w[1]);
        double delay = w[2] == "ms" ? n : n * 60000.0 / 120.0;
        if (!std::isfinite(delay) || delay < 0) delay = 0;
        if (resumeTime[deck] > 0) --startCount[deck];
        resumeLine[deck] = static_cast<int>(lineIndex) + 1;
        resumeTime[deck] = clock + delay;
        // A resume time of 0 means "nothing waits": a wait from the clock's origin still waits.
        if (resumeTime[deck] <= 0) resumeTime[deck] = 1e-9;
        savedSection[deck] = section;
        return false;
    } else if (command == "stopscript" && w.size() >= 2) {
        if (s) s->stopScript(w[1], w.size() > 2 ? strToInt(w[2]) : deck);
    } else if (command == "executescript" && w.size() >= 2 && gateB) {
        SkinScript* target = s ? s->getScript(w[1]) : nullptr;
        int d = w.size() > 2 ? strToInt(w[2]) : deck;
        if (!target || !isValidDeck(d)) return true;
        if (none) {
            target->executeScript(release, d, false, value, 0);
        } else {
            target->executeScript(false, d, false, value, 0);
            target->executeScript(true, d, false, value, 0);
        }
    } else if (command == "setvar" && w.size() >= 3 && gateB) {
        if (s) s->setVariable(w[1], w[2]);
    } else if (command == "setvar2" && w.size() >= 3) {
        if (!s || !iface) return true;
        ValueWord v = splitValueWord(w[2]);
        std::string valueName = strtrim(v.name);
        int d = w.size() > 3 ? strToInt(w[3]) : 0;
        std::string kind = w.size() > 4 ? w[4] : std::string("text");
        if (!isValidDeck(d)) return true;
        int id = iface->getValue(valueName);
        std::string result;
        if (kind == "value")
            result = dblToStr(iface->getValueDbl(id, &v.spec, d), 2);
        else if (kind == "valuerel")
            result = dblToStr(iface->getValueDblRelative(id, &v.spec, d), 2);
        else if (kind == "boolean")
            result = iface->getValueBool(id, &v.spec, d, nullptr) ? "1" : "0";
        else
            result = iface->getValueStr(id, &v.spec, d);
        s->setVariable(w[1], result);
    } else if (command == "setpersistent" && w.size() >= 2) {
        if (s) s->setVariablePersistent(w[1], true, word(w, 2));
    } else if (command == "addtrigger" && w.size() >= 6) {
        if (!s || !iface) return true;
        s->removeTrigger(w[1]);
        ValueWord v = splitValueWord(w[4]);
        int d = v.deck.empty() ? deck : strToInt(v.deck);
        if (!isValidDeck(d)) return true;
        enTriggerType kind = w[3] == "bool" ? TRIGGER_BOOL : (w[3] == "string" ? TRIGGER_STRING : TRIGGER_DOUBLE);
        std::string scriptText = w[5];
        for (size_t i = 6; i < w.size(); ++i)
            scriptText += " " + w[i];
        s->addTrigger(new SkinScriptTrigger(iface, w[1], iface->getValue(strtrim(v.name)), v.spec, d, kind, scriptText,
                                            strToInt(w[2])));
    } else if (command == "removetrigger" && w.size() >= 2) {
        if (s) s->removeTrigger(w[1]);
    }
    // "nop", "setdefault", "loadskin", "loadsong", "loadvst" and unknown words do nothing.
    return true;
}

bool SkinScript::statusValue(int deck, bool asBool, double* number) {
    *number = 0.0;
    if (statusLine.empty() || !interface || !isValidDeck(deck)) return false;
    std::string line = statusLine;
    if (line.find('%') != std::string::npos) line = substitute(line, deck, nullptr);
    std::vector<std::string> w = words(line);
    if (w.size() < 2) return false;
    ValueWord v = splitValueWord(w[1]);
    int d = w.size() > 2 ? strToInt(w[2]) : deck;
    if (!isValidDeck(d)) return false;
    int id = interface->getValue(strtrim(v.name));
    if (asBool) return interface->getValueBool(id, &v.spec, d, nullptr);
    *number = interface->getValueDbl(id, &v.spec, d);
    return false;
}

bool SkinScript::getValueBool(int deck) {
    double unused;
    return statusValue(deck, true, &unused);
}

double SkinScript::getValueDbl(int deck) {
    double number;
    statusValue(deck, false, &number);
    return number;
}
