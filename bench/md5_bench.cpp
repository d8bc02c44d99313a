// Throughput of the MD5 module against OpenSSL's MD5 on the same buffers:
// a whole digest (init, update, finish) per iteration, at the sizes the tool
// meets: a small file, one read buffer, and a large file held in memory.

#include "md5lib/md5.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
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
    return true;
}

} // namespace

BENCHMARK(mdtree_md5)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(openssl_md5)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);

int main(int argc, char** argv) {
    if (!same_digests()) {
        std::fprintf(stderr, "md5_bench: the MD5 module and OpenSSL disagree\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
