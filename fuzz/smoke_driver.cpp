// A short, deterministic run of a fuzz target's input function without libFuzzer, so that the
// ordinary test run (any compiler, with the build's sanitizers) exercises every parser: each seed
// as it is, the empty input, then a fixed number of mutations of the seeds. The same seeds and
// count give the same inputs on every run; a failed check or a sanitizer report ends the program
// with an error, and the input that did it is named on standard error first.
//
// usage: <target>_smoke SEED_FOLDER [MUTATIONS]

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

constexpr size_t kMaxLen = 4096;

using Input = std::vector<uint8_t>;

// The same generator, hence the same inputs, with every standard library.
struct Random : std::mt19937_64 {
    using std::mt19937_64::mt19937_64;
    uint64_t Next() { return (*this)(); }
    size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(Next() % n); }
};

// Bytes and words the parsers treat specially: flags and escapes of the frames, end markers and
// sizes of the files, boundaries of the integer types.
constexpr std::array<uint8_t, 10> kBytes = {0x00, 0x01, 0x7D, 0x7E, 0x5D,
                                            0x5E, 0x7F, 0x80, 0xFE, 0xFF};
constexpr std::array<uint32_t, 10> kWords = {0,      1,      0x7E7E, 8888,       9999,
                                             0xFFFF, 0x8000, 1024,   0x6EBE1A2C, 0xFFFFFFFF};

void Mutate(Input& in, const std::vector<Input>& seeds, Random& rnd) {
    switch (const size_t kind = rnd.Below(8)) {
        case 0:  // flip a bit, a random byte, a special byte
        case 1:
        case 2:
            if (!in.empty()) {
                uint8_t& b = in[rnd.Below(in.size())];
                b = static_cast<uint8_t>(kind == 0   ? b ^ (1u << rnd.Below(8))
                                         : kind == 1 ? rnd.Next()
                                                     : kBytes[rnd.Below(kBytes.size())]);
            }
            break;
        case 3: {  // a special little-endian word
            const uint32_t w = kWords[rnd.Below(kWords.size())];
            const size_t width = rnd.Below(2) == 0 ? 2 : 4;
            if (in.size() >= width) {
                const size_t at = rnd.Below(in.size() - width + 1);
                for (size_t i = 0; i < width; ++i) {
                    in[at + i] = static_cast<uint8_t>(w >> (8 * i));
                }
            }
            break;
        }
        case 4: {  // insert a few bytes
            const size_t at = rnd.Below(in.size() + 1);
            const size_t n = 1 + rnd.Below(8);
            Input bytes(n);
            for (uint8_t& b : bytes) {
                b = rnd.Below(2) == 0 ? kBytes[rnd.Below(kBytes.size())]
                                      : static_cast<uint8_t>(rnd.Next());
            }
            in.insert(in.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
            break;
        }
        case 5:  // erase a range
            if (!in.empty()) {
                const size_t at = rnd.Below(in.size());
                const size_t n = 1 + rnd.Below(std::min<size_t>(in.size() - at, 16));
                in.erase(in.begin() + static_cast<std::ptrdiff_t>(at),
                         in.begin() + static_cast<std::ptrdiff_t>(at + n));
            }
            break;
        case 6:  // repeat a chunk
            if (!in.empty()) {
                const size_t at = rnd.Below(in.size());
                const size_t n = 1 + rnd.Below(std::min<size_t>(in.size() - at, 64));
                const Input chunk(in.begin() + static_cast<std::ptrdiff_t>(at),
                                  in.begin() + static_cast<std::ptrdiff_t>(at + n));
                const size_t times = 1 + rnd.Below(8);
                for (size_t i = 0; i < times; ++i) {
                    in.insert(in.begin() + static_cast<std::ptrdiff_t>(at), chunk.begin(),
                              chunk.end());
                }
            }
            break;
        default: {  // splice the tail of another seed
            const Input& other = seeds[rnd.Below(seeds.size())];
            const size_t keep = rnd.Below(in.size() + 1);
            const size_t from = rnd.Below(other.size() + 1);
            in.resize(keep);
            in.insert(in.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
            break;
        }
    }
    if (in.size() > kMaxLen) {
        in.resize(kMaxLen);
    }
}

void Run(const Input& in, const std::string& what) {
    // Named before the run: a crash leaves this as the last line on standard error.
    static bool verbose = std::getenv("PELLAN_SMOKE_VERBOSE") != nullptr;
    if (verbose) {
        std::fprintf(stderr, "input %s (%zu bytes)\n", what.c_str(), in.size());
    }
    // A copy of exactly the input's size, so that a read past its end is caught.
    const std::unique_ptr<uint8_t[]> copy(new uint8_t[std::max<size_t>(in.size(), 1)]);
    std::copy(in.begin(), in.end(), copy.get());
    LLVMFuzzerTestOneInput(copy.get(), in.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s SEED_FOLDER [MUTATIONS]\n", argv[0]);
        return 2;
    }
    const long mutations = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 2000;
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1], ec)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    if (ec || files.empty()) {
        std::fprintf(stderr, "%s: no seeds in %s\n", argv[0], argv[1]);
        return 2;
    }
    std::sort(files.begin(), files.end());  // the same order, hence the same inputs, every run

    std::vector<Input> seeds;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        Input bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.size() > kMaxLen) {
            bytes.resize(kMaxLen);
        }
        Run(bytes, file.filename().string());
        seeds.push_back(std::move(bytes));
    }
    Run({}, "empty");

    Random rnd(0x9E3779B97F4A7C15ull);
    for (long i = 0; i < mutations; ++i) {
        Input in = seeds[static_cast<size_t>(i) % seeds.size()];
        const size_t steps = 1 + rnd.Below(4);
        for (size_t s = 0; s < steps; ++s) {
            Mutate(in, seeds, rnd);
        }
        Run(in, "mutation " + std::to_string(i));
    }
    std::printf("%zu seeds and %ld mutations: no finding\n", seeds.size(), mutations);
    return 0;
}
