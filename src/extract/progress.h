// Progress of the Extract pass: the percentage for the main dialog's bar,
// the message pump that keeps the dialog alive, and the user's cancel.
#pragma once

#include <cstdint>

#include "ui/host.h"

// Percentage of done in total, 0 when total is 0, at most 100.
unsigned progressPercent(uint64_t done, uint64_t total);
// Sends the percentage to the main window when it differs from the last one
// sent in this pass, and pumps messages. False when the user asked to cancel
// (nothing is shown: a cancel needs no box).
bool reportProgress(uint64_t done, uint64_t total);
void pumpMessages(HostWindow dialog);
