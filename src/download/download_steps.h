#pragma once

namespace pellan {

struct LineContext;

// The line steps that take one line's stick from its normal firmware into the boot downloader,
// load and start the RAM flash programmer, write the NAND programmer image, and reset the stick
// back to normal. Each runs on the line's job thread, waits through the line's clock and
// returns false at its documented failure points, leaving the reason in the line's link
// (m_lastError); the update job decides on retries.

// DIAG preparation (feature request, SPC, offline, modem status), the switch into the boot
// downloader, then the downloader's nop and parameters (kept as the line's flash information).
bool EnterDownloadMode(LineContext& line);
// Writes the line's armprg.bin into RAM at 0x00800000 in DMSS blocks of 1017 bytes.
bool UploadArmprg(LineContext& line);
// Starts the programmer (go, then the alternative go) and waits for its hello and nop.
bool StartProgrammer(LineContext& line);
// Writes nandprgcombined.mbn as image type 0x14 in 1024-byte stream writes.
bool UploadNandProgrammer(LineContext& line);
// Resets the stick from the programmer and waits up to 60 s for it to answer its query again.
bool ResetAndReconnect(LineContext& line);

}  // namespace pellan
