#include "platform/FontRegistry.h"

#include <fontconfig/fontconfig.h>

#include <strings.h>
#include <vector>

namespace {

struct Registry {
    std::vector<std::string> families; // index i + 1 is families[i]
    int lookups = 0;
    std::function<std::string(const std::string&)> matcher;
};

Registry& registry() {
    static Registry r;
    return r;
}

// fontconfig's best family for a name, after its substitutions (aliases, defaults).
std::string fontconfigMatch(const std::string& face) {
    static bool initialised = FcInit() == FcTrue;
    if (!initialised) return "";
    FcPattern* pattern = FcPatternCreate();
    if (!pattern) return "";
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(face.c_str()));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    std::string family;
    if (match) {
        FcChar8* value = nullptr;
        if (FcPatternGetString(match, FC_FAMILY, 0, &value) == FcResultMatch && value)
            family = reinterpret_cast<const char*>(value);
        FcPatternDestroy(match);
    }
    FcPatternDestroy(pattern);
    return family;
}

std::string match(const std::string& face) {
    Registry& r = registry();
    ++r.lookups;
    return r.matcher ? r.matcher(face) : fontconfigMatch(face);
}

unsigned int indexOf(const std::string& family) {
    Registry& r = registry();
    for (size_t i = 0; i < r.families.size(); ++i)
        if (r.families[i] == family) return static_cast<unsigned int>(i + 1);
    r.families.push_back(family);
    return static_cast<unsigned int>(r.families.size());
}

} // namespace

namespace FontRegistry {

unsigned int findFont(const std::string& face) {
    if (!face.empty()) {
        std::string family = match(face);
        if (!family.empty() && strcasecmp(family.c_str(), face.c_str()) == 0) return indexOf(family);
    }
    std::string fallback = match("Arial");
    return fallback.empty() ? 0 : indexOf(fallback);
}

std::string familyName(unsigned int id) {
    Registry& r = registry();
    if (id == 0 || id > r.families.size()) return "";
    return r.families[id - 1];
}

int lookupCount() {
    return registry().lookups;
}

void setMatcherForTests(std::function<std::string(const std::string&)> matcher) {
    registry().matcher = std::move(matcher);
}

} // namespace FontRegistry
