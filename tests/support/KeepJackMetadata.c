// Loaded into the tests' JACK servers (see JackServer.h). Each JACK server that ends removes the metadata store
// that every JACK server and client of the user on the machine shares (/dev/shm/jack_db-<uid>). The next clients
// make it anew, and one that opens it while another is still sizing its files reads past their end: seen as a
// SIGBUS inside jack_client_open in tests whose servers ran beside other tests' servers. A server here removes
// the store only when no other JACK server of the user runs. It is still removed then: a store never removed
// fills up with what the clients of programs that ended without closing them left in it.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Whether a JACK server of the user other than this one runs (or has ended and not been waited for).
static int anotherServerRuns(void) {
    DIR* proc = opendir("/proc");
    if (!proc) return 1;
    int found = 0;
    for (struct dirent* e; !found && (e = readdir(proc));) {
        const int pid = atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        char path[64], name[32] = "";
        snprintf(path, sizeof path, "/proc/%d", pid);
        struct stat owner;
        if (stat(path, &owner) != 0 || owner.st_uid != getuid()) continue;
        snprintf(path, sizeof path, "/proc/%d/comm", pid);
        FILE* comm = fopen(path, "r");
        if (!comm) continue;
        found = fgets(name, sizeof name, comm) && strcmp(name, "jackd\n") == 0;
        fclose(comm);
    }
    closedir(proc);
    return found;
}

static int keep(const char* path) {
    return path && strstr(path, "/jack_db-") && anotherServerRuns();
}

int remove(const char* path) {
    if (keep(path)) return 0;
    int (*next)(const char*) = (int (*)(const char*))dlsym(RTLD_NEXT, "remove");
    return next(path);
}

int rmdir(const char* path) {
    if (keep(path)) return 0;
    int (*next)(const char*) = (int (*)(const char*))dlsym(RTLD_NEXT, "rmdir");
    return next(path);
}
