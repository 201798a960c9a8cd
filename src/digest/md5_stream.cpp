#include <cstdio>

#include "digest/md5.hpp"

namespace tollmar::digest {

int md5_digest_stream(std::FILE* stream, void* result) {
    constexpr std::size_t block_size = 4096;  // a multiple of 64
    unsigned char block[block_size];
    md5_context ctx;
    md5_init(&ctx);

    std::size_t filled = 0;
    for (;;) {
        // fread may deliver less than asked (pipes, terminals); keep asking
        // until the block is full or the stream has nothing more.
        filled = 0;
        std::size_t got = 0;
        do {
            got = std::fread(block + filled, 1, block_size - filled, stream);
            filled += got;
        } while (filled < block_size && got != 0);

        if (filled < block_size) break;
        md5_add_blocks(block, block_size, &ctx);
    }

    if (std::ferror(stream)) return 1;
    if (filled > 0) md5_add_bytes(block, filled, &ctx);
    md5_finish(&ctx, result);
    return 0;
}

}  // namespace tollmar::digest
