// The folder of a run made with --temp: new, the program's own, under the
// temporary folder; removed with everything in it once the command ended.
#pragma once

// Makes the folder and writes its path into sfxState.extractDir. False
// (reported with the write-error box) when no folder could be made.
bool makeTempFolder();

// Removes sfxState.extractDir, the folder makeTempFolder made, and
// everything in it, never through a link. What cannot go stays.
void removeTempFolder();
