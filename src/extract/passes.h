// The passes over the appended archive: Notice (the "!" member's text and its
// Yes/No question), Scan (every header verified, sizes summed) and Extract
// (every member written, checked and stamped), plus Test for the runner
// (decode and check every member, write nothing).
#pragma once

#include "ui/host.h"

enum ExtractMode { MODE_EXTRACT = 0, MODE_NOTICE = 1, MODE_SCAN = 2, MODE_TEST = 3 };

// One pass. True when it ended with abortFlag clear.
bool runExtraction(HostWindow window, ExtractMode mode);

// Building blocks of a pass, for tools that walk the archive themselves:
// open sfxState.selfPath at the archive (errors shown), skip the current
// member's data, close the image.
bool openArchive();
bool skipMemberData();
void closeArchive();
