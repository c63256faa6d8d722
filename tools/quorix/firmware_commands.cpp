// Firmware images: loading one, checking a file as the library will read it, and rewriting
// any valid Intel HEX into the records the library takes.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "commands.h"

namespace quorix::tool {

namespace {

// What the library reads: lines of at most 511 characters (a longer line goes on as the next
// one), each cut at fixed places and each field converted with "%X" on its own.
constexpr std::size_t kLineLimit = 511;
constexpr unsigned kLibraryDataMax = 16;

enum RecordType : unsigned {
  kData = 0,
  kEndOfFile = 1,
  kExtendedSegment = 2,
  kStartSegment = 3,
  kExtendedLinear = 4,
  kStartLinear = 5
};

std::string TypeName(unsigned type) {
  switch (type) {
    case kData:
      return "data";
    case kEndOfFile:
      return "end-of-file";
    case kExtendedSegment:
      return "extended segment address";
    case kStartSegment:
      return "start segment address";
    case kExtendedLinear:
      return "extended linear address";
    case kStartLinear:
      return "start linear address";
    default:
      return "type " + std::to_string(type);
  }
}

bool Field(const std::string& line, std::size_t position, std::size_t width, unsigned* value) {
  const std::string text = line.substr(position, width);
  return std::sscanf(text.c_str(), "%X", value) == 1;
}

// One piece as the library's line reader cuts it, with where it came from.
struct Piece {
  std::string text;  // without the line end
  std::size_t line;  // 1-based line of the file
  bool continued;    // the rest of a line longer than the reader takes
};

std::vector<Piece> CutLikeTheLibrary(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) throw Failure("cannot open " + path + ": the library would return -1");
  std::vector<Piece> pieces;
  char buffer[kLineLimit + 1];
  std::size_t line = 1;
  bool continued = false;
  for (;;) {
    std::memset(buffer, 0, sizeof buffer);
    if (std::fgets(buffer, sizeof buffer, file) == nullptr) break;
    // The line end is looked for past a NUL too: the library's text stops there, its line not.
    const bool ends = std::memchr(buffer, '\n', sizeof buffer) != nullptr;
    std::string text = buffer;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    pieces.push_back({text, line, continued});
    continued = !ends;
    if (ends) ++line;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) throw Failure("cannot read " + path + ": the library would return -1");
  return pieces;
}

struct Parsed {
  unsigned count = 0, address = 0, type = 0;
};

// Why the library refuses the piece, or "" when it takes it.
std::string Refusal(const Piece& piece, Parsed& record) {
  const std::string& text = piece.text;
  if (piece.continued) return "it is longer than 511 characters";
  if (text.empty() || text[0] != ':') return "it does not start with ':'";
  if (text.size() < 9) return "it is shorter than a record's 9-character header";
  if (!Field(text, 1, 2, &record.count)) return "its byte count is not hexadecimal";
  if (!Field(text, 3, 4, &record.address)) return "its address is not hexadecimal";
  if (!Field(text, 7, 2, &record.type)) return "its record type is not hexadecimal";
  if (record.count > kLibraryDataMax)
    return "it holds " + std::to_string(record.count) +
           " data bytes and the library takes at most 16 (quorix firmware repack rewrites it)";
  if (text.size() < 9 + 2 * record.count)
    return "it is too short for its " + std::to_string(record.count) + " data bytes";
  for (unsigned i = 0; i < record.count; ++i) {
    unsigned byte = 0;
    if (!Field(text, 9 + 2 * i, 2, &byte))
      return "data byte " + std::to_string(i + 1) + " is not hexadecimal";
  }
  return "";
}

// ---- Standard Intel HEX, for repacking ----

struct HexRecord {
  unsigned type = 0;
  std::uint32_t address = 0;  // absolute, for data
  std::vector<std::uint8_t> data;
};

std::vector<HexRecord> ReadIntelHex(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw Failure("cannot open " + path);
  std::vector<HexRecord> records;
  std::uint32_t base = 0;
  std::string text;
  for (std::size_t line = 1; std::getline(file, text); ++line) {
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
      text.pop_back();
    if (text.empty()) continue;
    const std::string where = path + ":" + std::to_string(line) + ": ";
    if (text[0] != ':' || text.size() < 11 || text.size() % 2 == 0)
      throw Failure(where + "not an Intel HEX record");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 1; i < text.size(); i += 2) {
      unsigned byte = 0;
      if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
          !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
          std::sscanf(text.substr(i, 2).c_str(), "%2X", &byte) != 1)
        throw Failure(where + "not hexadecimal");
      bytes.push_back(static_cast<std::uint8_t>(byte));
    }
    if (bytes.size() != 5u + bytes[0])
      throw Failure(where + "its length does not match its byte count");
    std::uint8_t sum = 0;
    for (std::uint8_t byte : bytes) sum = static_cast<std::uint8_t>(sum + byte);
    if (sum != 0) throw Failure(where + "its checksum is wrong");
    HexRecord record;
    record.type = bytes[3];
    const std::uint32_t offset = static_cast<std::uint32_t>(bytes[1] << 8 | bytes[2]);
    const std::vector<std::uint8_t> data(bytes.begin() + 4, bytes.end() - 1);
    switch (record.type) {
      case kData:
        record.address = base + offset;
        if (record.address + data.size() > 0x10000)
          throw Failure(where + "data beyond 64 KiB cannot be loaded into the FX2");
        record.data = data;
        records.push_back(record);
        break;
      case kEndOfFile:
        return records;
      case kExtendedSegment:
      case kExtendedLinear:
        if (data.size() != 2) throw Failure(where + "an address record needs 2 data bytes");
        base = static_cast<std::uint32_t>(data[0] << 8 | data[1])
               << (record.type == kExtendedSegment ? 4 : 16);
        break;
      case kStartSegment:
      case kStartLinear:
        break;  // the FX2 starts at 0 when its CPU is released
      default:
        throw Failure(where + "unknown record type " + std::to_string(record.type));
    }
  }
  return records;
}

std::string FormatRecord(unsigned type, std::uint16_t address, const std::uint8_t* data,
                         std::size_t size) {
  std::uint8_t sum = static_cast<std::uint8_t>(size + (address >> 8) + (address & 0xFF) + type);
  char text[64];
  int used = std::snprintf(text, sizeof text, ":%02zX%04X%02X", size, address, type);
  for (std::size_t i = 0; i < size; ++i) {
    used += std::snprintf(text + used, sizeof text - used, "%02X", data[i]);
    sum = static_cast<std::uint8_t>(sum + data[i]);
  }
  std::snprintf(text + used, sizeof text - used, "%02X\n",
                static_cast<std::uint8_t>(0x100 - sum) & 0xFF);
  return text;
}

}  // namespace

int FirmwareLoad(const Api& api, const Options& options, const std::string& path) {
  Session session(api, options);
  Check(api.QuorixLoadFirmware(session.handle(), path.c_str()), "loading " + path);
  std::printf("loaded %s\n", path.c_str());
  return 0;
}

int FirmwareCheck(const std::string& path) {
  const std::vector<Piece> pieces = CutLikeTheLibrary(path);
  std::vector<Parsed> records;
  for (const Piece& piece : pieces) {
    Parsed record;
    const std::string why = Refusal(piece, record);
    if (!why.empty())
      throw Failure(path + ":" + std::to_string(piece.line) +
                    ": the library refuses the file: " + why);
    records.push_back(record);
  }
  // The download sends the data records up to the first other record.
  std::size_t end = 0, bytes = 0;
  while (end < records.size() && records[end].type == kData) bytes += records[end++].count;
  for (std::size_t i = end; i < records.size(); ++i) {
    if (records[i].type == kEndOfFile) break;
    if (records[i].type == kData)
      throw Failure(path + ":" + std::to_string(pieces[i].line) +
                    ": the library refuses the file: data follow the " +
                    TypeName(records[end].type) + " record at line " +
                    std::to_string(pieces[end].line) + " before any end-of-file record");
  }
  std::printf("%s: the library takes it: %zu data records, %zu bytes\n", path.c_str(), end, bytes);
  if (end < records.size()) {
    std::size_t ignored = 0;
    for (std::size_t i = end; i < records.size(); ++i) ignored += records[i].type == kData;
    std::printf("the download stops at line %zu (%s record)", pieces[end].line,
                TypeName(records[end].type).c_str());
    if (ignored != 0) std::printf("; %zu data records after it are not sent", ignored);
    std::printf("\n");
  }
  return 0;
}

int FirmwareRepack(const std::string& in, const std::string& out) {
  const std::vector<HexRecord> records = ReadIntelHex(in);
  std::ostringstream text;
  std::size_t written = 0;
  for (const HexRecord& record : records) {
    for (std::size_t at = 0; at < record.data.size(); at += kLibraryDataMax) {
      const std::size_t size = std::min<std::size_t>(kLibraryDataMax, record.data.size() - at);
      text << FormatRecord(kData, static_cast<std::uint16_t>(record.address + at),
                           record.data.data() + at, size);
      ++written;
    }
  }
  text << FormatRecord(kEndOfFile, 0, nullptr, 0);
  // Whole or not at all: a failed write leaves no half image behind.
  const std::string partial = out + ".partial";
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    file << text.str();
    if (!file.flush()) {
      std::filesystem::remove(partial);
      throw Failure("cannot write " + out);
    }
  }
  std::filesystem::rename(partial, out);
  std::printf("wrote %s: %zu data records of at most 16 bytes\n", out.c_str(), written);
  return 0;
}

}  // namespace quorix::tool
