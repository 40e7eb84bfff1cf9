// The registry export parser, and the file registry that reads it afresh at every OpenKey.

#include <algorithm>
#include <string>
#include <tuple>

#include "fuzz_support.h"
#include "platform/registry_reg.h"

using namespace pellan::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const RegFileData parsed = ParseRegText(text);
    if (!parsed.malformed) {
        // What the program writes, it reads back unchanged.
        const RegFileData again = ParseRegText(FormatRegText(parsed.keys));
        PELLAN_FUZZ_CHECK(!again.malformed);
        const auto sameValue = [](const RegValue& a, const RegValue& b) {
            return std::tie(a.name, a.type, a.text, a.dword) ==
                   std::tie(b.name, b.type, b.text, b.dword);
        };
        const auto sameKey = [&](const RegKeyData& a, const RegKeyData& b) {
            return a.path == b.path && std::equal(a.values.begin(), a.values.end(),
                                                  b.values.begin(), b.values.end(), sameValue);
        };
        PELLAN_FUZZ_CHECK(std::equal(parsed.keys.begin(), parsed.keys.end(), again.keys.begin(),
                                     again.keys.end(), sameKey));
    }
    if (!pellan::fuzz::TakeFilePath()) {
        return 0;
    }
    static pellan::fuzz::ScratchFile file("pellan-fuzz-reg");
    file.Write(data, size);
    RegFileRegistry registry(file.Path());
    for (const RegKeyData& key : parsed.keys) {
        auto opened = registry.OpenKey(key.path);
        if (opened == nullptr) {
            continue;
        }
        for (const RegValue& value : key.values) {
            (void)opened->ReadDword(value.name);
            (void)opened->ReadString(value.name);
        }
    }
    registry.OpenKey("SYSTEM\\CurrentControlSet\\Enum\\USB");
    return 0;
}
