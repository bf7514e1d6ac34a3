#include "extract/progress.h"

#include "startup/sfx_state.h"

unsigned progressPercent(uint64_t done, uint64_t total) {
  if (total == 0) return 0;
  if (done >= total) return 100;
  // Both scaled down alike until the total has 24 bits: the product with 100
  // then fits in 32 bits, one machine division does (the 32-bit stub needs
  // no 64-bit division routine), and the percentage is exact below 16 MiB
  // and off by at most one above.
  while (total >> 24) {
    total >>= 1;
    done >>= 1;
  }
  return static_cast<uint32_t>(done) * 100u / static_cast<uint32_t>(total);
}

bool reportProgress(uint64_t done, uint64_t total) {
  // The bar moves by whole percents: a window that leaves the percentage as
  // it was sends the dialog nothing (each message to it is a round of calls
  // into the window system, under Wine many).
  const unsigned percent = progressPercent(done, total);
  if (percent + 1 != sfxState.progress.shown) {
    sfxState.progress.shown = percent + 1;
    hostSendCommand(sfxState.mainWindow, CMD_PROGRESS, percent);
  }
  pumpMessages(sfxState.mainWindow);
  return sfxState.cancelRequested != 1;
}

void pumpMessages(HostWindow dialog) { hostPumpMessages(dialog); }
