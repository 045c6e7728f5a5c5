// Decoder of the standard base64 alphabet (pictures stored in Vorbis comments).
#pragma once

#include <string>

// Decodes until the end of the text, the first "=" or the first character outside the alphabet
// (white space included). A final group of n < 4 characters gives n - 1 bytes.
std::string base64_decode(const std::string& text);
