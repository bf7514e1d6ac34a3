// Message identifiers, the loaded-text buffer and the file-error box.
#pragma once

enum MessageId {
#define MESSAGE(id, name, japanese, english) name = id,
#include "platform/message_texts.inc"
#undef MESSAGE
};

constexpr int MESSAGE_TEXT_SIZE = 256;

// Loads a message into the one shared 256-byte buffer and returns it; the
// text stays valid until the next call.
const char* loadMessage(int id);

// Shows "\"path\" message" in an error box owned by mainWindow, captioned
// with the configured title (nothing in a silent run). Only reports;
// callers decide what ends.
void reportFileError(const char* message, const char* path);

// The failure of a pass that lies in the image itself: the message with
// selfPath in the file-error box, and abortFlag set.
void reportImageError(int message);

// Bounded formatting of the one "%s" message texts (the platform's own
// wsprintfA caps its output at 1024 bytes as well).
// Replaces each "%s" of format with the next argument; "%%" gives '%'.
void formatMessage(char* destination, int size, const char* format, const char* first,
                   const char* second = nullptr);
