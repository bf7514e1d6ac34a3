// The command started after a successful extraction, in the destination.
#pragma once

// Acts only when autoRun is set, a command is configured and nothing failed.
void runPostCommand();
