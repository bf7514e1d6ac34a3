#include "startup/config.h"

#include <cstddef>
#include <cstring>

#include "paths/path_strings.h"
#include "paths/path_variables.h"
#include "platform/platform.h"
#include "startup/exact_texts.h"
#include "startup/messages.h"
#include "startup/sfx_state.h"

void copyTextBounded(char* destination, const char* source, int size) {
  if (size <= 0) return;
  const size_t length = fitCharacters(source, std::strlen(source), static_cast<size_t>(size) - 1);
  std::memmove(destination, source, length);
  destination[length] = 0;
}

char* quotePathIfSpaced(const char* path, char* destination, int size) {
  size_t length = std::strlen(path);
  // Quoting only decorates the directory box (unquoting takes an unquoted
  // text whole), so a path with no room for the two quotes stays unquoted.
  if (path[0] != '"' && std::strchr(path, ' ') && length + 3 <= static_cast<size_t>(size)) {
    std::memmove(destination + 1, path, length);
    destination[0] = '"';
    destination[length + 1] = '"';
    destination[length + 2] = 0;
  } else {
    if (destination != path) copyTextBounded(destination, path, size);
  }
  return destination;
}

#define CONFIG_TEXT(field)                                                           \
  {                                                                                  \
    offsetof(SfxConfig, field), sizeof SfxConfig::field, offsetof(RunConfig, field), \
        sizeof RunConfig::field                                                      \
  }
const ConfigText CONFIG_TEXTS[5] = {CONFIG_TEXT(title), CONFIG_TEXT(message),
                                    CONFIG_TEXT(defaultDir), CONFIG_TEXT(prompt),
                                    CONFIG_TEXT(runCommand)};
#undef CONFIG_TEXT

bool loadConfig(const char* destination, uint32_t addedFlags) {
  RunConfig& config = sfxState.config;
  std::memset(&config, 0, sizeof config);

  SfxConfig block;
  FileHandle file = platformOpenRead(sfxState.selfPath);
  if (file == PLATFORM_INVALID_FILE) return false;
  uint32_t got = 0;
  bool ok = platformSeek(file, CONFIG_BLOCK_OFFSET, SEEK_FROM_START) &&
            platformRead(file, &block, CONFIG_BLOCK_SIZE, &got) && got == CONFIG_BLOCK_SIZE;
  platformClose(file);
  if (!ok) return false;
  config.archiveOffset = block.archiveOffset;
  config.flags = block.flags;
  // A text field without its terminator is cut at the field's end.
  for (const ConfigText& text : CONFIG_TEXTS) {
    char* field = reinterpret_cast<char*>(&block) + text.blockOffset;
    field[text.blockSize - 1] = 0;
    copyTextBounded(reinterpret_cast<char*>(&config) + text.runOffset, field, text.blockSize);
  }
  // The exact texts, where the author's are beyond CP932.
  uint32_t size = 0;
  if (const uint8_t* texts = platformProgramResource(EXACT_TEXTS_TYPE, EXACT_TEXTS_ID, &size))
    applyExactTexts(texts, size, config);

  if (!config.title[0])
    copyTextBounded(config.title, loadMessage(MSG_DEFAULT_TITLE), sizeof config.title);
  config.flags |= addedFlags;
  // The destination replaces the stored directory; it is cut to the field's
  // 255 bytes.
  if (destination && destination[0])
    copyTextBounded(config.defaultDir, destination, sizeof config.defaultDir);

  char work[sizeof config.defaultDir];
  if (config.defaultDir[0]) {
    platformExpandEnvironment(config.defaultDir, work, sizeof work);
    expandPathVariables(work, sfxState.messageBuffer, nullptr, MESSAGE_BUFFER_SIZE);
    copyTextBounded(work, sfxState.messageBuffer, sizeof work);
  } else if (!platformCurrentDirectory(work, sizeof work)) {
    work[0] = 0;
  }
  quotePathIfSpaced(work, config.defaultDir, sizeof config.defaultDir);

  if (!config.prompt[0] && (config.flags & FLAG_OVERWRITE))
    copyTextBounded(config.prompt, loadMessage(MSG_OVERWRITE_NOTE), sizeof config.prompt);
  sfxState.noFolders = 0;
  sfxState.autoRun = config.runCommand[0] ? 1 : 0;
  return true;
}
