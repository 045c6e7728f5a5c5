// The one background thread that decodes audio for every player ahead of its play position and, whenever no
// player is short of data, feeds the players' analysers from the frames already decoded. It serves up to 16
// registered players, those close to running dry first, in cycles of at most 3 ms (6 ms when a player is close to
// running dry) and sleeps between cycles so that it uses about `trackLoading_cpuUse` of one processor; a new track or a
// jump out of a ring wakes it at once.
#pragma once

#include <functional>

class Player;

// Starts the thread when none runs; true when it started one.
bool trackLoading_Start();
// Stops the thread and waits for it to end; true when one was running. Never call it from the thread itself.
bool trackLoading_Stop();
// Accepted and ignored: the thread keeps the default priority.
void trackLoading_SetPriority(int priority);

class TrackLoading {
public:
    static constexpr int kMaxPlayers = 16;

    // The fill-ratio thresholds of a player playing at `speed`: above hi it has decoded enough this cycle,
    // below lo the cycle is urgent.
    static void thresholds(double speed, double* hi, double* lo);
    // The sleep after a cycle, in ms.
    static double sleepAfter(double elapsedMs, bool busy, bool urgent, bool speedLoading, double cpuUse);

    struct Cycle {
        bool busy = false;   // some player did work
        bool urgent = false; // some player is close to running dry
        double elapsedMs = 0;
        double sleepMs = 0;
    };
    // One cycle over `players` (null entries are skipped); `clock` returns milliseconds.
    static Cycle runCycle(Player* const* players, int count, double (*clock)());

    // Registry (the thread holds its lock for a whole cycle).
    static int reserve();                          // a free slot in creation order, -1 when all are taken
    static void publish(int slot, Player* player); // the player may be loaded from now on
    static void release(int slot, Player* player); // waits for a running cycle, then frees the slot
    static int registeredPlayers();

    // Any thread, never blocks: the thread runs its next cycle now rather than after its sleep.
    static void wake();
    // Runs `job` on the loading thread before its next cycle, in the order posted (opening a deck's file and
    // reading its tags, which may take long: never on the main thread). Without the thread (loading inside
    // the audio callback) the job runs on the caller at once. A job owns what it uses.
    static void post(std::function<void()> job);
    // A running cycle found work (`loadingTrack`).
    static bool isLoading();
    static double cpuUse(); // share of one processor, 0.1 .. 0.75 (0.5)
    static void setCpuUse(double share);
    // Whether requests wake the sleeping thread (on by default; off measures the plain sleep).
    static void setWakeOnRequest(bool on);
};
