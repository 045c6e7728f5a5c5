// tarlume_probe: the tarlume program as it ships, plus a probe the end-to-end tests query once per
// frame (the socket named by TARLUME_PROBE).
#include "Probe.h"
#include "shell/Application.h"

#include <cstdlib>
#include <memory>

int main() {
    const char* path = getenv("TARLUME_PROBE");
    std::shared_ptr<Probe> probe = path && *path ? std::make_shared<Probe>(path) : nullptr;
    return runApplication([probe] {
        if (probe) probe->serve();
    });
}
