// A libjpeg data source over bytes held in memory (cover art from tags, files read whole).
#pragma once

#include <cstddef>
#include <cstdio> // jpeglib.h needs FILE and size_t declared first

#include <jpeglib.h>

// Installs the memory source on a decompression object. The bytes must stay valid until the
// object is destroyed. Data that end early are followed by a fake end-of-image marker (with the
// library's premature-end warning), so a truncated picture decodes as far as it goes.
void jpeg_memory_src(j_decompress_ptr cinfo, const unsigned char* data, size_t size);
