#pragma once

namespace pellan {

struct LineContext;

// The opening of programming attempt `attempt` (0 for the first): on a retry, the close of
// whatever image the failed attempt left open and a nop to the programmer; then progress 23 and
// the streaming security mode (one retry after reopening the DIAG port). False fails the attempt.
bool PrepareProgrammingAttempt(LineContext& line, int attempt);

// One programming attempt after the security mode: partition table (progress 24), DBL, FSBL,
// OSBL (25..27; each retried once after reopening the DIAG port), the application image (28..60,
// retried once), the NAND programmer (three tries) and the EFS image (61..80, retried once),
// with "Downloading..." before each step but the NAND programmer. The caller shows progress 80
// and 81 on success and retries a failed attempt.
bool RunProgrammingCycle(LineContext& line);

}  // namespace pellan
