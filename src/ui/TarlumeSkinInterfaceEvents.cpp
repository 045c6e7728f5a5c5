// Deck and mixer events: presses and releases of buttons and special objects, the disc drag, jog
// turns, the search field and the keyboard commands.
#include "ui/TarlumeSkinInterface.h"

#include "audio/effects/EffectGroup.h"
#include "audio/vinyl/FinalScratch.h"
#include "engine/Tarlume.h"
#include "engine/TarlumePlayer.h"
#include "foundation/modTools.h"
#include "library/tagcache/TagCache.h"
#include "skin/SkinListBox.h"
#include "skin/SkinListItem.h"
#include "skin/SkinObject.h"

#include <algorithm>
#include <cmath>

namespace {

enum { TIMECODE_MODE = 14 };

bool playing(TarlumePlayer* p) {
    return p->getParam(PLAYERPARAM_PLAYING) >= 0.5;
}

// A press on a cue point's or a loop's slot: stores into it when storing is armed (or the button
// always stores), clears it when deleting is armed, else recalls it. The press uses the arm up.
template <class Store, class Clear, class Recall>
void pressSlot(TarlumePlayer* p, bool alwaysStore, Store store, Clear clear, Recall recall) {
    if (p->cueStoreArmed || alwaysStore) {
        store();
        p->cueStoreArmed = false;
    } else if (p->cueDeleteArmed) {
        clear();
        p->cueDeleteArmed = false;
    } else {
        recall();
    }
}

// Characters (not bytes) of a UTF-8 text.
size_t characterCount(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// The two parts of "name|value", trimmed; false without a "|".
bool splitPair(const std::string& spec, std::string* name, std::string* value) {
    std::vector<std::string> parts = strsplit(spec, "|");
    if (parts.size() < 2) return false;
    *name = strtrim(parts[0]);
    *value = strtrim(parts[1]);
    return true;
}

} // namespace

// ---- Presses and releases -----------------------------------------------------------------------

void TarlumeSkinInterface::handleMouseClick(SkinObject* object, float x, float y, int action, int button, int modifiers,
                                            SkinWindow* window, int layer, bool released) {
    if (action == ACTION_NONE || !object) return;
    int deck = deckOf(object, layer);
    TarlumePlayer* p = deckAt(deck);
    if (!p) return SkinInterface::handleMouseClick(object, x, y, action, button, modifiers, window, layer, released);

    if (!(action == ACTION_DEFAULT && object->type == OBJECT_BUTTON)) {
        if (object->type != OBJECT_SPECIAL)
            return SkinInterface::handleMouseClick(object, x, y, action, button, modifiers, window, deck, released);
        if (released && action == ACTION_DEFAULT) {
            if (object->value == VALUE_WAVEFORMCOMPLETE) clickWholeWaveform(object, x, y, deck);
            return;
        }
        if (object->value == VALUE_DISC) {
            if (action == ACTION_BEND) p->setPitchMode(released ? PITCHMODE_NORMAL : PITCHMODE_BEND, 0, 0, 0);
        } else if (object->value == VALUE_CROSSFADERTYPE) {
            // Only the four curves exist: a higher type would silence a whole side, and be saved.
            double type = getDblFromValSpec(&object->valueSpecifier, -1.0);
            if (type >= 0.0 && type < Tarlume::kCrossfaderTypes && type == std::floor(type) &&
                engine->setCrossfaderType(int(type)))
                engine->setCrossfader(engine->getCrossfader(false), false);
        }
        return;
    }

    if (object->value == VALUE_SEEKFWD || object->value == VALUE_SEEKBCK) {
        if (!released) seekByBars(object->valueSpecifier, object->value == VALUE_SEEKBCK, p);
        return;
    }
    bool handled = released ? handleRelease(object, deck, window) : handlePress(object, x, y, deck, window);
    if (!handled) SkinInterface::handleMouseClick(object, x, y, action, button, modifiers, window, deck, released);
}

bool TarlumeSkinInterface::handleRelease(SkinObject* object, int deck, SkinWindow* window) {
    TarlumePlayer* p = deckAt(deck);
    switch (object->value) {
    case VALUE_CUE:
        p->cueSong_Up();
        return true;
    case VALUE_PITCHBEND_UP:
    case VALUE_PITCHBEND_DOWN:
        p->setPitchMode(PITCHMODE_NORMAL, 0, 0, 0);
        return true;
    case VALUE_JOGWHEELTOUCH:
        p->touchJogWheel(true);
        return true;
    case VALUE_LOOP_MOVE:
        p->loopMoveDynamic(false, 0.0);
        return true;
    case VALUE_LOADSONG:
    case VALUE_FORCELOADSONG:
        p->loadSong(object->valueSpecifier.c_str(), object->value == VALUE_FORCELOADSONG);
        return true;
    case VALUE_KEYBOARD:
        handleKeyboardObject(object, deck, true);
        return true;
    case VALUE_OPTION:
        return handleMenuClick(object, 0, 0, window, deck, true);
    default:
        return false;
    }
}

bool TarlumeSkinInterface::handlePress(SkinObject* object, float x, float y, int deck, SkinWindow* window) {
    TarlumePlayer* p = deckAt(deck);
    std::string& spec = object->valueSpecifier;
    switch (object->value) {
    // Transport, cue points and pitch
    case VALUE_PAUSE:
        p->playPause();
        return true;
    case VALUE_CUE:
        p->cueSong();
        return true;
    case VALUE_CUEREC:
        p->cueStoreArmed = !p->cueStoreArmed;
        if (p->cueStoreArmed) p->cueDeleteArmed = false;
        return true;
    case VALUE_CUEDEL:
        p->cueDeleteArmed = !p->cueDeleteArmed;
        if (p->cueDeleteArmed) p->cueStoreArmed = false;
        return true;
    case VALUE_CUEPOINT:
    case VALUE_CUEPOINTSET:
    case VALUE_CUEPOINTACTIVE: {
        int slot = slotOf(&spec, TarlumePlayer::kSlots);
        if (!slot) return true;
        pressSlot(
            p, object->value == VALUE_CUEPOINTSET, [&] { p->storeCuePoint(slot); }, [&] { p->setCuePoint(slot, 0.0); },
            [&] {
                p->retrieveCuePoint(slot);
                if (!playing(p)) p->playPause();
            });
        return true;
    }
    case VALUE_PITCHRANGE:
        p->switchPitchRange(false);
        return true;
    case VALUE_PITCHRESET:
        p->setPitch(1.0, true);
        return true;
    case VALUE_PITCH_UP:
    case VALUE_PITCH_DOWN: {
        double step = getDblFromValSpec(&spec, 0.1) / 100.0;
        if (object->value == VALUE_PITCH_DOWN) step = -step;
        // The steps stop at the ends of the pitch fader's range; a pitch already beyond one (a smaller
        // range chosen since) is not pushed further out.
        const double pitch = p->getPitch(true), top = 1.0 + p->pitchRange / 100.0, bottom = 1.0 - p->pitchRange / 100.0;
        double next = pitch + step;
        if (step > 0 && next > top) next = std::max(pitch, top);
        if (step < 0 && next < bottom) next = std::min(pitch, bottom);
        p->setPitch(next, true);
        return true;
    }
    case VALUE_PITCHBEND_UP:
        p->setPitchMode(PITCHMODE_BEND, 1.5, 0, 0);
        return true;
    case VALUE_PITCHBEND_DOWN:
        p->setPitchMode(PITCHMODE_BEND, -1.5, 0, 0);
        return true;
    case VALUE_PITCH_REVERSE:
        p->setPitchMode(p->pitchMode == PITCHMODE_REVERSE ? PITCHMODE_NORMAL : PITCHMODE_REVERSE, 0, 0, 0);
        return true;
    case VALUE_JOGWHEELTOUCH:
        p->touchJogWheel(false);
        return true;
    case VALUE_MATCHBPM: {
        TarlumePlayer* other = engine->players[deck == 1 ? 0 : 1];
        if (other) p->matchBPM(other);
        return true;
    }
    case VALUE_BPM_UP:
    case VALUE_BPM_DOWN: {
        // Halving and doubling stay unused: every press comes without a modifier.
        double step = getDblFromValSpec(&spec, 1.0);
        p->bpmIncrease(object->value == VALUE_BPM_UP ? step : -step, false);
        return true;
    }

    // Loops
    case VALUE_LOOP: {
        double beats = getDblFromValSpec(&spec, 0.0);
        if (!p->loopIsStarted()) {
            if (beats > 0.0) p->loopSetLength(beats);
            p->loopStart();
        } else if (beats > 0.0 && std::fabs(p->loopGetLength() - beats) > 0.05) {
            p->loopSetLength(beats);
        } else {
            p->loopStop();
        }
        return true;
    }
    case VALUE_LOOP_MOVE:
        p->loopMoveDynamic(true, getDblFromValSpec(&spec, 0.0));
        return true;
    case VALUE_LOOP_MOVEBEATS:
        p->loopDoMove(getDblFromValSpec(&spec, 0.0), true);
        return true;
    case VALUE_LOOPLENGTH_MULTIPLY: {
        // A factor of 0 or below would leave a loop without length.
        double factor = getDblFromValSpec(&spec, 0.0);
        if (factor > 0.0) p->loopLengthMultiply(factor);
        return true;
    }
    case VALUE_LOOPLENGTH_MOVEBEATS:
        p->loopDoMoveLength(getDblFromValSpec(&spec, 0.0), true, false);
        return true;
    case VALUE_LOOP_SETIN:
        p->loopSetIn();
        return true;
    case VALUE_LOOP_SETOUT: {
        // The deck reads only whether to leave a playing loop.
        bool beats = spec == "beatsdisable" || spec == "beats";
        bool disable = spec == "beatsdisable" || spec == "disable" || spec == "exit";
        p->loopSetOut(beats, disable);
        return true;
    }
    case VALUE_LOOPTRACK:
        p->setParam(PLAYERPARAM_LOOPTRACK, 1.0 - p->getParam(PLAYERPARAM_LOOPTRACK), 0);
        return true;
    case VALUE_LOOP_STORE:
    case VALUE_LOOP_RETRIEVE:
    case VALUE_LOOP_RETRIEVEACTIVE: {
        int slot = slotOf(&spec, TarlumePlayer::kSlots);
        if (!slot) return true;
        pressSlot(
            p, object->value == VALUE_LOOP_STORE, [&] { p->storeLoop(slot); }, [&] { p->setLoop(slot, 0.0, 0.0); },
            [&] { p->retrieveLoop(slot, true); });
        return true;
    }

    // Effects, mixer and crossfader
    case VALUE_EFFECTONOFF: {
        int effect = effectOfName(&spec);
        if (effect >= 0 && p->effects) {
            p->effects->setEffectState(effect, p->effects->getEffectState(effect) > 0 ? 0 : 1);
        } else if (effect == EFFECTNAME_TEMPOCONTROL) {
            if (!p->tempoControl) {
                p->tempoControlTempo = p->getParam(PLAYERPARAM_PLAYING) <= 0.5 ? 1.0 : p->getPitch(true);
                p->tempoControl = true;
            } else {
                p->tempoControl = false;
            }
            p->updateTempoControl();
        }
        return true;
    }
    case VALUE_EFFECT: {
        static const char* const kills[] = {"eq_low_kill", "eq_mid_kill", "eq_high_kill"};
        for (int i = 0; i < 3; ++i) {
            if (!equalsName(&spec, kills[i])) continue;
            if (p->effects)
                p->effects->setParameter(EFFECT_EQ_KILLS, 2 + 3 * i,
                                         1.0 - p->effects->getParameter(EFFECT_EQ_KILLS, 2 + 3 * i, 0), 0);
            return true;
        }
        std::string name, value;
        if (splitPair(spec, &name, &value)) {
            setValueDbl(VALUE_EFFECT, &name, deck, getDblFromValSpec(&value, NAN));
        } else {
            // The parameter jumps between the ends of its range.
            setValueDblRelative(VALUE_EFFECT, &spec, deck, 1.0 - getValueDblRelative(VALUE_EFFECT, &spec, deck));
        }
        return true;
    }
    case VALUE_EFFECTBPM: {
        std::string name, value;
        if (splitPair(spec, &name, &value)) setValueDbl(VALUE_EFFECTBPM, &name, deck, getDblFromValSpec(&value, NAN));
        return true;
    }
    case VALUE_CUEPREFX:
        engine->cueBeforeEffects.store(!engine->cueBeforeEffects.load(std::memory_order_relaxed),
                                       std::memory_order_relaxed);
        return true;
    case VALUE_VOLUME_CUE:
        p->setVolumeCue(-1.0);
        return true;
    case VALUE_CROSSFADER:
    case VALUE_CROSSFADERTO:
        setValueDbl(object->value, &spec, deck, getDblFromValSpec(&spec, NAN));
        return true;
    case VALUE_CROSSFADERSELECTION:
        if (spec == "left") {
            p->setCrossfaderSide(CROSSFADER_LEFT);
        } else if (spec == "right") {
            p->setCrossfaderSide(CROSSFADER_RIGHT);
        } else if (spec == "none") {
            p->setCrossfaderSide(CROSSFADER_NONE);
        } else if (spec == "left_exclusive" || spec == "right_exclusive") {
            enCrossfaderSide side = spec == "left_exclusive" ? CROSSFADER_LEFT : CROSSFADER_RIGHT;
            for (TarlumePlayer* other : engine->players)
                if (other && other->getCrossfaderSide() == side) other->setCrossfaderSide(CROSSFADER_NONE);
            p->setCrossfaderSide(side);
        }
        return true;
    case VALUE_CROSSFADERSLOCK:
        engine->crossfaderVideoLinked = !engine->crossfaderVideoLinked;
        return true;

    // Line input, timecode vinyl, browser and windows
    case VALUE_LINEINPUT:
        p->loadInputPassthrough(deck);
        return true;
    case VALUE_VINYLCONTROL:
        p->setVinylControl(!p->vinylControl, deck);
        return true;
    case VALUE_VINYL_MODE:
        if (FinalScratch* decoder = p->timecode)
            decoder->setParameter(TIMECODE_MODE, decoder->getParameter(TIMECODE_MODE) > 0.5 ? 0.0 : 1.0);
        return true;
    case VALUE_VINYLCONTROL_CALLIBRATE:
        p->vcCallibrate();
        return true;
    case VALUE_VINYLCONTROL_SUPERRELATIVEMODE:
        p->superRelativeMode = !p->superRelativeMode;
        return true;
    case VALUE_VINYLCONTROL_SPEEDMULTIPLIER: {
        double multiplier = getDblFromValSpec(&spec, NAN);
        if (std::isfinite(multiplier)) p->setVCSpeedMultiplier(multiplier);
        return true;
    }
    case VALUE_TABSELECT:
        // Controllers show the same tab on their own controls; the skin then selects its tab.
        for (auto& controller : engine->controllers)
            controller->selectTab(spec, deck);
        return false;
    case VALUE_LOADPLAYLIST:
        engine->playlistPath[0] = spec;
        engine->updatePlaylist(0);
        return true;
    case VALUE_CHANGEFOLDER:
        engine->changeFolder(deck, spec);
        return true;
    case VALUE_BUILDTAGCACHE:
        if (engine->tagCache && !spec.empty()) engine->tagCache->buildTagCache(spec);
        return true;
    case VALUE_KEYBOARD:
        handleKeyboardObject(object, deck, false);
        return true;
    case VALUE_BUTTON_SHOWPL:
        handleMouseClickSimple(VALUE_SHOWWINDOW, "playlist", deck, false);
        return true;
    case VALUE_BUTTON_SHOWDECK:
    case VALUE_BUTTON_SHOWFXONEDECK: {
        int target = spec.empty() ? deck : int(getDblFromValSpec(&spec, -1.0));
        handleMouseClickSimple(VALUE_SHOWWINDOW, object->value == VALUE_BUTTON_SHOWDECK ? "player" : "fx", target,
                               false);
        return true;
    }
    case VALUE_BUTTON_SHOWFX: {
        std::string fx = "fx", player = "player";
        bool hide = SkinInterface::getValueBool(VALUE_SHOWWINDOW, &fx, 0, nullptr);
        for (int d = 0; d < Tarlume::kDecks; ++d) {
            bool shown = SkinInterface::getValueBool(VALUE_SHOWWINDOW, &fx, d, nullptr);
            if (hide ? shown : (!shown && SkinInterface::getValueBool(VALUE_SHOWWINDOW, &player, d, nullptr)))
                handleMouseClickSimple(VALUE_SHOWWINDOW, "fx", d, false);
        }
        return true;
    }
    case VALUE_OPTION:
    case VALUE_CASES:
    case VALUE_MODEMENU:
    case VALUE_SELECTDRIVE:
    case VALUE_CREATECASE:
    case VALUE_RECORD_QUICK:
        return handleMenuClick(object, x, y, window, deck, false);
    default:
        return false;
    }
}

// "mode|seconds": mode 2 moves by the whole 4-beat bars the seconds hold (8 s at 120 BPM: 4 bars).
void TarlumeSkinInterface::seekByBars(const std::string& spec, bool backwards, TarlumePlayer* p) {
    std::vector<std::string> parts = strsplit(spec, "|");
    if (spec.empty() || int(getDblFromValSpec(&parts[0], 0.0)) != 2) return;
    double amount = parts.size() > 1 ? getDblFromValSpec(&parts[1], 1.0) : 1.0;
    if (backwards) amount = -amount;
    double bpm = p->getBPM(false, true, false);
    if (!(bpm > 0.0)) return;
    double bar = 4.0 * 60000.0 / bpm;
    double bars = std::trunc(amount * 1000.0 / bar);
    if (bars != 0.0) p->setPosition(p->getPosition() + bars * bar);
}

// A click on the whole-track waveform jumps by whole 2-beat steps, so the beat phase stays.
void TarlumeSkinInterface::clickWholeWaveform(SkinObject* object, float x, float y, int deck) {
    TarlumePlayer* p = deckAt(deck);
    const SkinRect* r = object->rect.get();
    if (!r) return;
    double size = r->vertical ? r->height : r->width;
    // The release comes wherever the pointer is: outside the object the click means its end.
    if (!(size > 0.0)) return;
    double f = r->vertical ? (y - r->top) / size : (x - r->left) / size;
    f = std::min(std::max(f, 0.0), 1.0);
    double target = f * p->getParam(PLAYERPARAM_LENGTH);
    double bpm = p->getBPM(false, true, false);
    if (!(bpm > 0.0)) return;
    double step = 2.0 * p->getSamplerate() * 60.0 / bpm;
    double position = p->getParam(PLAYERPARAM_POSITION);
    p->setParam(PLAYERPARAM_POSITION, position + step * std::trunc((target - position) / step), 0.0);
}

// ---- Drags and jog turns ------------------------------------------------------------------------

void TarlumeSkinInterface::handleMouseMove(SkinObject* object, float x, float y, float lastX, float lastY, int action,
                                           int button, int modifiers, SkinWindow* window, int layer) {
    int deck = object ? deckOf(object, layer) : layer;
    TarlumePlayer* p = deckAt(deck);
    if (!p || !object || object->type != OBJECT_SPECIAL)
        return SkinInterface::handleMouseMove(object, x, y, lastX, lastY, action, button, modifiers, window,
                                              p ? deck : layer);
    if (object->value == VALUE_DISC && action == ACTION_BEND) {
        // Dragging up bends up, building on the bend so far.
        double d = (lastY - y) / 10.0;
        p->setPitchMode(PITCHMODE_BEND, d + p->pitchModeA, 0, 0);
    } else if (object->value == VALUE_TITLEBAR) {
        // From now on the base moves the window with it.
        object->type = OBJECT_MOVEWINDOW;
        handleMouseMove(object, x, y, lastX, lastY, action, button, modifiers, window, layer);
    }
}

void TarlumeSkinInterface::handleJogWheel(int id, std::string* spec, int deck, double amount, double factor,
                                          double extra) {
    TarlumePlayer* p = deckAt(deck);
    if (!p) return SkinInterface::handleJogWheel(id, spec, deck, amount, factor, extra);
    if (factor == 0.0) factor = 1.0;
    switch (id) {
    case VALUE_PITCHBEND_UP:
    case VALUE_PITCHBEND_DOWN:
        if (!playing(p)) {
            p->setPitchMode(PITCHMODE_FOLLOW, amount, 1.0, 1.0);
        } else if (p->pitchMode == PITCHMODE_FOLLOW) {
            p->setPitchMode(PITCHMODE_FOLLOW, amount, p->pitchModeB, p->pitchModeC);
        } else {
            double speed = p->updateJogWheelSpeed(factor * amount);
            p->setPitchMode(PITCHMODE_BEND, 2.0 * speed, 150.0, 0.0);
        }
        return;
    case VALUE_PITCH: {
        if (spec && *spec == "pitch") return turnValue(VALUE_PITCH, spec, deck, amount * factor);
        double c = !playing(p) ? 1.0 : p->pitchMode == PITCHMODE_FOLLOW ? p->pitchModeC : 0.0;
        p->setPitchMode(PITCHMODE_FOLLOW, factor * amount, spec && *spec == "touch" ? 0.0 : 1.0, c);
        return;
    }
    case VALUE_PLAYLIST:
        if (!spec || *spec != "active") return;
        if (!engine->activeList) engine->plSwitchActive();
        if (engine->activeList) engine->activeList->scrollDown(factor * amount);
        return;
    default:
        turnValue(id, spec, deck, amount * factor);
        return;
    }
}

// ---- Keys ---------------------------------------------------------------------------------------

void TarlumeSkinInterface::handleKeyPress(SkinObject* object, int keyCode, const char* characters, bool keyUp,
                                          int layer) {
    int deck = object ? deckOf(object, layer) : layer;
    SkinObjectStateInfo* state = object ? object->state(layer) : nullptr;
    bool search =
        engine && isValidDeck(deck) && state && object->type == OBJECT_TEXTBOX && object->value == VALUE_SEARCHFIELD;
    if (search && !keyUp && keyCode == KEY_RETURN) engine->changeFolder(deck, "search:" + state->editText);
    SkinInterface::handleKeyPress(object, keyCode, characters, keyUp, layer);
    if (!search || !keyUp) return;

    const std::string& text = state->editText;
    if (characterCount(text) > 2) {
        // Searching while typing, from the third character; a key that changed nothing searches
        // nothing new.
        std::string folder = "search:" + text;
        if (engine->currentFolder[deck] != folder) engine->changeFolder(deck, folder);
    } else if (text.empty() && isLeft(engine->currentFolder[deck], "search:")) {
        // Cleared: back to the folder shown before the searches.
        const std::vector<std::string>& history = engine->folderHistory[deck];
        for (auto it = history.rbegin(); it != history.rend(); ++it) {
            if (!isLeft(*it, "search:")) {
                std::string folder = *it;
                engine->changeFolder(deck, folder);
                return;
            }
        }
    }
}

void TarlumeSkinInterface::handleKeyboardObject(SkinObject* object, int deck, bool released) {
    if (!object || !deckAt(deck)) return;
    std::vector<std::string> words = strsplit(object->valueSpecifier, " ");
    const std::string& command = words[0];
    std::string argument = words.size() > 1 ? words[1] : std::string();

    if (command == "pitch_up") {
        handleMouseClickSimple(VALUE_PITCH_UP, argument, deck, released);
    } else if (command == "pitch_down") {
        handleMouseClickSimple(VALUE_PITCH_DOWN, argument, deck, released);
    } else if (command == "loop_setout") {
        handleMouseClickSimple(VALUE_LOOP_SETOUT, argument, deck, released);
    } else if (command == "loop_setin") {
        handleMouseClickSimple(VALUE_LOOP_SETIN, argument, deck, released);
    } else if (command == "fade_right_full") {
        setValueDblRelative(VALUE_CROSSFADERTO, &argument, deck, 1.0);
    } else if (command == "fade_left_full") {
        setValueDblRelative(VALUE_CROSSFADERTO, &argument, deck, 0.0);
    } else if (command == "fade_center") {
        setValueDblRelative(VALUE_CROSSFADERTO, &argument, deck, 0.5);
    } else if (released) {
        return;
    } else if (command == "pl_active_scrolldown") {
        engine->plScrollDown();
    } else if (command == "pl_active_scrollup") {
        engine->plScrollUp();
    } else if (command == "pl_active_switch") {
        engine->plSwitchActive();
    } else if (command == "pl_active_load" || command == "pl_active_select") {
        // Before any list has the keyboard the file list takes it, so a track selected with the mouse
        // alone loads. (Cycling from no list would give the folder list to a skin without a playlist
        // list, and load would reopen the selected folder.)
        engine->plTakeFirstList();
        SkinListBox* list = engine->activeList;
        SkinListItem* row = list && list->getNbSelectedItems() > 0 ? list->getSelectedItem(0) : nullptr;
        if (!row) return;
        bool found = false;
        std::string file = row->getColumnByName("FileName", &found);
        if (found) {
            deckAt(deck)->loadSong(file.c_str(), false);
            return;
        }
        std::string path = row->getColumnByName("Path", &found);
        if (found) engine->changeFolder(0, path);
    }
}
