// Controller files: the model and its parser.
#include "controllers/HIDDevice.h"

#include "foundation/modTools.h"
#include "skin/Skin.h"
#include "skin/SkinInterface.h"

namespace {

// Tag-style reading: tags matched case-insensitively in `lower` (the lower-cased copy of `text`),
// the value returned as written. An element ends at the first closing tag of its name.
struct Reader {
    std::string text;
    std::string lower;
    explicit Reader(const std::string& t) : text(t), lower(strtolower(t)) {}

    // Finds the first complete element at or after `from`: its content, and the offsets of its
    // opening tag and of the character behind its closing tag.
    bool find(const std::string& tag, size_t from, std::string* content, size_t* start = nullptr,
              size_t* end = nullptr) const {
        if (from > lower.size()) return false;
        std::string open = "<" + tag + ">", close = "</" + tag + ">";
        size_t a = lower.find(open, from);
        if (a == std::string::npos) return false;
        size_t b = lower.find(close, a + open.size());
        if (b == std::string::npos) return false;
        if (content) *content = text.substr(a + open.size(), b - a - open.size());
        if (start) *start = a;
        if (end) *end = b + close.size();
        return true;
    }
    std::string get(const std::string& tag, const std::string& def = "") const {
        std::string v;
        return find(tag, 0, &v) ? v : def;
    }
    // Every complete element of that name, in order.
    std::vector<std::string> all(const std::string& tag) const {
        std::vector<std::string> list;
        size_t pos = 0, end = 0;
        std::string v;
        while (find(tag, pos, &v, nullptr, &end)) {
            list.push_back(v);
            pos = end;
        }
        return list;
    }
};

// Two-character token to its hexadecimal reading; 0-9, A-F and a-f are digits.
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

// The reading shared by both pattern languages: fixed byte, value tokens, channel token.
int tokenCode(const std::string& t, bool withVN) {
    int code = hexDigit(t[0]) * 16 + hexDigit(t[1]);
    if (t == "VV")
        code = HIDCODE_VV;
    else if (t == "VN" && withVN)
        code = HIDCODE_VN;
    else if (t == "VS")
        code = HIDCODE_VS;
    else if (t == "VT")
        code = HIDCODE_VT;
    else if (t == "VH")
        code = HIDCODE_VH;
    else if (t == "VL")
        code = HIDCODE_VL;
    if (t[1] == 'P') code = HIDCODE_CHANNEL - hexDigit(t[0]);
    return code;
}

// Tokens are separated by single spaces; only two-character tokens count.
std::vector<std::string> tokens(const std::string& text) {
    std::vector<std::string> list;
    for (const std::string& t : strsplit(text, " "))
        if (t.size() == 2) list.push_back(t);
    return list;
}

} // namespace

// ---- HIDCharacter -------------------------------------------------------------------------------

HIDCharacter::HIDCharacter(std::string& text) {
    Reader r(text);
    name = r.get("name");
    shortcut = r.get("shortcut");
    for (const std::string& entry : r.all("map")) {
        Reader m(entry);
        characters.push_back(m.get("char"));
        values.push_back(strToInt(m.get("val", "0")));
    }
}

int HIDCharacter::getValue(const std::string& s) const {
    for (size_t i = 0; i < characters.size(); i++)
        if (characters[i] == s) return values[i];
    return -1;
}

// ---- HIDDisplay ---------------------------------------------------------------------------------

HIDDisplay::HIDDisplay(HIDDevice* dev, std::string& text) : device(dev) {
    Reader r(text);
    name = r.get("name");
    scrolling = strToBool(r.get("allowscrolling", "no"));
    for (const std::string& segment : r.all("segment")) {
        Reader s(segment);
        int pos = strToInt(s.get("pos", "0"));
        int len = strToInt(s.get("len", "1"));
        // A segment before the text's start or of no length would address characters that don't exist.
        if (pos < 0 || len < 1) continue;
        std::string bytes = s.get("bytes", "0");
        segPos.push_back(pos);
        segLen.push_back(len);
        segBytes.emplace_back();
        hexToIntVector(&bytes, &segBytes.back());
        width = std::max(width, pos + len);
    }
}

void HIDDisplay::hexToIntVector(std::string* text, std::vector<int>* codes) {
    codes->clear();
    if (!text) return;
    for (const std::string& t : tokens(*text)) {
        int code = tokenCode(t, false);
        if (t[0] == 'X') {
            std::string sc = strtolower(t.substr(1));
            auto same = [&](HIDCharacter* m) { return strtolower(m->shortcut) == sc; };
            if (!mappings.empty() && same(mappings[0])) {
                code = HIDCODE_CHAR1;
            } else if (mappings.size() > 1 && same(mappings[1])) {
                code = HIDCODE_CHAR2;
            } else {
                for (auto& m : device->mappings)
                    if (same(m.get())) mappings.push_back(m.get());
                if (mappings.size() == 1 && same(mappings[0]))
                    code = HIDCODE_CHAR1;
                else if (mappings.size() == 2 && same(mappings[1]))
                    code = HIDCODE_CHAR2;
            }
        }
        codes->push_back(code);
    }
}

// ---- HIDObject ----------------------------------------------------------------------------------

HIDObject::HIDObject(std::string* text, SkinInterface* skinInterface, HIDDevice* dev)
    : device(dev), iface(skinInterface) {
    Reader r(*text);
    std::string s = r.get("type");
    if (!s.empty() && iface) kind = iface->getType(s);
    s = r.get("value");
    if (!s.empty() && iface) value = iface->getValue(s);
    valueSpecifier = r.get("valuespecifier");
    s = r.get("player");
    if (!s.empty() && s[0] == '%') {
        playerFromVariable = true;
        player = 0;
        playerName = s.size() >= 2 ? s.substr(1, s.size() - 2) : "";
    } else {
        player = strToInt(s);
        playerName = s;
    }
    playerOffset = strToInt(r.get("playeroffset", "0"));
    invert = strToBool(r.get("invert", "no"));
    std::string typeVariable = r.get("typevariable");
    scale = strToDbl(typeVariable.empty() ? r.get("scale", "0") : typeVariable);
    std::string condition;
    if (r.find("condition", 0, &condition)) {
        Reader c(condition);
        std::string ct = c.get("type");
        conditionKind = ct == "keyholdtime_greater" ? 1 : ct == "keyholdtime_smaller" ? 2 : 0;
        conditionTime = strToDbl(c.get("value", "0"));
    }
    s = r.get("action");
    action = s == "onkeyup" ? 1 : s == "oncondition" ? 2 : 0;
    switchMode = r.get("outputmode") == "switch";
    flashLength = strToDbl(r.get("flash_length", "0"));
    flashOffset = strToDbl(r.get("flash_offset", "0"));
    flashRatio = strToDbl(r.get("flash_ratio", "0"));
    s = r.get("display");
    if (!s.empty() && device) {
        std::string lowerName = strtolower(s);
        for (auto& d : device->displays)
            if (strtolower(d->name) == lowerName) {
                display = d.get();
                break;
            }
    }
    static const char* const suffixes[4] = {"_up", "_down", "", "_low"};
    for (int k = 0; k < 4; k++) {
        std::string base = k == 0 ? "bytes" : "bytes" + std::to_string(k + 1);
        for (int j = 0; j < 4; j++) {
            std::string pattern = r.get(base + suffixes[j]);
            hexToIntVector(&pattern, &bytes[k][j]);
        }
    }
}

void HIDObject::hexToIntVector(std::string* text, std::vector<int>* codes) {
    codes->clear();
    if (!text) return;
    for (const std::string& t : tokens(*text)) {
        int code = tokenCode(t, true);
        if (t[0] == 'X' && device) {
            for (auto& m : device->mappings)
                if (!m->shortcut.empty() && m->shortcut[0] == t[1]) {
                    mapping = m.get();
                    code = HIDCODE_CHAR1;
                    break;
                }
        }
        codes->push_back(code);
    }
}

// ---- Tabs ---------------------------------------------------------------------------------------

HIDTab::HIDTab(SkinInterface* skinInterface) : iface(skinInterface) {}

HIDTab::HIDTab(std::string* text, SkinInterface* skinInterface, HIDDevice* device) : iface(skinInterface) {
    Reader r(*text);
    name = r.get("name");
    for (std::string& c : r.all("input_output")) {
        inputs.push_back(std::make_unique<HIDObject>(&c, iface, device));
        outputs.push_back(std::make_unique<HIDObject>(&c, iface, device));
    }
    for (std::string& c : r.all("input"))
        inputs.push_back(std::make_unique<HIDObject>(&c, iface, device));
    for (std::string& c : r.all("output"))
        outputs.push_back(std::make_unique<HIDObject>(&c, iface, device));
}

HIDTabGroup::HIDTabGroup(SkinInterface* skinInterface) : iface(skinInterface) {}

HIDTabGroup::HIDTabGroup(std::string* text, SkinInterface* skinInterface, HIDDevice* device) : iface(skinInterface) {
    Reader r(*text);
    for (std::string& t : r.all("tab"))
        tabs.push_back(std::make_unique<HIDTab>(&t, iface, device));
}

HIDTab* HIDTabGroup::getCurrentTab(int player) {
    if (player < 0 || player > 3 || tabs.empty()) return nullptr;
    int i = currentTab[player];
    return i >= 0 && size_t(i) < tabs.size() ? tabs[size_t(i)].get() : nullptr;
}

// ---- HIDDevice ----------------------------------------------------------------------------------

void HIDDevice::loadDevice(const std::string& filePath) {
    loadText(readFileContents(filePath), filePath);
}

void HIDDevice::loadText(const std::string& source, const std::string& filePath) {
    path = filePath;
    std::string text = source;
    {
        Reader r(text);
        name = r.get("name");
        type = r.get("type") == "midi" ? HIDTYPE_MIDI : HIDTYPE_NONE;
        Reader d(r.get("descriptor"));
        descriptor.manufacturer = d.get("manufacturer");
        descriptor.model = d.get("model");
        descriptor.inputEndpointName = d.get("input_endpoint_name");
        descriptor.outputEndpointName = d.get("output_endpoint_name");

        groups.push_back(std::make_unique<HIDTabGroup>(iface));
        groups.back()->tabs.push_back(std::make_unique<HIDTab>(iface));

        for (const std::string& script : r.all("script")) {
            Reader s(script);
            if (iface && iface->skin) iface->skin->addScript(s.get("name"), s.get("content"));
        }
        for (std::string& m : r.all("character-mapping"))
            mappings.push_back(std::make_unique<HIDCharacter>(m));
        for (std::string& d2 : r.all("character-display"))
            displays.push_back(std::make_unique<HIDDisplay>(this, d2));
    }
    // Tab groups are cut out of the text so that their controls don't count as top-level ones.
    // Only complete elements are cut: an unterminated one ends the search.
    for (;;) {
        Reader r(text);
        std::string content;
        size_t start = 0, end = 0;
        if (!r.find("tabs", 0, &content, &start, &end)) break;
        text = text.substr(0, start) + text.substr(end);
        auto group = std::make_unique<HIDTabGroup>(&content, iface, this);
        // A group without tabs has no current tab to offer messages to.
        if (!group->tabs.empty()) groups.push_back(std::move(group));
    }
    Reader r(text);
    HIDTab* tab = groups[0]->tabs[0].get();
    for (std::string& c : r.all("output")) {
        auto control = std::make_unique<HIDObject>(&c, iface, this);
        if (control->value == VALUE_DEVICECONNECT)
            specialOutput = std::move(control);
        else
            tab->outputs.push_back(std::move(control));
    }
    for (std::string& c : r.all("input_output")) {
        tab->inputs.push_back(std::make_unique<HIDObject>(&c, iface, this));
        tab->outputs.push_back(std::make_unique<HIDObject>(&c, iface, this));
    }
    for (std::string& c : r.all("input"))
        tab->inputs.push_back(std::make_unique<HIDObject>(&c, iface, this));
}

double HIDDevice::now() {
    return iface ? iface->getTime() : timeGetExactTime();
}
