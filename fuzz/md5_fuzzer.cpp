// MD5, differential: the input fed in one piece, in pieces of sizes the
// input itself chooses, through whole blocks first, and read back from a
// file by md5_stream, all give one digest. The first byte repeats the rest
// up to 255 times, so files cross the stream's read-buffer boundaries
// without huge inputs.

#include "fuzz_support.h"

#include "md5lib/md5.h"

#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1 || size > 16 * 1024) return 0;
    const unsigned repeat = data[0];
    std::vector<uint8_t> msg;
    msg.reserve((size - 1) * (repeat + 1));
    for (unsigned r = 0; r <= repeat; ++r) msg.insert(msg.end(), data + 1, data + size);
    if (repeat != 0 && size > 1) msg.push_back(data[size - 1] ^ 0x5a);  // break the period

    unsigned char want[16];
    md5_buffer(msg.data(), msg.size(), want);

    // Pieces whose sizes come from the input: a byte b gives b pieces'
    // worth of sizes in 0..b*3, cycling, so pieces of 0, 1, 63, 64, 65, 127,
    // 128 and more all occur.
    md5_context ctx;
    md5_init_ctx(&ctx);
    std::size_t pos = 0, k = 0;
    while (pos < msg.size()) {
        const std::size_t b = data[1 + k % (size > 1 ? size - 1 : 1)] * 3u % 200u;
        // A piece of 0 bytes is fed too, then one byte so the loop moves on.
        const std::size_t n = std::min(msg.size() - pos, b == 0 ? 1 : b);
        if (b == 0) md5_process_bytes(msg.data() + pos, 0, &ctx);
        md5_process_bytes(msg.data() + pos, n, &ctx);
        FUZZ_CHECK(ctx.pending_len <= 64);
        pos += n;
        ++k;
    }
    unsigned char got[16];
    md5_finish_ctx(&ctx, got);
    FUZZ_CHECK(std::memcmp(got, want, 16) == 0);

    // Whole blocks through md5_process_block, the tail through bytes.
    md5_init_ctx(&ctx);
    const std::size_t whole = msg.size() & ~std::size_t(63);
    md5_process_block(msg.data(), whole, &ctx);
    md5_process_bytes(msg.data() + whole, msg.size() - whole, &ctx);
    md5_finish_ctx(&ctx, got);
    FUZZ_CHECK(std::memcmp(got, want, 16) == 0);

    // From a file, in hex.
    const std::string path = fuzz::scratch_dir() + "/md5";
    fuzz::write_file(path, msg.data(), msg.size());
    std::FILE* f = std::fopen(path.c_str(), "rb");
    FUZZ_CHECK(f != nullptr);
    char hex[MD5_HEX_SIZE], want_hex[MD5_HEX_SIZE];
    FUZZ_CHECK(md5_stream_ascii(f, hex) == 0);
    std::fclose(f);
    md5_to_hex(want, want_hex);
    FUZZ_CHECK(std::memcmp(hex, want_hex, MD5_HEX_SIZE) == 0);
    FUZZ_CHECK(std::strspn(hex, "0123456789abcdef") == 32 && hex[32] == '\0');
    return 0;
}
