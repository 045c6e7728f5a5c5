// The application's binding of the skin to the DJ engine: every value a skin, script or controller
// names (TarlumeSkinValues.h) is read, written and pressed here, and every id or specifier this
// class does not know goes unchanged to the SkinInterface base.
//
// The class is split by concern over files named after what they do:
//   TarlumeSkinInterfaceVocabulary.cpp  names, ids, specifier numbers, the effect-parameter table
//   TarlumeSkinInterfaceNumbers.cpp     numbers, bounds and relative positions
//   TarlumeSkinInterfaceStates.cpp      lit states and texts
//   TarlumeSkinInterfaceWrites.cpp      writes, relative writes and resets
//   TarlumeSkinInterfaceEvents.cpp      deck and mixer presses, drags, jog turns and keys
//   TarlumeSkinInterfaceListEvents.cpp  list rows, drags and drops
//   TarlumeSkinInterfaceMenus.cpp       pop-up menus, options and dialogs
//   TarlumeSkinInterfaceVisuals.cpp     waveforms, curves, disc, cover and video
//
// Threads: main thread only. Controller input is queued to the main thread before it reaches
// these operations, so none of them takes a lock of its own.
#pragma once

#include "skin/SkinInterface.h"
#include "ui/TarlumeSkinValues.h"

#include <string>

class EffectGroup;
class Tarlume;
class TarlumePlayer;

// One named effect parameter of a deck's effect chain: what "effect", "effectbpm" and
// "effectbpmaligned" address with their specifier. Reads give the range, writes and resets are
// kept inside it (the tempo-control rows excepted: their tempo is a speed ratio, not bounded by
// the knob's 0..1).
struct tEffectParam {
    const char* name; // lower case; specifiers match it with letter case ignored
    int effect;       // EffectGroup effect id, or EFFECT_TEMPOCONTROL
    int parameter;    // parameter id within the effect (the tempo-control rows: TEMPO_AMOUNT/TEMPO_TEMPO)
    double min, max;  // in the effect's units (samples, Hz, gain ...)
    double reset;     // written by resetValue (then clamped like every write)
    enum { EFFECT_TEMPOCONTROL = -1, TEMPO_AMOUNT = 0, TEMPO_TEMPO = 1 };
};

class TarlumeSkinInterface : public SkinInterface {
public:
    // The engine is not owned and outlives this object; it may be null in tests of the names.
    explicit TarlumeSkinInterface(Tarlume* engine);
    ~TarlumeSkinInterface() override;

    // ---- Vocabulary (TarlumeSkinInterfaceVocabulary.cpp) --------------------------------------
    int getType(const std::string& name) override;
    int getValue(const std::string& name) override;
    int getAction(const std::string& name) override;
    // The number a specifier starts with, read in the "C" locale: the fallback for a null or empty
    // specifier, 0.0 for one that starts with no number ("2.5" 2.5, "3x" 3, "pl" 0). "nan", "inf"
    // and numbers beyond a double's range are no numbers.
    static double getDblFromValSpec(const std::string* spec, double fallback);
    // The row of an effect-parameter name (letter case ignored), null for an unknown name.
    static const tEffectParam* findEffectParam(const std::string* spec);
    // An "effectonoff" name (letter case ignored): the EffectGroup effect id, EFFECTNAME_ECHO,
    // EFFECTNAME_TEMPOCONTROL, or EFFECTNAME_NONE.
    static int effectOfName(const std::string* spec);
    enum { EFFECTNAME_NONE = -1, EFFECTNAME_ECHO = -2, EFFECTNAME_TEMPOCONTROL = -3 };

    // ---- Numbers and ranges (TarlumeSkinInterfaceNumbers.cpp) ---------------------------------
    double getValueDbl(int id, std::string* spec, int deck) override;
    double getValueDblMin(int id, std::string* spec, int deck) override;
    double getValueDblMax(int id, std::string* spec, int deck) override;
    double getValueDblRelative(int id, std::string* spec, int deck) override;

    // ---- Lit states and texts (TarlumeSkinInterfaceStates.cpp) --------------------------------
    std::string getValueStr(int id, std::string* spec, int deck) override;
    bool getValueBool(int id, std::string* spec, int deck, SkinWindow* window) override;

    // ---- Writes (TarlumeSkinInterfaceWrites.cpp) ----------------------------------------------
    void setValueDbl(int id, std::string* spec, int deck, double v) override;
    void setValueDblRelative(int id, std::string* spec, int deck, double r) override;
    void resetValue(int id, std::string* spec, int deck) override;

    // ---- Deck and mixer events (TarlumeSkinInterfaceEvents.cpp) -------------------------------
    void handleMouseClick(SkinObject* object, float x, float y, int action, int button, int modifiers,
                          SkinWindow* window, int layer, bool released) override;
    void handleMouseMove(SkinObject* object, float x, float y, float lastX, float lastY, int action, int button,
                         int modifiers, SkinWindow* window, int layer) override;
    void handleJogWheel(int id, std::string* spec, int deck, double amount, double factor, double extra) override;
    void handleKeyPress(SkinObject* object, int keyCode, const char* characters, bool keyUp, int layer) override;
    // A "keyboard" object's command (its specifier: a command and an optional argument).
    void handleKeyboardObject(SkinObject* object, int deck, bool released);

    // ---- List events (TarlumeSkinInterfaceListEvents.cpp) -------------------------------------
    SkinListBox* getListBox(SkinObject* object) override;
    void startDragOperation(SkinObject* object, int deck, const std::string& data) override;
    void handleFileDrop(SkinObject* object, int layer, const std::string& path, float x, float y) override;
    void handleItemClick(SkinObject* object, SkinListItem* row, int flag) override;
    void handleItemDragStart(SkinObject* object, SkinListItem* row) override;
    void handleItemDelete(SkinObject* object, SkinListItem* row, bool* veto) override;

    // ---- Menus, options and dialogs (TarlumeSkinInterfaceMenus.cpp) ---------------------------
    void popupCustomMenu(const std::string& name, int deck, const std::string& value, float x, float y,
                         bool flag) override;
    void handleInputBox(const std::string& answer) override;
    // A press or release (action default) of "option", "cases", "modemenu", "selectdrive",
    // "record_quick" or "createcase", from handleMouseClick with the event's deck (0..3) and window
    // (null for presses without an object). True when handled here; false hands the event to the
    // base handleMouseClick.
    bool handleMenuClick(SkinObject* object, float x, float y, SkinWindow* window, int deck, bool released);
    // Where the "cases" menu opens (screen pixels), kept so that a sub-case menu chosen from it,
    // which comes without a window, opens at the same place.
    double casesPopupX = 0.0, casesPopupY = 0.0;
    // The "Preferences" option was pressed: the shell opens its preferences window.
    bool preferencesRequested = false;

    // ---- Visuals (TarlumeSkinInterfaceVisuals.cpp) --------------------------------------------
    void drawObject(void* target, SkinObject* object, int layer, SkinWindow* window) override;

    Tarlume* engine = nullptr; // not owned

protected:
    // The deck of an index, null outside 0..3 or without an engine.
    TarlumePlayer* deckAt(int deck) const;
    // The slot a specifier names, 1..last; 0 for none (empty, not a number, out of range).
    static int slotOf(const std::string* spec, int last);
    // The specifier equals a lower-case name, letter case ignored (false for null).
    static bool equalsName(const std::string* spec, const char* lowerName);
    // Output samples per beat at the deck's tempo (getBPM is never below 10).
    double samplesPerBeat(TarlumePlayer* deck) const;
    double limiterReduction(const std::string* spec, int deck) const; // dB
    double clipping(const std::string* spec, int deck) const;
    // The present value of a readable effect-parameter name; false for any other name.
    bool readEffectParam(const std::string* spec, int deck, double* value);
    // Writes a named effect parameter, kept inside its range; nothing for an unknown name.
    void writeEffectParam(const std::string* spec, int deck, double v);
    // A jog turn on a value: moves it by delta, kept inside its range (the base's turn for a generic id).
    void turnValue(int id, std::string* spec, int deck, double delta);
    // A button's release or press (action default) on a deck 0..3; false hands it to the base.
    bool handleRelease(SkinObject* object, int deck, SkinWindow* window);
    bool handlePress(SkinObject* object, float x, float y, int deck, SkinWindow* window);
    void seekByBars(const std::string& spec, bool backwards, TarlumePlayer* deck);
    void clickWholeWaveform(SkinObject* object, float x, float y, int deck);
};
