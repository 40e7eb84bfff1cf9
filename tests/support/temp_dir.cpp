#include "support/temp_dir.h"

#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace pellan::test {

// create_directory makes the folder or reports that it exists, in one step, so two tests (or two
// test programs) that draw the same name cannot both take it.
TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate =
            base / ("pellan-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            m_path = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder below " + base.string());
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

}  // namespace pellan::test
