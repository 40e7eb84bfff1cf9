// The registry export parser, and the file registry that reads it afresh at every OpenKey.

#include <string>

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
        PELLAN_FUZZ_CHECK(again.keys.size() == parsed.keys.size());
        for (size_t k = 0; k < parsed.keys.size(); ++k) {
            const RegKeyData& a = parsed.keys[k];
            const RegKeyData& b = again.keys[k];
            PELLAN_FUZZ_CHECK(a.path == b.path && a.values.size() == b.values.size());
            for (size_t v = 0; v < a.values.size(); ++v) {
                PELLAN_FUZZ_CHECK(a.values[v].name == b.values[v].name);
                PELLAN_FUZZ_CHECK(a.values[v].type == b.values[v].type);
                PELLAN_FUZZ_CHECK(a.values[v].text == b.values[v].text);
                PELLAN_FUZZ_CHECK(a.values[v].dword == b.values[v].dword);
            }
        }
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
