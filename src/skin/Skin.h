// The loaded skin: reads a skin file with its includes, builds its windows on worker threads,
// and is the registry through which the skin engine and the application find windows,
// pictures, image references, fonts, colours, scripts, triggers and variables. Main thread
// after loading.
#pragma once

#include "foundation/PlatformIndependent.h"
#include "skin/SkinColor.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CPicture;
class SkinFont;
class SkinImageRef;
class SkinInterface;
class SkinScript;
class SkinScriptTrigger;
class SkinWindow;

struct tVariable {
    std::string name;
    std::string value;
    bool persistent = false;
};

class Skin {
public:
    // Include elements expanded at most this often, and the skin text kept below this size
    // (bytes): a skin that includes itself stops growing.
    static constexpr int maxIncludes = 256;
    static constexpr size_t maxSkinTextSize = 64u << 20;
    // Window-loading queues and workers.
    static constexpr int nbCores = 2;
    // Triggers added while the triggers are polled are polled in the same frame, this many at
    // most: scripts whose triggers add triggers that fire at once would otherwise never let the
    // frame end.
    static constexpr int maxAddedTriggerPolls = 1024;

    explicit Skin(SkinInterface* iface);
    virtual ~Skin();
    Skin(const Skin&) = delete;
    Skin& operator=(const Skin&) = delete;

    // Loads whatever the file gives (an unreadable file gives only the built-in windows) and answers true.
    // With `refusal` given, a file that is no usable skin (empty, cut short, not a skin file, no window)
    // loads nothing: false, and the reason in `refusal`.
    bool loadSkin(const std::string& path, std::string* refusal = nullptr);
    void closeSkin();
    static std::string readContents(const std::string& path);

    SkinWindow* getWindow(const std::string& name) const;
    void getBounds(float* width, float* height) const;

    CPicture* loadPicture(const std::string& name);
    // A new image reference owned by the caller, or null; width and height are not used.
    SkinImageRef* getImageRef(const std::string& description, int width, int height);
    unsigned int getColor(const std::string& description) const;
    // Never null: unknown names give the "default" font, created when missing.
    SkinFont* getFontHandle(const std::string& name);

    SkinScript* getScript(const std::string& name);
    SkinScript* addScript(const std::string& name, const std::string& text);
    void stopScript(const std::string& name, int deck);
    void addTrigger(SkinScriptTrigger* trigger);
    void removeTrigger(const std::string& name);
    int getNbTriggers() const;
    SkinScriptTrigger* getTrigger(int i) const;
    // Per-frame tick: resumes waiting scripts, polls triggers.
    void handleTriggers();

    std::string getVariable(const std::string& name) const;
    int getNbVariables() const { return static_cast<int>(variables.size()); }
    tVariable& getVariableAt(int i) { return variables[static_cast<size_t>(i)]; }
    void setVariable(const std::string& name, const std::string& value);
    void setVariablePersistent(const std::string& name, bool persistent, const std::string& value);
    std::string getVariablesXML() const;
    void initVariablesFromXML(const std::string& text);

    std::string getTabOrderXML() const;
    void initTabOrderFromXML(const std::string& text);

    // Told of every name the skin text gives that the loader could not resolve: a picture, an
    // image reference, a colour, a font, an object type, value or action, a link target. `what`
    // says which kind, `name` is the text as written. Skin authors and tests use it to find what a
    // skin asks for in vain (nothing else reports it: the skin falls back to defaults). Called on
    // the window-loading threads too, never two calls at once.
    std::function<void(const std::string& what, const std::string& name)> onUnresolved;
    void reportUnresolved(const std::string& what, const std::string& name);

    void readGenreColors(const std::string& path);
    void fixPlaylist();
    void loadWindowThread(int index);

    // A window definition waiting for a worker: the name forced on it (empty: its own "name"
    // element) and its place in the skin file.
    struct QueuedWindow {
        std::string definition;
        std::string forcedName;
        int sequence = 0;
    };
    // Hands the skin text's window definitions to the worker queues in turn ("playerwindow",
    // "main", "fxwindow", then every "window").
    static void queueWindows(std::string& text, std::deque<QueuedWindow> (&queues)[nbCores]);

    // Settings text escaping: "<", ">" and "&" as entities, so stored values cannot close or open
    // elements of the settings file. Text without them is unchanged.
    static std::string escapeText(const std::string& text);
    static std::string unescapeText(const std::string& text);

    std::vector<std::unique_ptr<SkinColor>> colors;
    std::vector<std::unique_ptr<SkinFont>> fonts;
    std::vector<std::unique_ptr<CPicture>> pictures;
    std::vector<std::string> picturePaths;
    std::vector<std::unique_ptr<SkinImageRef>> imageRefs;
    std::vector<tVariable> variables;
    std::vector<std::unique_ptr<SkinScript>> scripts;
    std::vector<std::unique_ptr<SkinScriptTrigger>> triggers;
    std::string folder; // ends in "/"
    std::string skinName;
    bool loaded = false;
    int minimalBuild = 1000;
    int players = 2; // layers of "player" shown at start
    bool showBackground = true;
    bool showEffects = true;
    int resolutionWidth = 1024;
    int resolutionHeight = 768;
    CPicture* backgroundPicture = nullptr;
    std::vector<std::unique_ptr<SkinColor>> songColors;
    std::vector<std::unique_ptr<SkinColor>> genreColors;
    std::vector<std::unique_ptr<SkinWindow>> windows;
    SkinWindow* focusedWindow = nullptr;
    int focusedLayer = 0;
    SkinInterface* interface = nullptr;

    // Guards the window queues, the window list and the picture cache while windows load.
    CRITICAL_SECTION cs_windowCreation;

private:
    std::deque<QueuedWindow> windowQueue[nbCores];
    // Worker threads still running; the loader waits for 0.
    int runningWorkers = 0;
    std::mutex workerMutex;
    std::mutex unresolvedMutex;
    std::condition_variable workersDone;
    // Depth of handleTriggers: removed triggers are only marked while it polls.
    int pollingTriggers = 0;

    std::string expandIncludes(std::string text);
    void readSections(std::string& text);
    void startWorker(int index);
    void appendWindow(SkinWindow* window);
    void showAtStart();
    void sweepTriggers();
};
