// The host's own work per block and per file: the frame codec on 1024-byte blocks, the scan of a
// window of piled-up acknowledgements, the NVM file load and the location data scan of an
// application image of the shipped size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "diag/frame_codec.h"
#include "diag/phone_link.h"
#include "firmware/location_data.h"
#include "firmware_gen.h"
#include "nv/nvm_file.h"
#include "nv/nvm_store.h"
#include "platform/clock.h"
#include "platform/serial.h"

namespace {

using namespace pellan;

constexpr size_t kBlock = 1024;

std::vector<uint8_t> PseudoRandomBlock(uint32_t seed) {
    std::vector<uint8_t> block(kBlock);
    uint32_t x = seed;
    for (uint8_t& b : block) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return block;
}

// A port whose every read hands out the same bytes again: the acknowledgements the scan finds.
class ReplayDevice final : public platform::SerialDevice {
  public:
    explicit ReplayDevice(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    size_t Write(const uint8_t*, size_t len, bool) override { return len; }
    size_t BytesWaiting() override { return m_bytes.size(); }
    size_t Read(uint8_t* buf, size_t max) override {
        const size_t n = std::min(max, m_bytes.size());
        std::copy_n(m_bytes.begin(), n, buf);
        return n;
    }
    void Purge() override {}
    bool WaitForInput(uint32_t) override { return true; }

  private:
    std::vector<uint8_t> m_bytes;
};

class ReplayProvider final : public platform::SerialProvider {
  public:
    explicit ReplayProvider(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    std::unique_ptr<platform::SerialDevice> Open(int, const platform::LineSettings&) override {
        return std::make_unique<ReplayDevice>(m_bytes);
    }

  private:
    std::vector<uint8_t> m_bytes;
};

// The link's own builder: a streaming write of one block, CRC, stuffing and flags.
void BM_FrameBuildStreamWrite(benchmark::State& state) {
    ReplayProvider provider({});
    platform::SystemClock clock;
    CPhoneLink link(provider, clock);
    const auto block = PseudoRandomBlock(1);
    uint32_t address = 0;
    for (auto _ : state) {
        link.m_mode = MODE_STREAM;
        link.m_request.code = 0x07;
        link.m_request.address = address;
        link.m_request.length = kBlock;
        std::copy(block.begin(), block.end(), link.m_request.data.begin());
        benchmark::DoNotOptimize(link.BuildFrame());
        address += kBlock;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_FrameBuildStreamWrite);

// The pure codec as the simulator uses it: body + CRC, stuffed, both flags.
void BM_FrameEncode(benchmark::State& state) {
    const auto block = PseudoRandomBlock(2);
    for (auto _ : state) {
        auto frame = frame::EncodeFrame(block, true);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_FrameEncode);

// Unstuffing and CRC check of a block frame, as the receiving end decodes it.
void BM_FrameDecode(benchmark::State& state) {
    const auto block = PseudoRandomBlock(3);
    const auto frame = frame::EncodeFrame(block, true);
    std::vector<uint8_t> body(frame.size());
    for (auto _ : state) {
        const size_t n = frame::Unstuff(frame.data() + 1, frame.size() - 2, body.data());
        if (n != kBlock + 2 || !frame::CrcCheck(body.data(), n)) {
            state.SkipWithError("frame does not decode");
            break;
        }
        benchmark::DoNotOptimize(body.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_FrameDecode);

std::vector<uint8_t> AckFrames(size_t count) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t address = static_cast<uint32_t>(i * kBlock);
        const std::vector<uint8_t> body = {
            0x08, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
        const auto frame = frame::EncodeFrame(body, true);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    return bytes;
}

// CollectStreamAcks over a window's worth of acknowledgements (Arg: how many are queued).
void BM_CollectStreamAcks(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    ReplayProvider provider(AckFrames(count));
    platform::SystemClock clock;
    CPhoneLink link(provider, clock);
    if (!link.m_port.Open(1, 115200, 8, 1)) {
        state.SkipWithError("cannot open the replay port");
        return;
    }
    for (auto _ : state) {
        if (!link.CollectStreamAcks() || link.m_ackCount != std::min<size_t>(count, 64)) {
            state.SkipWithError("the scan missed acknowledgements");
            break;
        }
        link.m_ackPending.clear();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}
BENCHMARK(BM_CollectStreamAcks)->Arg(5)->Arg(64);

std::filesystem::path TempFile(const char* name, const std::vector<uint8_t>& bytes) {
    auto file = std::filesystem::temp_directory_path() / name;
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return file;
}

void BM_LoadNvmFile(benchmark::State& state) {
    NvmTable source = BuildBackupTable();
    for (size_t i = 0; i < kNvBackupListSize; ++i) {
        source[i].data.fill(static_cast<uint8_t>(i));
    }
    const auto path = TempFile("pellan-bench.nvm", EncodeNvmFile(source));
    auto table = std::make_unique<NvmTable>();
    for (auto _ : state) {
        if (LoadNvmFile(path, *table) != NvmLoad::OK) {
            state.SkipWithError("the NVM file does not load");
            break;
        }
        benchmark::DoNotOptimize(table->data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kNvmFileSize));
    std::filesystem::remove(path);
}
BENCHMARK(BM_LoadNvmFile)->Unit(benchmark::kMicrosecond);

// From a file in the page cache, as at the second run of a job.
void BM_ScanLocationData(benchmark::State& state) {
    const auto layout = fwgen::LayoutFor(fwgen::SetSize::Shipped);
    const auto path =
        TempFile("pellan-bench-amss.mbn", fwgen::MakeAmss(layout.amssSize, layout.locationOffset));
    std::array<uint8_t, kLocationRecordSize> record{};
    for (auto _ : state) {
        if (ScanLocationData(path.string(), record.data()) != LocationScan::Found) {
            state.SkipWithError("record not found");
            break;
        }
        benchmark::DoNotOptimize(record.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * layout.locationOffset);
    state.counters["image_MB"] = static_cast<double>(layout.amssSize) / 1e6;
    std::filesystem::remove(path);
}
BENCHMARK(BM_ScanLocationData)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
