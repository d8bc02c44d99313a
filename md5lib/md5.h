// MD5 (RFC 1321) over buffers and open files, and the 33-byte hex digest
// form that listings, manifests and archive tables store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct md5_context {
    uint32_t chain_a, chain_b, chain_c, chain_d;
    uint32_t bytes_low;   // bytes transformed so far, low half
    uint32_t bytes_high;  // high half; takes the carry out of bytes_low
    uint32_t pending_len; // bytes waiting in pending (0..64)
    unsigned char pending[128];
};

// Length of a hex digest with its terminating zero byte.
inline constexpr std::size_t MD5_HEX_SIZE = 33;

void md5_init_ctx(md5_context* ctx);
// len must be a multiple of 64.
void md5_process_block(const void* data, std::size_t len, md5_context* ctx);
void md5_process_bytes(const void* data, std::size_t len, md5_context* ctx);
void* md5_finish_ctx(md5_context* ctx, void* result);
// 0 when the digest of the rest of the file is in result, 1 on a read error
// (result untouched).
int md5_stream(std::FILE* stream, void* result);
// The same on a file descriptor, read with read(2) straight into the block
// buffer: no stdio buffer to allocate and fill, for the many small files of
// a directory walk.
int md5_fd(int fd, void* result);
void* md5_buffer(const void* data, std::size_t len, void* result);
// Renders the digest of the rest of the file into out (33 bytes). Returns 0,
// or 1 after a read error, in which case out holds no digest and the caller
// must not use it.
int md5_stream_ascii(std::FILE* stream, char* out);
// Renders a 16-byte digest as 32 lowercase hex digits and a zero byte.
void md5_to_hex(const unsigned char digest[16], char* out);
// Finishes the context and renders its digest as hex (33 bytes).
void md5_finish_hex(md5_context* ctx, char* out);
