#include "foundation/jmemdatasrc.h"

#include <cstring>

#include <jerror.h>

namespace {

constexpr size_t kBufferSize = 4096; // bytes handed to the library per fill

struct MemorySource {
    jpeg_source_mgr pub; // first: the library sees a jpeg_source_mgr*
    const unsigned char* data;
    size_t size;
    size_t consumed; // bytes of data copied into the buffer so far
    JOCTET* buffer;  // kBufferSize bytes from the library's permanent pool
    bool startOfFile;
};

void initSource(j_decompress_ptr cinfo) {
    reinterpret_cast<MemorySource*>(cinfo->src)->startOfFile = true;
}

boolean fillInputBuffer(j_decompress_ptr cinfo) {
    MemorySource* src = reinterpret_cast<MemorySource*>(cinfo->src);
    size_t n = src->size - src->consumed;
    if (n > kBufferSize) n = kBufferSize;
    if (n == 0) {
        // Out of data: warn and pretend the image ends here, so what was read still decodes.
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->buffer[0] = 0xFF;
        src->buffer[1] = JPEG_EOI;
        n = 2;
    } else {
        std::memcpy(src->buffer, src->data + src->consumed, n);
        src->consumed += n;
    }
    src->startOfFile = false;
    src->pub.next_input_byte = src->buffer;
    src->pub.bytes_in_buffer = n;
    return TRUE;
}

void skipInputData(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    MemorySource* src = reinterpret_cast<MemorySource*>(cinfo->src);
    size_t n = size_t(count);
    while (n > src->pub.bytes_in_buffer) {
        n -= src->pub.bytes_in_buffer;
        bool exhausted = src->consumed >= src->size;
        fillInputBuffer(cinfo);
        // Past the end only the fake end marker remains: skipping it all would lose it.
        if (exhausted) return;
    }
    src->pub.next_input_byte += n;
    src->pub.bytes_in_buffer -= n;
}

void termSource(j_decompress_ptr) {}

} // namespace

void jpeg_memory_src(j_decompress_ptr cinfo, const unsigned char* data, size_t size) {
    // The record is made once per decompression object and reused; a source of another kind
    // (another init_source) is never reinterpreted as ours.
    if (!cinfo->src || cinfo->src->init_source != initSource) {
        MemorySource* src = static_cast<MemorySource*>(
            (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(MemorySource)));
        src->buffer = static_cast<JOCTET*>(
            (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, kBufferSize));
        cinfo->src = &src->pub;
    }
    MemorySource* src = reinterpret_cast<MemorySource*>(cinfo->src);
    src->pub.init_source = initSource;
    src->pub.fill_input_buffer = fillInputBuffer;
    src->pub.skip_input_data = skipInputData;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = termSource;
    src->pub.next_input_byte = nullptr;
    src->pub.bytes_in_buffer = 0;
    src->data = data;
    src->size = data ? size : 0;
    src->consumed = 0;
    src->startOfFile = true;
}
