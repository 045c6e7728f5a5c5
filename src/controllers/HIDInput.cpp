// Controller input: matching received messages against the controls of the current tabs, and the
// actions a match performs on the skin interface.
#include "controllers/HIDDevice.h"

#include "foundation/modTools.h"
#include "skin/Skin.h"
#include "skin/SkinInterface.h"

#include <algorithm>

namespace {
bool validDeck(int i) {
    return i >= 0 && i <= 3;
}
} // namespace

// Decodes into v/h/l only when the whole pattern matches. `expected` and `checkPlayer` follow the
// channel tokens: a token accepts a status nibble whose channel maps to the expected player.
bool HIDObject::match(const std::vector<int>& pattern, const std::vector<int>& message, int& expected, int& checkPlayer,
                      int k, bool lowOnly, double& v, int& h, int& l) {
    // An empty pattern would match an empty message: it never matches.
    if (pattern.empty() || pattern.size() != message.size()) return false;
    double nv = v;
    int nh = h, nl = l;
    for (size_t i = 0; i < pattern.size(); i++) {
        int code = pattern[i];
        int byte = message[i];
        if (code >= 0) {
            if (code != byte) return false;
        } else if (code <= HIDCODE_CHANNEL && code >= HIDCODE_CHANNEL - 15) {
            if (byte / 16 != HIDCODE_CHANNEL - code) return false;
            int c = byte % 16 + playerOffset;
            if (c > 15) return false; // past the player map
            int m = c < 0 ? 0 : device->playerMap[c];
            if (m != expected) return false;
            checkPlayer = expected;
            expected = k;
        } else {
            // A data byte is 0..127: a byte with the top bit set (a status byte cut into the wrong place, a
            // broken cable, another program on the bus) is no value, so the message does not match.
            if (byte < 0 || byte > 127) return false;
            int b = byte;
            if (lowOnly) {
                if (code == HIDCODE_VL) nv = b;
                continue;
            }
            switch (code) {
            case HIDCODE_VV:
                nv = b / 127.0;
                break;
            case HIDCODE_VN:
                nv = -b / 127.0;
                break;
            case HIDCODE_VS:
                nv = b - 64;
                break;
            case HIDCODE_VT:
                nv = b > 64 ? b - 128 : b;
                break;
            case HIDCODE_VH:
                nh = b;
                break;
            case HIDCODE_VL:
                nl = b;
                break;
            default:
                break;
            }
        }
    }
    v = nv;
    h = nh;
    l = nl;
    return true;
}

const std::bitset<256>& HIDObject::firstBytes() {
    if (firstBytesKnown) return firstBytes_;
    firstBytes_.reset();
    for (int k = 0; k < 2; k++)
        for (const std::vector<int>& pattern : bytes[k]) {
            if (pattern.empty()) continue;
            int code = pattern[0];
            if (code >= 0 && code <= 255)
                firstBytes_.set(size_t(code));
            else if (code <= HIDCODE_CHANNEL && code >= HIDCODE_CHANNEL - 15)
                for (int c = 0; c < 16; c++)
                    firstBytes_.set(size_t((HIDCODE_CHANNEL - code) * 16 + c));
            else
                firstBytes_.set(); // a value token takes any byte
        }
    firstBytesKnown = true;
    return firstBytes_;
}

void HIDObject::click(int i, bool released) {
    if (iface) iface->handleMouseClickSimple(value, valueSpecifier, i, released);
}

void HIDObject::handleMessage(const std::vector<int>* message, int p, double time) {
    if (!message || !device || message->empty()) return;
    const std::vector<int>& msg = *message;
    // Most controls can't take a message's first byte: they are passed over at once.
    if (!firstBytes().test(size_t(msg[0] & 0xFF))) return;
    // The base player is read only for a match without a channel token (it may read a variable).
    const int unset = -1000;
    auto resolve = [&](int checkPlayer) {
        if (checkPlayer != unset) return checkPlayer;
        int g = getPlayer(false);
        return g < 0 ? unset : g; // no deck: the action is dropped
    };
    double v = 0;
    int expected = p;
    bool enable = true;
    for (int k = 0; k < 2; k++) {
        std::vector<int>* set = bytes[k];
        bool hasUp = !set[HIDPATTERN_UP].empty(), hasDown = !set[HIDPATTERN_DOWN].empty();
        int h = -1, l = -1;

        // 1. Release.
        if (k == 0) {
            expected = p;
            enable = true;
        }
        int checkPlayer = unset;
        if (match(set[HIDPATTERN_UP], msg, expected, checkPlayer, k, false, v, h, l) && enable &&
            (expected == k || bytes[1][HIDPATTERN_UP].empty())) {
            int i = k + resolve(checkPlayer);
            if (validDeck(i)) {
                pressed[i] = false;
                if (isConditionTrue(i)) {
                    bool act = !hasDown || action == 1;
                    if (act) click(i, false);
                    click(i, true);
                    if (act && value == VALUE_TABSELECT)
                        device->selectTab(valueSpecifier, i);
                    else if (act && value == VALUE_DEVICEPLAYERMAP)
                        setPlayerMap(valueSpecifier);
                }
            }
        }

        // 2. Press.
        expected = p;
        checkPlayer = unset;
        if (match(set[HIDPATTERN_DOWN], msg, expected, checkPlayer, k, false, v, h, l) && expected == k) {
            int i = k + resolve(checkPlayer);
            if (validDeck(i)) {
                pressed[i] = true;
                pressTime[i] = device->now();
                if (isConditionTrue(i)) {
                    if (action != 1) click(i, false);
                    if (!hasUp) click(i, true);
                    if (action != 1 && value == VALUE_TABSELECT)
                        device->selectTab(valueSpecifier, i);
                    else if (action != 1 && value == VALUE_DEVICEPLAYERMAP)
                        setPlayerMap(valueSpecifier);
                } else if (action == 2) {
                    triggerArmed[i] = true;
                }
            }
        }

        // 3. Value.
        expected = p;
        checkPlayer = unset;
        if (match(set[HIDPATTERN_VALUE], msg, expected, checkPlayer, k, false, v, h, l) &&
            (expected == k || bytes[1][HIDPATTERN_VALUE].empty())) {
            int i = k + resolve(checkPlayer);
            if (validDeck(i)) {
                if (h >= 0) high[i] = h;
                if (l >= 0) low[i] = l;
                if (h >= 0 || l >= 0) v = std::clamp(high[i] / 127.0 + low[i] / 16384.0, 0.0, 1.0);
                valueStep(i, v, time);
            }
        }

        // 4. Low byte of a 14-bit value.
        expected = p;
        enable = true;
        checkPlayer = unset;
        const std::vector<int>& lowPattern = set[HIDPATTERN_LOW];
        if (match(lowPattern, msg, expected, checkPlayer, k, true, v, h, l)) {
            if (expected == k || bytes[1][HIDPATTERN_LOW].empty()) {
                int i = k + resolve(checkPlayer);
                if (validDeck(i)) {
                    low[i] = int(v);
                    v = std::clamp(high[i] / 127.0 + low[i] / 16384.0, 0.0, 1.0);
                    valueStep(i, v, time);
                }
            }
        } else if (!lowPattern.empty() && lowPattern.size() == msg.size()) {
            enable = false;
        }
    }
}

void HIDObject::valueStep(int i, double v, double time) {
    if (invert) v = 1 - v;
    if (lastValue[i] < 0) lastValue[i] = v;
    if (!iface) return;
    switch (kind) {
    case OBJECT_SLIDERRELATIVE: {
        double current = iface->getValueDblRelative(value, &valueSpecifier, i);
        iface->setValueDblRelative(value, &valueSpecifier, i, current + lastValue[i] - v);
        break;
    }
    case OBJECT_JOGWHEEL:
        iface->handleJogWheel(value, &valueSpecifier, i, v, scale, time);
        break;
    case OBJECT_ROTARY: {
        if (scale == 0) scale = 1;
        v /= 64;
        double current = iface->getValueDblRelative(value, &valueSpecifier, i);
        iface->setValueDblRelative(value, &valueSpecifier, i, current + v * scale);
        break;
    }
    default:
        iface->setValueDblRelative(value, &valueSpecifier, i, v);
        break;
    }
    lastValue[i] = v;
}

bool HIDObject::isConditionTrue(int i) {
    if (!validDeck(i)) return false;
    double held = device->now() - pressTime[i];
    if (conditionKind == 1) return held >= conditionTime;
    if (conditionKind == 2) return held < conditionTime;
    return true;
}

bool HIDObject::hasTriggerActive() const {
    return triggerArmed[0] || triggerArmed[1] || triggerArmed[2] || triggerArmed[3];
}

void HIDObject::handleTrigger() {
    for (int i = 0; i < 4; i++) {
        if (!triggerArmed[i]) continue;
        if (!pressed[i]) {
            triggerArmed[i] = false;
        } else if (isConditionTrue(i)) {
            triggerArmed[i] = false;
            click(i, false);
            click(i, true);
            if (value == VALUE_TABSELECT) device->selectTab(valueSpecifier, i);
        }
    }
}

int HIDObject::getPlayer(bool raw) {
    if (playerFromVariable) {
        if (!iface || !iface->skin) return 0;
        return strToInt(iface->skin->getVariable(playerName));
    }
    int s = player + playerOffset;
    if (s <= 0) return 0;
    if (raw) return s;
    // Past the map: no deck (the action is dropped).
    return s > 15 ? -1 : device->playerMap[s];
}

void HIDObject::setPlayerMap(const std::string& spec) {
    std::vector<std::string> parts = strsplit(spec, "-");
    if (parts.size() != 2) return;
    int a = strToInt(parts[0]), b = strToInt(parts[1]);
    if (a < 0 || a > 15 || b < 0 || b > 15) return;
    int* map = device->playerMap;
    if (map[a] != b) {
        map[a] = b;
        map[b] = a;
    } else {
        map[a] = a;
        map[b] = b;
    }
}

void HIDTabGroup::setCurrentTab(int player, int index) {
    if (player < 0 || player > 3) return;
    if (index >= 0 && size_t(index) < tabs.size()) currentTab[player] = index;
    if (HIDTab* tab = getCurrentTab(player))
        for (auto& o : tab->outputs)
            if (!o->switchMode)
                for (int& s : o->lastState)
                    s = -1;
}

void HIDDevice::handleMessage(const std::vector<int>* message, double time) {
    bool wasConnected = connected;
    for (size_t g = 0; g < groups.size(); g++) {
        HIDTabGroup* group = groups[g].get();
        for (int p = 0; p < 4; p++) {
            HIDTab* tab = group->getCurrentTab(p);
            if (!tab) continue;
            for (size_t n = 0; n < tab->inputs.size(); n++) {
                HIDObject* o = tab->inputs[n].get();
                o->handleMessage(message, p, time);
                if (o->hasTriggerActive() &&
                    std::find(pendingTriggers.begin(), pendingTriggers.end(), o) == pendingTriggers.end())
                    pendingTriggers.push_back(o);
                // An action disconnected this device (a new configuration): the message ends here.
                if (wasConnected && !connected) return;
            }
        }
    }
}

bool HIDDevice::selectTab(const std::string& tabName, int player) {
    bool found = false;
    for (auto& group : groups)
        for (size_t t = 0; t < group->tabs.size(); t++)
            if (group->tabs[t]->name == tabName) {
                group->setCurrentTab(player, int(t));
                found = true;
            }
    return found;
}

bool HIDDevice::isActiveTab(const std::string& tabName, int player) {
    for (auto& group : groups)
        if (HIDTab* tab = group->getCurrentTab(player))
            if (tab->name == tabName) return true;
    return false;
}
