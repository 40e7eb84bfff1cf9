// The cut of the first answer line out of an AT reply.

#include <string>

#include "fuzz_support.h"
#include "transport/at_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    std::string line = "untouched";
    if (pellan::CAtChannel::ExtractReplyLine(reply, line)) {
        // The line is a piece of the reply and holds no line break of its own.
        PELLAN_FUZZ_CHECK(line.size() <= reply.size());
        PELLAN_FUZZ_CHECK(line.find("\r\n") == std::string::npos);
    }
    return 0;
}
