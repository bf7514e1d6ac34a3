#include "support/archive_builder.h"

#include <cstdint>
#include <stdexcept>
#include <utility>

#include "support/compress.h"
#include "support/lzh_writer.h"

namespace testkit {

void putLe16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void putLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void putLe64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void storeLe16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}

void storeLe32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t loadLe16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

uint32_t loadLe32(const uint8_t* at) {
  return uint32_t{at[0]} | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) |
         (uint32_t{at[3]} << 24);
}

std::vector<uint8_t> bytesOf(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::string dirRecordBytes(const std::string& slashPath) {
  std::string out;
  for (char c : slashPath) out.push_back(c == '/' ? '\xFF' : c);
  if (!slashPath.empty() && slashPath.back() != '/') out.push_back('\xFF');
  return out;
}

Member fileMember(std::string name, std::vector<uint8_t> data, char method, std::string dir) {
  Member m;
  m.method = method;
  m.name = std::move(name);
  m.data = std::move(data);
  m.dir = std::move(dir);
  return m;
}

Member dirMember(std::string dir) {
  Member m;
  m.method = 'd';
  m.dir = std::move(dir);
  return m;
}

std::vector<uint8_t> memberPayload(const Member& m) {
  if (m.payload) return *m.payload;
  if (m.method >= '4' && m.method <= '7') return compress(m.method, m.data);
  if (m.method == 'd') return {};
  return m.data;
}

std::vector<uint8_t> buildHeader(const Member& m, const std::vector<uint8_t>& payload) {
  std::vector<ExtHeader> records;
  const ExtHeader crcRecord{kExtHeaderCrc, {0, 0}, std::nullopt};
  size_t crcIndex = SIZE_MAX;  // position of our own CRC record in `records`
  if (m.crcRecord && !m.crcRecordLast) {
    crcIndex = 0;
    records.push_back(crcRecord);
  }
  if (!m.name.empty() || m.forceNameRecord) records.push_back({kExtFileName, bytesOf(m.name), {}});
  if (m.rawDir)
    records.push_back({kExtDirName, bytesOf(*m.rawDir), {}});
  else if (!m.dir.empty())
    records.push_back({kExtDirName, bytesOf(dirRecordBytes(m.dir)), {}});
  if (m.extAttributes) {
    ExtHeader r{kExtAttributes, {}, {}};
    putLe16(r.data, *m.extAttributes);
    records.push_back(r);
  }
  if (m.fileTimes) {
    ExtHeader r{kExtFileTimes, {}, {}};
    for (uint64_t t : *m.fileTimes) putLe64(r.data, t);
    records.push_back(r);
  }
  if (m.sizes64 || m.compressedSize64 || m.uncompressedSize64) {
    ExtHeader r{kExtSizes64, {}, {}};
    putLe64(r.data, m.compressedSize64.value_or(payload.size()));
    putLe64(r.data, m.uncompressedSize64.value_or(m.data.size()));
    records.push_back(r);
  }
  for (const ExtHeader& e : m.extra) records.push_back(e);
  if (m.crcRecord && m.crcRecordLast) {
    crcIndex = records.size();
    records.push_back(crcRecord);
  }

  auto sizeOf = [](const ExtHeader& e) -> uint16_t {
    if (e.sizeOverride) return *e.sizeOverride;
    if (e.data.size() + 3 > 0xFFFF) throw std::invalid_argument("extended header too long");
    return static_cast<uint16_t>(e.data.size() + 3);
  };

  std::vector<uint8_t> h;
  putLe16(h, 0);  // header size, patched below
  std::string method = m.methodId ? *m.methodId : std::string("-lh") + m.method + "-";
  if (method.size() != 5) throw std::invalid_argument("method identifier must be 5 bytes");
  h.insert(h.end(), method.begin(), method.end());
  putLe32(h, m.compressedSize32.value_or(static_cast<uint32_t>(payload.size())));
  putLe32(h, m.uncompressedSize32.value_or(static_cast<uint32_t>(m.data.size())));
  putLe32(h, m.unixTime);
  h.push_back(m.attribute);
  h.push_back(m.level);
  putLe16(h, m.dataCrc.value_or(crc16(m.data)));
  h.push_back(m.osId);
  putLe16(h, m.firstExtSize.value_or(records.empty() ? uint16_t{0} : sizeOf(records[0])));

  size_t crcOffset = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    const ExtHeader& r = records[i];
    h.push_back(r.type);
    if (i == crcIndex) crcOffset = h.size();
    h.insert(h.end(), r.data.begin(), r.data.end());
    putLe16(h, i + 1 < records.size() ? sizeOf(records[i + 1]) : uint16_t{0});
  }
  if (m.avoidZeroLowByte && h.size() % 256 == 0) h.push_back(0);
  if (h.size() > 0xFFFF) throw std::invalid_argument("header longer than 65535 bytes");

  storeLe16(h.data(), m.headerSize.value_or(static_cast<uint16_t>(h.size())));
  if (crcIndex != SIZE_MAX) {
    uint16_t crc = crc16(h);  // the CRC field is still zero here
    if (m.corruptHeaderCrc) crc ^= 0x5A5A;
    storeLe16(h.data() + crcOffset, crc);
  }
  return h;
}

std::vector<uint8_t> buildMember(const Member& m) {
  const std::vector<uint8_t> payload = memberPayload(m);
  std::vector<uint8_t> out = buildHeader(m, payload);
  out.insert(out.end(), payload.begin(), payload.end());
  if (m.truncate && *m.truncate < out.size()) out.resize(*m.truncate);
  return out;
}

std::vector<uint8_t> buildArchive(const std::vector<Member>& members, bool endMarker) {
  std::vector<uint8_t> out;
  for (const Member& m : members) {
    const std::vector<uint8_t> one = buildMember(m);
    out.insert(out.end(), one.begin(), one.end());
  }
  if (endMarker) out.push_back(0);
  return out;
}

}  // namespace testkit
