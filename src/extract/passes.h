// The passes over the appended archive: Notice (the "!" member's text and its
// Yes/No question), Scan (every header verified, sizes summed) and Extract
// (every member written, checked and stamped), plus Test for the runner
// (decode and check every member, write nothing).
#pragma once

#include "ui/host.h"

enum ExtractMode { MODE_EXTRACT = 0, MODE_NOTICE = 1, MODE_SCAN = 2 };

// One pass. True when it ended with abortFlag clear.
bool runExtraction(HostWindow window, ExtractMode mode);

// The Test pass: every member decoded into the null device and checked,
// nothing written. True when every member is intact. A function of its own
// so that the stub, which never tests, does not carry it.
bool runTestPass(HostWindow window);

// Building blocks of a pass, for tools that walk the archive themselves:
// open sfxState.selfPath at the archive (errors shown), skip the current
// member's data, close the image.
bool openArchive();
bool skipMemberData();
void closeArchive();
