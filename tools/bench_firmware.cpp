// The location data scan over an application image of the shipped size (18.9 MB, the record at
// 0xC823D8), from a file in the page cache as at the second run of a job.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "firmware/location_data.h"
#include "firmware_gen.h"

namespace {

const std::filesystem::path& ShippedImage() {
    static const std::filesystem::path path = [] {
        const auto layout = pellan::fwgen::LayoutFor(pellan::fwgen::SetSize::Shipped);
        const auto bytes = pellan::fwgen::MakeAmss(layout.amssSize, layout.locationOffset);
        auto file = std::filesystem::temp_directory_path() / "pellan-bench-amss.mbn";
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return file;
    }();
    return path;
}

void BM_ScanShippedImage(benchmark::State& state) {
    const std::string path = ShippedImage().string();
    std::array<uint8_t, pellan::kLocationRecordSize> record{};
    for (auto _ : state) {
        const auto result = pellan::ScanLocationData(path, record.data());
        if (result != pellan::LocationScan::Found) {
            state.SkipWithError("record not found");
        }
        benchmark::DoNotOptimize(record);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 0xC823D8);
}
BENCHMARK(BM_ScanShippedImage)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
