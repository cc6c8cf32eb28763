// Writes a valid database of N entries for load and save benchmarks, laid out as a save lays it:
// PathTable in ascending PathCRC (no two equal), ContentTable in ascending CRC32 with equal keys in
// arrival order, records back to back in path order, each RecordOffset its own offset.
//
// Paths look like an archive's ("/archive/2019/07/dir00123/IMG_0001234.jpg", about 45 bytes), so
// a million entries make about 100 MB. Every tenth entry is a copy of an earlier one (equal CRC32,
// MD5 and size), one in a hundred is an empty file (CRC32 0), and one in two hundred could not be
// read (CRC32 0, in PathTable only).
//
// Usage: make_database ENTRIES FILE

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "store/byte_order.h"
#include "store/crc32.h"
#include "store/database_format.h"
#include "store/entry.h"

namespace {

struct Planned {
  std::uint32_t pathCRC;
  std::uint32_t number;  // generation order: the order in which entries joined the content order
};

// A small, fast generator with a fixed seed, so that every run writes the same file.
std::uint64_t Next(std::uint64_t& state) {
  state += 0x9E3779B97F4A7C15ull;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::string PathOf(std::uint32_t n) {
  char path[96];
  std::snprintf(path, sizeof path, "/archive/%04u/%02u/dir%05u/IMG_%07u.jpg", 2000 + n % 25, 1 + n % 12,
                n / 1000, n);
  return path;
}

std::uint32_t PathCrcOf(const std::string& path) {
  std::uint32_t running = kCrc32Start;
  Crc32Update(running, path.c_str(), static_cast<std::uint32_t>(path.size() + 1));
  return running ^ kCrc32Final;
}

// What entry n holds: copies take the content of an earlier entry.
struct Content {
  std::uint32_t crc;
  std::uint64_t md5Low;
  std::uint64_t md5High;
  std::uint32_t size;
  bool listed;  // in the ContentTable
};
Content ContentOf(std::uint32_t n) {
  if (n % 200 == 199) {
    return {0, 0, 0, 12345, false};  // could not be read
  }
  if (n % 100 == 42) {
    return {0, 0, 0, 0, true};  // empty
  }
  const std::uint32_t source = n % 10 == 9 ? n / 3 : n;  // a copy of an earlier entry's content
  std::uint64_t state = source;
  const std::uint64_t a = Next(state);
  const std::uint64_t b = Next(state);
  const std::uint64_t c = Next(state);
  const auto crc = static_cast<std::uint32_t>(a | 1);  // never 0: hashed
  return {crc, b, c, static_cast<std::uint32_t>(a >> 40) + 1, true};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s ENTRIES FILE\n", argv[0]);
    return 2;
  }
  const auto wanted = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  // Paths whose CRC equals an earlier one's are left out, as the scanner would take them for one.
  std::vector<Planned> planned;
  planned.reserve(wanted + wanted / 100 + 16);
  std::uint32_t n = 0;
  while (planned.size() < wanted) {
    const std::uint32_t more = static_cast<std::uint32_t>(wanted - planned.size());
    for (std::uint32_t i = 0; i < more; ++i, ++n) {
      planned.push_back({PathCrcOf(PathOf(n)), n});
    }
    std::sort(planned.begin(), planned.end(), [](const Planned& x, const Planned& y) {
      return x.pathCRC < y.pathCRC || (x.pathCRC == y.pathCRC && x.number < y.number);
    });
    planned.erase(std::unique(planned.begin(), planned.end(),
                              [](const Planned& x, const Planned& y) { return x.pathCRC == y.pathCRC; }),
                  planned.end());
  }
  const auto count = static_cast<std::uint32_t>(planned.size());

  // Offsets in path order, and the content order: by CRC32, equal keys in generation order.
  std::vector<std::uint32_t> offsets(count);
  struct Listed {
    std::uint32_t crc;
    std::uint32_t number;
    std::uint32_t offset;
  };
  std::vector<Listed> listed;
  std::uint64_t recordBytes = 0;
  for (const Planned& p : planned) {
    recordBytes += kEntryHeaderSize + PathOf(p.number).size() + 1;
    if (ContentOf(p.number).listed) {
      listed.push_back({ContentOf(p.number).crc, p.number, 0});
    }
  }
  const std::uint64_t tablesEnd = kDatabaseHeaderSize + 4 * (std::uint64_t{count} + listed.size());
  if (tablesEnd + recordBytes > UINT32_MAX) {
    std::fprintf(stderr, "%" PRIu32 " entries do not fit in 4 GiB\n", count);
    return 2;
  }
  std::uint64_t offset = tablesEnd;
  std::size_t next = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    offsets[i] = static_cast<std::uint32_t>(offset);
    offset += kEntryHeaderSize + PathOf(planned[i].number).size() + 1;
    if (ContentOf(planned[i].number).listed) {
      listed[next++].offset = offsets[i];
    }
  }
  std::sort(listed.begin(), listed.end(),
            [](const Listed& x, const Listed& y) { return x.crc < y.crc || (x.crc == y.crc && x.number < y.number); });

  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) {
    std::perror(argv[2]);
    return 2;
  }
  static char buffer[1 << 22];
  std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
  std::byte header[kDatabaseHeaderSize];
  StoreLE(header, kDatabaseMagic);
  header[4] = std::byte{kDatabaseVersion};
  StoreLE(header + kPathCountOffset, count);
  StoreLE(header + kContentCountOffset, static_cast<std::uint32_t>(listed.size()));
  std::fwrite(header, sizeof header, 1, out);
  auto put32 = [out](std::uint32_t value) {
    std::byte bytes[4];
    StoreLE(bytes, value);
    std::fwrite(bytes, 4, 1, out);
  };
  for (std::uint32_t o : offsets) {
    put32(o);
  }
  for (const Listed& l : listed) {
    put32(l.offset);
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string path = PathOf(planned[i].number);
    const Content c = ContentOf(planned[i].number);
    std::byte record[kEntryHeaderSize + 96] = {};
    const Entry e{record};
    Set(e, Field::RecordOffset, offsets[i]);
    Set(e, Field::CRC32, c.crc);
    StoreLE(record + kMD5Offset, c.md5Low);
    StoreLE(record + kMD5Offset + 8, c.md5High);
    Set(e, Field::PathCRC, planned[i].pathCRC);
    Set(e, Field::SIZE, c.size);
    Set(e, Field::CreationTime, std::int64_t{1500000000} + planned[i].number);
    Set(e, Field::LastWrite, std::int64_t{1400000000} + planned[i].number);
    Set(e, Field::NameLength, static_cast<std::uint16_t>(path.size() + 1));
    std::copy(path.begin(), path.end(), reinterpret_cast<char*>(record + kFileNameOffset));
    std::fwrite(record, kEntryHeaderSize + path.size() + 1, 1, out);
  }
  if (std::fclose(out) != 0) {
    std::perror(argv[2]);
    return 2;
  }
  std::printf("%" PRIu32 " entries, %zu in content order, %" PRIu64 " bytes\n", count, listed.size(),
              tablesEnd + recordBytes);
  return 0;
}
