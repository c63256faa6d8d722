// Firmware images: checking a file as the library will read it and as Intel HEX means it,
// loading one with progress (repacked when the library would not take it as it stands), and
// rewriting any valid Intel HEX into the records the library takes.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "commands.h"
#include "json.h"
#include "platform.h"

namespace quorix::tool {

namespace {

// An image for the FX2's 16.5 KiB of RAM is about 50 KB of text; anything far larger is not a
// firmware image, and would hold the CPU in reset for minutes (0.4 ms per record).
constexpr std::uint64_t kImageFileLimit = 1u << 20;
// What the library reads: lines of at most 511 characters (a longer line goes on as the next
// one), each cut at fixed places and each field converted with "%X" on its own.
constexpr std::size_t kLineLimit = 511;
constexpr unsigned kLibraryDataMax = 16;
// Records per library call of a load: about 26 ms on a real bus, the longest a Ctrl-C waits.
constexpr std::size_t kRecordsPerCall = 64;

// The RAM that the 0xA0 request reaches: program and data RAM, and the scratch RAM.
struct RamRegion {
  std::uint32_t start, end;
};
constexpr RamRegion kRam[] = {{0x0000, 0x4000}, {0xE000, 0xE200}};

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

std::string Hex4(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

// ---- the file as the library reads it ----

bool Field(const std::string& line, std::size_t position, std::size_t width, unsigned* value) {
  const std::string text = line.substr(position, width);
  return std::sscanf(text.c_str(), "%X", value) == 1;
}

// One piece as the library's line reader cuts it, with where it came from.
struct Piece {
  std::string text;  // without the line end, up to a NUL
  std::size_t line;  // 1-based line of the file
  bool continued;    // the rest of a line longer than the reader takes
};

// As fgets into a 512-byte buffer cuts the bytes: up to a line end or 511 characters.
std::vector<Piece> CutLikeTheLibrary(const std::vector<std::uint8_t>& bytes) {
  std::vector<Piece> pieces;
  std::size_t line = 1, at = 0;
  bool continued = false;
  while (at < bytes.size()) {
    std::size_t end = at;
    while (end < bytes.size() && end - at < kLineLimit && bytes[end] != '\n') ++end;
    const bool ends = end < bytes.size() && bytes[end] == '\n' && end - at < kLineLimit;
    std::string text(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(end));
    // The library's text stops at a NUL; its line does not.
    text = text.substr(0, text.find('\0'));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    pieces.push_back({text, line, continued});
    continued = !ends;
    at = ends ? end + 1 : end;
    if (ends) ++line;
  }
  return pieces;
}

struct LibraryRecord {
  unsigned count = 0, address = 0, type = 0;
  std::vector<std::uint8_t> data;
};

// Why the library refuses the piece, or "" when it takes it.
std::string Refusal(const Piece& piece, LibraryRecord& record) {
  const std::string& text = piece.text;
  if (piece.continued) return "it is longer than 511 characters";
  if (text.empty() || text[0] != ':') return "it does not start with ':'";
  if (text.size() < 9) return "it is shorter than a record's 9-character header";
  if (!Field(text, 1, 2, &record.count)) return "its byte count is not hexadecimal";
  if (!Field(text, 3, 4, &record.address)) return "its address is not hexadecimal";
  if (!Field(text, 7, 2, &record.type)) return "its record type is not hexadecimal";
  if (record.count > kLibraryDataMax)
    return "it holds " + std::to_string(record.count) +
           " data bytes and the library takes at most 16 (firmware load repacks such a file "
           "itself; firmware repack writes a copy that the library takes)";
  if (text.size() < 9 + 2 * record.count)
    return "it is too short for its " + std::to_string(record.count) + " data bytes";
  for (unsigned i = 0; i < record.count; ++i) {
    unsigned byte = 0;
    if (!Field(text, 9 + 2 * i, 2, &byte))
      return "data byte " + std::to_string(i + 1) + " is not hexadecimal";
    record.data.push_back(static_cast<std::uint8_t>(byte));
  }
  record.address &= 0xFFFF;
  return "";
}

struct LibraryView {
  bool takes_it = true;
  std::size_t refused_line = 0;
  std::string reason;
  std::vector<LibraryRecord> sent;  // the data records the download sends
  std::size_t stop_line = 0;        // 0: no record ends the download
  unsigned stop_type = 0;
  std::size_t not_sent = 0;  // data records after the stop
};

LibraryView ViewLikeTheLibrary(const std::vector<std::uint8_t>& bytes) {
  LibraryView view;
  const std::vector<Piece> pieces = CutLikeTheLibrary(bytes);
  std::vector<LibraryRecord> records;
  for (const Piece& piece : pieces) {
    LibraryRecord record;
    const std::string why = Refusal(piece, record);
    if (!why.empty()) {
      view.takes_it = false;
      view.refused_line = piece.line;
      view.reason = why;
      return view;
    }
    records.push_back(record);
  }
  // The download sends the data records up to the first other record.
  std::size_t end = 0;
  while (end < records.size() && records[end].type == kData) view.sent.push_back(records[end++]);
  if (end == records.size()) return view;
  view.stop_line = pieces[end].line;
  view.stop_type = records[end].type;
  for (std::size_t i = end; i < records.size(); ++i) {
    if (records[i].type == kEndOfFile) break;
    if (records[i].type == kData) {
      // The library refuses data behind a record that ended the download early.
      view.takes_it = false;
      view.refused_line = pieces[i].line;
      view.reason = "data follow the " + TypeName(view.stop_type) + " record at line " +
                    std::to_string(view.stop_line) + " before any end-of-file record";
      return view;
    }
  }
  for (std::size_t i = end; i < records.size(); ++i) view.not_sent += records[i].type == kData;
  return view;
}

// ---- the file as Intel HEX means it ----

struct HexRecord {
  std::size_t line = 0;
  std::uint32_t address = 0;  // absolute
  std::vector<std::uint8_t> data;
};

struct ChecksumError {
  std::size_t line;
  unsigned stored, needed;
};

struct OutsideRam {
  std::size_t line;
  std::uint32_t address, size;
};

struct Image {
  bool valid = true;
  std::size_t error_line = 0;
  std::string error;
  std::vector<HexRecord> records;  // the data records up to the end-of-file record
  std::vector<ChecksumError> checksums;
  std::vector<OutsideRam> outside;
  std::size_t bytes = 0;
  bool ended = false;  // an end-of-file record was read
};

bool InRam(std::uint32_t address, std::size_t size) {
  for (const RamRegion& region : kRam)
    if (address >= region.start && address + size <= region.end) return true;
  return false;
}

Image ReadIntelHex(const std::vector<std::uint8_t>& bytes) {
  Image image;
  auto fail = [&image](std::size_t line, const std::string& why) {
    image.valid = false;
    image.error_line = line;
    image.error = why;
    return image;
  };
  std::uint32_t base = 0;
  std::istringstream file(std::string(bytes.begin(), bytes.end()));
  std::string text;
  for (std::size_t line = 1; std::getline(file, text); ++line) {
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
      text.pop_back();
    if (text.empty()) continue;
    if (text[0] != ':' || text.size() < 11 || text.size() % 2 == 0)
      return fail(line, "not an Intel HEX record");
    std::vector<std::uint8_t> fields;
    for (std::size_t i = 1; i < text.size(); i += 2) {
      unsigned byte = 0;
      if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
          !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
          std::sscanf(text.substr(i, 2).c_str(), "%2X", &byte) != 1)
        return fail(line, "not hexadecimal");
      fields.push_back(static_cast<std::uint8_t>(byte));
    }
    if (fields.size() != 5u + fields[0])
      return fail(line, "its length does not match its byte count");
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < fields.size(); ++i)
      sum = static_cast<std::uint8_t>(sum + fields[i]);
    const auto needed = static_cast<std::uint8_t>(0x100 - sum);
    if (needed != fields.back()) image.checksums.push_back({line, fields.back(), needed});
    const unsigned type = fields[3];
    const auto offset = static_cast<std::uint32_t>(fields[1] << 8 | fields[2]);
    const std::vector<std::uint8_t> data(fields.begin() + 4, fields.end() - 1);
    switch (type) {
      case kData: {
        const std::uint32_t address = base + offset;
        if (address + data.size() > 0x10000)
          return fail(line, "data beyond 64 KiB cannot be loaded into the FX2");
        if (!data.empty() && !InRam(address, data.size()))
          image.outside.push_back({line, address, static_cast<std::uint32_t>(data.size())});
        image.bytes += data.size();
        image.records.push_back({line, address, data});
        break;
      }
      case kEndOfFile:
        image.ended = true;
        return image;
      case kExtendedSegment:
      case kExtendedLinear:
        if (data.size() != 2) return fail(line, "an address record needs 2 data bytes");
        base = static_cast<std::uint32_t>(data[0] << 8 | data[1])
               << (type == kExtendedSegment ? 4 : 16);
        break;
      case kStartSegment:
      case kStartLinear:
        break;  // the FX2 starts at 0 when its CPU is released
      default:
        return fail(line, "unknown record type " + std::to_string(type));
    }
  }
  // Without its end-of-file record an image may have been cut short: half a program in the
  // FX2 runs into whatever the RAM holds.
  if (bytes.empty()) return fail(0, "the file is empty");
  return fail(0, "no end-of-file record (:00000001FF): the image may be cut short");
}

// The image in records of at most 16 bytes, in file order.
std::vector<HexRecord> Repacked(const std::vector<HexRecord>& records) {
  std::vector<HexRecord> pieces;
  for (const HexRecord& record : records)
    for (std::size_t at = 0; at < record.data.size(); at += kLibraryDataMax) {
      const std::size_t size = std::min<std::size_t>(kLibraryDataMax, record.data.size() - at);
      pieces.push_back({record.line,
                        static_cast<std::uint32_t>(record.address + at),
                        {record.data.begin() + static_cast<std::ptrdiff_t>(at),
                         record.data.begin() + static_cast<std::ptrdiff_t>(at + size)}});
    }
  return pieces;
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

std::string FormatImage(const std::vector<HexRecord>& records) {
  std::string text;
  for (const HexRecord& record : records)
    text += FormatRecord(kData, static_cast<std::uint16_t>(record.address), record.data.data(),
                         record.data.size());
  return text + FormatRecord(kEndOfFile, 0, nullptr, 0);
}

// Whether the library, given the file itself, would send exactly the image.
bool LibrarySendsTheImage(const LibraryView& view, const std::vector<HexRecord>& records) {
  if (!view.takes_it || view.sent.size() != records.size()) return false;
  for (std::size_t i = 0; i < records.size(); ++i)
    if (view.sent[i].address != records[i].address || view.sent[i].data != records[i].data)
      return false;
  return true;
}

// ---- what check says ----

// What firmware load does with the file (check says the same): loads it as it stands, loads
// it repacked, or refuses it (some of that only without --force).
struct Findings {
  LibraryView library;
  Image image;
  bool ok() const {
    return image.valid && image.checksums.empty() && image.outside.empty() &&
           !image.records.empty();
  }
  // Load writes it into records of at most 16 bytes first.
  bool repack() const {
    return image.valid && !LibrarySendsTheImage(library, Repacked(image.records));
  }
};

Findings Examine(const std::vector<std::uint8_t>& bytes) {
  return {ViewLikeTheLibrary(bytes), ReadIntelHex(bytes)};
}

std::string LibraryRefusal(const LibraryView& library) {
  return "line " + std::to_string(library.refused_line) + ": " + library.reason;
}

// The lines check prints about each problem; load prints them when it refuses.
std::vector<std::string> Problems(const std::string& path, const Findings& found) {
  std::vector<std::string> lines;
  const std::string at = path + ":";
  // What the library refuses is a problem only where Intel HEX refuses it too: load repacks
  // the rest.
  if (!found.library.takes_it && !found.image.valid)
    lines.push_back(at + std::to_string(found.library.refused_line) +
                    ": the library refuses the file: " + found.library.reason);
  if (!found.image.valid &&
      (found.library.takes_it || found.image.error_line != found.library.refused_line))
    lines.push_back((found.image.error_line != 0
                         ? at + std::to_string(found.image.error_line) + ": "
                         : path + ": ") +
                    found.image.error);
  if (found.image.valid && found.image.records.empty())
    lines.push_back(path + ": it holds no data records");
  for (const ChecksumError& error : found.image.checksums) {
    char text[96];
    std::snprintf(text, sizeof text,
                  ": its checksum is wrong (0x%02x; the record's bytes need 0x%02x)", error.stored,
                  error.needed);
    lines.push_back(at + std::to_string(error.line) + text);
  }
  for (const OutsideRam& record : found.image.outside)
    lines.push_back(at + std::to_string(record.line) + ": " + std::to_string(record.size) +
                    " bytes at " + Hex4(record.address) + "-" +
                    Hex4(record.address + record.size - 1) +
                    " lie outside the FX2's RAM (0x0000-0x3fff, 0xe000-0xe1ff), which the 0xA0 "
                    "request cannot write");
  return lines;
}

void PrintJson(const std::string& path, const Findings& found) {
  const LibraryView& library = found.library;
  const Image& image = found.image;
  Json json;
  json.Object().String("file", path).Bool("ok", found.ok()).Bool("repack", found.repack());
  json.Object("library").Bool("takes_it", library.takes_it);
  if (library.takes_it) {
    std::size_t bytes = 0;
    for (const LibraryRecord& record : library.sent) bytes += record.data.size();
    json.Number("data_records", library.sent.size()).Number("bytes", bytes);
    if (library.stop_line != 0)
      json.Number("stops_at_line", library.stop_line)
          .String("stop_record", TypeName(library.stop_type));
    else
      json.Null("stops_at_line").Null("stop_record");
    json.Number("data_records_not_sent", library.not_sent);
  } else {
    json.Number("refused_line", library.refused_line).String("reason", library.reason);
  }
  json.Close();
  json.Object("intel_hex").Bool("valid", image.valid);
  if (image.valid)
    json.Number("data_records", image.records.size()).Number("bytes", image.bytes);
  else
    json.Number("error_line", image.error_line).String("reason", image.error);
  json.Close();
  json.Array("checksum_errors");
  for (const ChecksumError& error : image.checksums)
    json.Object()
        .Number("line", error.line)
        .Number("stored", error.stored)
        .Number("needed", error.needed)
        .Close();
  json.Close().Array("outside_ram");
  for (const OutsideRam& record : image.outside)
    json.Object()
        .Number("line", record.line)
        .Number("address", record.address)
        .Number("length", record.size)
        .Close();
  json.Close();
  // Exit status 1 comes with an error object, as for every failing --json command.
  if (!found.ok()) {
    const std::vector<std::string> problems = Problems(path, found);
    json.Object("error")
        .Null("status")
        .String("name", "failure")
        .String("message", problems.empty() ? "firmware check refuses " + path : problems.front())
        .Close();
  }
  json.Close().Print();
}

// A private folder, removed with everything in it.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string reason;
    path_ = platform::MakePrivateFolder(&reason);
    if (path_.empty()) throw Failure("cannot make a temporary folder: " + reason);
  }
  ~TemporaryFolder() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void WriteText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  if (!file.flush()) throw Failure("cannot write the temporary file " + path.string());
}

// The image in library calls of kRecordsPerCall records. Between calls the CPU runs, so when
// there is more than one call the bytes at 0x0000 and 0x0001 are held back to the last and
// the first call parks the CPU there first, with SJMP $ (80 FE): it loops in place, touching
// nothing, until the last call writes the image's own first two bytes and releases it.
std::vector<std::vector<HexRecord>> Calls(const std::vector<HexRecord>& records) {
  if (records.size() <= kRecordsPerCall) return {records};
  std::map<std::uint32_t, std::uint8_t> held;  // the last byte written at 0 and at 1
  std::vector<HexRecord> rest;
  for (const HexRecord& record : records) {
    HexRecord kept = record;
    while (!kept.data.empty() && kept.address < 2) {
      held[kept.address] = kept.data.front();
      kept.data.erase(kept.data.begin());
      ++kept.address;
    }
    if (!kept.data.empty()) rest.push_back(kept);
  }
  // Without both bytes the image's own start is unknown: one call, as the library would do it.
  if (held.size() != 2) return {records};
  std::vector<std::vector<HexRecord>> calls;
  calls.push_back({{0, 0x0000, {0x80, 0xFE}}});
  for (const HexRecord& record : rest) {
    if (calls.back().size() == kRecordsPerCall) calls.emplace_back();
    calls.back().push_back(record);
  }
  calls.emplace_back().push_back({0, 0x0000, {held[0], held[1]}});
  return calls;
}

}  // namespace

int FirmwareCheck(const Options& options, const std::string& path) {
  const Findings found = Examine(ReadInputFile(path, kImageFileLimit, "the firmware image"));
  if (options.json) {
    PrintJson(path, found);
    return found.ok() ? 0 : 1;
  }
  const LibraryView& library = found.library;
  const std::vector<std::string> problems = Problems(path, found);
  if (found.ok() && found.repack()) {
    // Not a failure: firmware load takes it, repacked, as firmware repack would write it.
    std::printf("%s: firmware load takes it after a repack into %zu records of at most 16 "
                "bytes, %zu bytes; the library %s\n",
                path.c_str(), Repacked(found.image.records).size(), found.image.bytes,
                library.takes_it
                    ? "would load the file as it stands differently"
                    : ("would refuse the file as it stands (" + LibraryRefusal(library) + ")")
                          .c_str());
  } else if (library.takes_it && found.image.valid) {
    std::size_t bytes = 0;
    for (const LibraryRecord& record : library.sent) bytes += record.data.size();
    std::printf("%s: the library takes it: %zu data records, %zu bytes\n", path.c_str(),
                library.sent.size(), bytes);
    if (library.stop_line != 0) {
      std::printf("the download stops at line %zu (%s record)", library.stop_line,
                  TypeName(library.stop_type).c_str());
      if (library.not_sent != 0)
        std::printf("; %zu data records after it are not sent", library.not_sent);
      std::printf("\n");
    }
  }
  for (const std::string& line : problems) std::printf("%s\n", line.c_str());
  return found.ok() ? 0 : 1;
}

int FirmwareLoad(const Library& library, const Options& options, const std::string& path,
                 bool force) {
  const Findings found = Examine(ReadInputFile(path, kImageFileLimit, "the firmware image"));
  const std::vector<std::string> problems = Problems(path, found);
  if (!found.image.valid) {
    for (const std::string& line : problems) std::fprintf(stderr, "%s\n", line.c_str());
    throw Failure("the firmware image " + path +
                  " is not Intel HEX that the FX2 can take; "
                  "nothing was sent");
  }
  if (!found.image.checksums.empty() || !found.image.outside.empty()) {
    for (const std::string& line : problems) std::fprintf(stderr, "%s\n", line.c_str());
    if (!force)
      throw Failure("firmware check refuses " + path +
                    " (above); nothing was sent. Add "
                    "--force to load it all the same");
    std::fprintf(stderr, "loading it all the same (--force)\n");
  }
  if (found.image.records.empty()) throw Failure(path + " holds no data records; nothing was sent");
  const std::vector<HexRecord> records = Repacked(found.image.records);
  if (found.repack())
    std::printf(
        "repacked %s into %zu records of at most 16 bytes (a temporary file): the "
        "library %s\n",
        path.c_str(), records.size(),
        found.library.takes_it ? "would load the file itself differently"
                               : "would refuse the file as it stands");

  const std::vector<std::vector<HexRecord>> calls = Calls(records);
  TemporaryFolder folder;
  std::vector<std::filesystem::path> files;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    files.push_back(folder.path() / ("part" + std::to_string(i) + ".hex"));
    WriteText(files.back(), FormatImage(calls[i]));
  }

  const Api& api = library.api();
  Session session(library, options);
  platform::InterruptScope interrupt;
  ProgressLine progress;
  const double start = Seconds();
  std::size_t sent = 0, total = 0;
  for (const auto& call : calls) total += call.size();
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (platform::Interrupted()) {
      progress.Finish();
      throw Failure("interrupted after " + std::to_string(sent) + " of " + std::to_string(total) +
                    " records: the FX2 runs a loop at 0x0000 that waits for the rest; its old "
                    "firmware is gone and the new one is incomplete. Load it again");
    }
    const int status = api.QuorixLoadFirmware(session.handle(), files[i].string().c_str());
    if (status != QUORIX_OK) {
      progress.Finish();
      std::fprintf(stderr,
                   "quorix: the FX2's CPU is held in reset; %zu records before this part were "
                   "written\n",
                   sent);
      Check(status, "loading " + path + " (records " + std::to_string(sent + 1) + " to " +
                        std::to_string(sent + calls[i].size()) + ")");
    }
    sent += calls[i].size();
    progress.Show("loading " + path + ": " + std::to_string(sent) + " of " + std::to_string(total) +
                  " records");
  }
  progress.Finish();
  std::printf("loaded %s: %zu records, %zu bytes, in %.2f s\n", path.c_str(), records.size(),
              found.image.bytes, Seconds() - start);
  return 0;
}

int FirmwareRepack(const std::string& in, const std::string& out) {
  const Image image = ReadIntelHex(ReadInputFile(in, kImageFileLimit, "the firmware image"));
  // A wrong checksum lies before whatever stopped the reading.
  if (!image.checksums.empty())
    throw Failure(in + ":" + std::to_string(image.checksums.front().line) +
                  ": its checksum is wrong; nothing was written");
  if (!image.valid)
    throw Failure((image.error_line != 0 ? in + ":" + std::to_string(image.error_line) : in) +
                  ": " + image.error + "; nothing was written");
  if (image.records.empty()) throw Failure(in + " holds no data records; nothing was written");
  const std::vector<HexRecord> records = Repacked(image.records);
  // Whole or not at all: a failed write leaves no half image behind.
  OutputFile file(out);
  const std::string text = FormatImage(records);
  file.Write(text.data(), text.size());
  file.Commit();
  // Beside the image, not inside it, when it goes to stdout.
  std::FILE* said = file.standard() ? stderr : stdout;
  std::fprintf(said, "wrote %s: %zu data records of at most 16 bytes\n",
               file.standard() ? "to stdout" : out.c_str(), records.size());
  for (const OutsideRam& record : image.outside)
    std::fprintf(
        said,
        "note: line %zu puts %u bytes at %s, outside the FX2's RAM; firmware load refuses "
        "that without --force\n",
        record.line, record.size, Hex4(record.address).c_str());
  return 0;
}

}  // namespace quorix::tool
