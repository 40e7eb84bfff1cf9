#pragma once

#include <string>

namespace pellan::platform {

// `arg` quoted for a Windows command line so that the C runtime's argument splitting
// (CommandLineToArgvW rules) gives it back unchanged: no quotes when it needs none; otherwise
// surrounded by double quotes, inner quotes escaped, and backslashes doubled where they precede
// a quote.
std::string QuoteArgument(const std::string& arg);

}  // namespace pellan::platform
