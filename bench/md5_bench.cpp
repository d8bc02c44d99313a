// Throughput of the MD5 module against OpenSSL's MD5 on the same buffers:
// a whole digest (init, update, finish) per iteration, at the sizes the tool
// meets: a small file, one read buffer, and a large file held in memory.
// Then md5_many at each level the CPU runs against the same buffers hashed
// one by one, as a directory of small files would be.

#include "md5lib/md5.h"
#include "md5lib/md5_many.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

std::vector<unsigned char> make_data(std::size_t len) {
    std::vector<unsigned char> v(len);
    std::mt19937_64 rng(42);
    for (auto& b : v) b = static_cast<unsigned char>(rng());
    return v;
}

void mdtree_md5(benchmark::State& state) {
    const auto data = make_data(std::size_t(state.range(0)));
    unsigned char digest[16];
    for (auto _ : state) {
        md5_context ctx;
        md5_init_ctx(&ctx);
        md5_process_bytes(data.data(), data.size(), &ctx);
        md5_finish_ctx(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void openssl_md5(benchmark::State& state) {
    const auto data = make_data(std::size_t(state.range(0)));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int dlen = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const EVP_MD* md = EVP_md5();
    if (!ctx || !md) throw std::runtime_error("no OpenSSL MD5");
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, digest, &dlen);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

constexpr std::size_t MANY = 64;

// MANY distinct buffers of len bytes each.
struct ManyBuffers {
    std::vector<std::vector<unsigned char>> bufs;
    std::vector<const unsigned char*> data;
    std::vector<std::size_t> len;
    std::unique_ptr<char[][MD5_HEX_SIZE]> hex;

    explicit ManyBuffers(std::size_t size) : len(MANY, size), hex(new char[MANY][MD5_HEX_SIZE]) {
        for (std::size_t i = 0; i < MANY; ++i) {
            bufs.push_back(make_data(size + i));
            bufs.back().resize(size);
            data.push_back(bufs.back().data());
        }
    }
};

// Args: level, buffer size.
void md5_many_level(benchmark::State& state) {
    const auto level = Md5Level(state.range(0));
    if (!md5_many_supported(level)) {
        state.SkipWithError("level not on this CPU");
        return;
    }
    ManyBuffers m(std::size_t(state.range(1)));
    for (auto _ : state) {
        md5_many_at(level, m.data.data(), m.len.data(), MANY, m.hex.get());
        benchmark::DoNotOptimize(m.hex.get());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(MANY) * state.range(1));
}

// The peer: the same buffers, one whole digest after another.
void md5_one_by_one(benchmark::State& state) {
    ManyBuffers m(std::size_t(state.range(0)));
    for (auto _ : state) {
        for (std::size_t i = 0; i < MANY; ++i) {
            md5_context ctx;
            md5_init_ctx(&ctx);
            md5_process_bytes(m.data[i], m.len[i], &ctx);
            md5_finish_hex(&ctx, m.hex[i]);
        }
        benchmark::DoNotOptimize(m.hex.get());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(MANY) * state.range(0));
}

// Both sides must agree before their speeds mean anything.
bool same_digests() {
    for (std::size_t len : {0, 55, 56, 64, 65, 4096, 100000}) {
        const auto data = make_data(len);
        unsigned char ours[16], theirs[EVP_MAX_MD_SIZE];
        unsigned int dlen = 0;
        md5_buffer(data.data(), data.size(), ours);
        EVP_Digest(data.data(), data.size(), theirs, &dlen, EVP_md5(), nullptr);
        if (dlen != 16 || std::memcmp(ours, theirs, 16) != 0) return false;
    }
    for (std::size_t size : {0, 55, 56, 64, 4096}) {
        ManyBuffers m(size);
        for (auto level : {Md5Level::scalar, Md5Level::avx2, Md5Level::avx512}) {
            if (!md5_many_supported(level)) continue;
            md5_many_at(level, m.data.data(), m.len.data(), MANY, m.hex.get());
            for (std::size_t i = 0; i < MANY; ++i) {
                unsigned char d[16];
                char want[MD5_HEX_SIZE];
                md5_to_hex(static_cast<unsigned char*>(md5_buffer(m.data[i], size, d)), want);
                if (std::strcmp(want, m.hex[i]) != 0) return false;
            }
        }
    }
    return true;
}

} // namespace

BENCHMARK(mdtree_md5)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(openssl_md5)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(md5_many_level)
    ->ArgNames({"level", "size"})
    ->ArgsProduct({{int(Md5Level::scalar), int(Md5Level::avx2), int(Md5Level::avx512)}, {4 << 10, 64 << 10}});
BENCHMARK(md5_one_by_one)->Arg(4 << 10)->Arg(64 << 10);

int main(int argc, char** argv) {
    if (!same_digests()) {
        std::fprintf(stderr, "md5_bench: the MD5 module, md5_many and OpenSSL disagree\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
