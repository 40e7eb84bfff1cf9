#pragma once

namespace pellan {

struct LineContext;

enum class BootImage { DBL, FSBL, OSBL };

// Sends the line's partition.mbn in one partition-table command (three tries, 2000 ms apart).
// A table longer than the command's 1024-byte payload is refused before it is read or sent.
bool WritePartitionTable(LineContext& line);
// Writes one boot loader through open multi-image, 1024-byte stream writes that each wait for
// the programmer's reply, and close. Stops at the first failed block; the caller retries.
bool WriteBootImage(LineContext& line, BootImage image);

}  // namespace pellan
