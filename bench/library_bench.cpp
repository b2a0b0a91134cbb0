// The library against libcrypto's bare Blowfish-CBC over the same 16 MiB:
// what hex and allocation cost on top of the cipher itself.
#include "BlowfishEncDec.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

namespace {

constexpr size_t kSize = 16 << 20;
const char *kKey = "a benchmark key";
const IVString kIV = {"12345678"};

// A 16 MiB text: random bytes, none of them zero.
const std::string &text()
{
    static const std::string bytes = [] {
        std::mt19937 generator(1);
        std::string s(kSize, '\0');
        for (auto &c : s)
            c = static_cast<char>(1 + generator() % 255);
        return s;
    }();
    return bytes;
}

const std::string &sealedHex()
{
    static const std::string hex = [] {
        CBCBuffer sealed = encode_cbc(text().c_str(), kKey, kIV);
        char *h = hexEncodeCBCBuffer(sealed);
        std::string s(h);
        free(h);
        releaseCBCBuffer(&sealed);
        return s;
    }();
    return hex;
}

long minorFaults()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Page faults per iteration: first touches of fresh result pages are a large
// share of the time where each costs a trap into the kernel.
void countFaults(benchmark::State &state, long before)
{
    state.counters["page_faults"] =
        benchmark::Counter(static_cast<double>(minorFaults() - before), benchmark::Counter::kAvgIterations);
}

void bareCbc(benchmark::State &state, const unsigned char *in, int direction)
{
    std::vector<unsigned char> out(kSize);
    for (auto _ : state) {
        BF_KEY key;
        BF_set_key(&key, static_cast<int>(strlen(kKey)), reinterpret_cast<const unsigned char *>(kKey));
        unsigned char iv[8];
        memcpy(iv, kIV.string, 8);
        BF_cbc_encrypt(in, out.data(), static_cast<long>(kSize), &key, iv, direction);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_BareEncrypt(benchmark::State &state)
{
    bareCbc(state, reinterpret_cast<const unsigned char *>(text().data()), BF_ENCRYPT);
}

void BM_BareDecrypt(benchmark::State &state)
{
    CBCBuffer sealed = hexDecode(sealedHex().c_str());
    bareCbc(state, sealed.data, BF_DECRYPT);
    releaseCBCBuffer(&sealed);
}

void BM_EncodeCbcAndHex(benchmark::State &state)
{
    const char *data = text().c_str();
    long faults = minorFaults();
    for (auto _ : state) {
        CBCBuffer sealed = encode_cbc(data, kKey, kIV);
        char *hex = hexEncodeCBCBuffer(sealed);
        benchmark::DoNotOptimize(hex);
        state.PauseTiming();
        free(hex);
        releaseCBCBuffer(&sealed);
        state.ResumeTiming();
    }
    countFaults(state, faults);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_HexDecodeAndDecodeCbc(benchmark::State &state)
{
    const char *hex = sealedHex().c_str();
    long faults = minorFaults();
    for (auto _ : state) {
        CBCBuffer sealed = hexDecode(hex);
        char *opened = decode_cbc(sealed, kKey, kIV);
        benchmark::DoNotOptimize(opened);
        state.PauseTiming();
        free(opened);
        releaseCBCBuffer(&sealed);
        state.ResumeTiming();
    }
    countFaults(state, faults);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_HexEncodeBuffer(benchmark::State &state)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text().data());
    long faults = minorFaults();
    for (auto _ : state) {
        char *hex = hexEncodeBuffer(bytes, kSize);
        benchmark::DoNotOptimize(hex);
        state.PauseTiming();
        free(hex);
        state.ResumeTiming();
    }
    countFaults(state, faults);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

BENCHMARK(BM_BareEncrypt)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeCbcAndHex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareDecrypt)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HexDecodeAndDecodeCbc)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HexEncodeBuffer)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
