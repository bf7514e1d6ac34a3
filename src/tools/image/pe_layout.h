// Rewrites a Windows executable as linked by the toolchain into the
// self-extractor layout: our DOS part (MZ header with the marker, the
// configuration block at 512, the DOS stub program at 0x4D0), then the PE
// headers at e_lfanew and the sections moved behind them. Section RVAs and
// SizeOfImage stay as linked; file offsets, SizeOfHeaders and the checksum
// are recomputed. A load configuration that the program defines under the
// name the Microsoft linkers look for (_load_config_used; GNU ld does not
// point the directory at it) gets its data directory. The image is read by
// pe_image; the checksum is shared with the writers that change an image
// after its layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct LayoutOptions {
  // Wanted e_lfanew; 0 means DEFAULT_PE_OFFSET. An offset inside the DOS part
  // or off an 8-byte boundary is moved up to the next suitable one.
  uint32_t peOffset = 0;
  // Drop a COFF symbol table (and its string table) at the end of the file
  // instead of refusing the image. The load configuration is found through
  // it; without one, linking with -s is the better way.
  bool stripSymbols = false;
  // Smallest headers and fewest sections: e_lfanew right behind the DOS
  // program (unless peOffset asks for another), the data directories cut
  // after the last one in use (never fewer than five, so that the finished
  // file can still be signed), a section that starts inside the last page of
  // the one before it (the linker script puts the base relocations right
  // behind the constants) joined to that one with its file data, and a
  // section without file data that directly follows one with the same
  // access folded into it as its zero-filled tail. Each section fewer saves
  // a header and, with file data, a quarter of a kilobyte of padding on
  // average.
  bool compactHeaders = false;
};

// The e_lfanew actually used for a wanted offset (see LayoutOptions); 0 is
// DEFAULT_PE_OFFSET, or the first suitable offset with compact.
uint32_t suitablePeOffset(uint32_t wanted, bool compact = false);

// The PE image checksum: 16-bit words summed with end-around carry, the four
// bytes at checksumOffset counted as zero, plus the file length.
uint32_t peImageChecksum(const uint8_t* image, size_t size, size_t checksumOffset);

// Lays out linkedPe (PE32 or PE32+) into out. The configuration block is
// zero except archiveOffset, which is the length of out, so an archive
// appended to the file is found with default settings. Every field read is
// checked; on any problem returns false with a description in error and
// leaves out empty.
bool layoutStubImage(const std::vector<uint8_t>& linkedPe, std::vector<uint8_t>& out,
                     std::string& error, const LayoutOptions& options = LayoutOptions());
