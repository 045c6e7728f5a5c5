// The fonts the text renderer may use, found by family name through fontconfig.
// A font is known by a small index (1, 2, ...; 0 means "none"), which is what skin fonts keep.
// Main thread only, like all text drawing.
#pragma once

#include <functional>
#include <string>

namespace FontRegistry {

// The index of the installed family that serves `face`. When fontconfig's best match for `face`
// is another family, the family that serves "Arial" is taken instead (fontconfig's metric
// aliases give Liberation Sans); 0 when neither gives a font.
unsigned int findFont(const std::string& face);

// The family name behind an index; "" for 0 or an unknown index.
std::string familyName(unsigned int id);

// Number of lookups that reached fontconfig since start (tests check caching with it).
int lookupCount();

// Tests replace the fontconfig match: the function receives the asked family and returns the
// family it would match ("" for none). An empty function restores fontconfig.
void setMatcherForTests(std::function<std::string(const std::string&)> matcher);

} // namespace FontRegistry
