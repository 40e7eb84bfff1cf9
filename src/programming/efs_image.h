#pragma once

namespace pellan {

struct LineContext;

// Writes the line's efs.mbn as image type 0x09 through the same pipelined stream as the
// application image, telling the user how many blocks had to be written again; progress moves
// from 61 to 80.
bool WriteEfsImage(LineContext& line);

}  // namespace pellan
