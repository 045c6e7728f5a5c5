#include "foundation/base64.h"

namespace {

int sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

} // namespace

std::string base64_decode(const std::string& text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    unsigned int group = 0;
    int have = 0;
    for (unsigned char c : text) {
        int v = sextet(c);
        if (v < 0) break;
        group = (group << 6) | unsigned(v);
        if (++have == 4) {
            out.push_back(char((group >> 16) & 0xFF));
            out.push_back(char((group >> 8) & 0xFF));
            out.push_back(char(group & 0xFF));
            group = 0;
            have = 0;
        }
    }
    if (have >= 2) {
        group <<= 6 * (4 - have);
        out.push_back(char((group >> 16) & 0xFF));
        if (have == 3) out.push_back(char((group >> 8) & 0xFF));
    }
    return out;
}
