#include "store/database_format.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "store/byte_order.h"
#include "store/entry.h"
#include "store/handles.h"

FileImage ReadFileImage(const char* name) {
  FileImage image;
  const FileHandle file(std::fopen(name, "rb"));
  if (file == nullptr) {
    image.status = errno == ENOENT ? ImageRead::kMissing : ImageRead::kUnreadable;
    return image;
  }
  image.status = ImageRead::kUnreadable;
  struct stat status {};
  if (fstat(fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
    return image;  // a directory or device has no size to read it by
  }
  if (std::fseek(file.get(), 0, SEEK_END) != 0) {
    return image;
  }
  const long size = std::ftell(file.get());
  if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
    return image;
  }
  if (size == 0) {
    image.status = ImageRead::kEmpty;
    return image;
  }
  image.size = static_cast<std::size_t>(size);
  image.bytes = LargeZeroedBytes(image.size);
  if (image.bytes == nullptr || std::fread(image.bytes.get(), image.size, 1, file.get()) != 1) {
    image.bytes.reset();
    image.size = 0;
    return image;
  }
  image.status = ImageRead::kRead;
  return image;
}

bool HasDatabaseHeader(std::span<const std::byte> image) {
  return image.size() >= kDatabaseHeaderSize && LoadLE<std::uint32_t>(image.data()) == kDatabaseMagic &&
         std::to_integer<std::uint8_t>(image[4]) == kDatabaseVersion;
}

std::uint32_t DatabaseLayout::PathOffset(std::span<const std::byte> image, std::uint32_t i) const {
  return LoadLE<std::uint32_t>(image.data() + kDatabaseHeaderSize + 4 * std::size_t{i});
}

std::uint32_t DatabaseLayout::ContentOffset(std::span<const std::byte> image, std::uint32_t j) const {
  return LoadLE<std::uint32_t>(image.data() + kDatabaseHeaderSize + 4 * (std::size_t{pathCount} + j));
}

namespace {

std::uint64_t TablesEnd(const DatabaseLayout& layout) {
  return kDatabaseHeaderSize + 4 * (std::uint64_t{layout.pathCount} + layout.contentCount);
}

// A record header inside the image and a NUL somewhere after it, still inside: that is, the last
// NUL of the image (lastNul, or the image size when it has none) lies past the header.
bool RecordReadable(std::span<const std::byte> image, std::size_t lastNul, std::uint32_t offset) {
  return Holds(image, offset, kEntryHeaderSize) && lastNul != image.size() && offset + kEntryHeaderSize <= lastNul;
}

std::size_t LastNul(std::span<const std::byte> image) {
  for (std::size_t at = image.size(); at != 0; --at) {
    if (image[at - 1] == std::byte{0}) {
      return at - 1;
    }
  }
  return image.size();
}

std::optional<DatabaseLayout> TablesInside(std::span<const std::byte> image) {
  if (!HasDatabaseHeader(image)) {
    return std::nullopt;
  }
  DatabaseLayout layout;
  layout.pathCount = LoadLE<std::uint32_t>(image.data() + kPathCountOffset);
  layout.contentCount = LoadLE<std::uint32_t>(image.data() + kContentCountOffset);
  if (TablesEnd(layout) > image.size()) {
    return std::nullopt;
  }
  return layout;
}

}  // namespace

std::optional<DatabaseLayout> CheckReadable(std::span<const std::byte> image) {
  const std::optional<DatabaseLayout> layout = TablesInside(image);
  if (!layout) {
    return std::nullopt;
  }
  // One search for the last NUL serves every record, however many point at the same place.
  const std::size_t lastNul = LastNul(image);
  for (std::uint32_t i = 0; i < layout->pathCount; ++i) {
    if (!RecordReadable(image, lastNul, layout->PathOffset(image, i))) {
      return std::nullopt;
    }
  }
  for (std::uint32_t j = 0; j < layout->contentCount; ++j) {
    if (!RecordReadable(image, lastNul, layout->ContentOffset(image, j))) {
      return std::nullopt;
    }
  }
  return layout;
}

namespace {

// Where records may start, for the ContentTable check. Records are at least a header and a NUL
// long, so two record starts never share a slot of that width: a slot holds the start's place
// within it (plus one; 0 = no record starts here) and a mark once a ContentTable value has named
// it. A map of one byte per slot stays small enough to be looked up at random in any order.
constexpr std::uint32_t kSlotWidth = kEntryHeaderSize + 1;
constexpr std::uint8_t kNamed = 0x80;
static_assert(kSlotWidth < kNamed);

struct RecordStarts {
  LargeBytes slots;
  std::uint64_t base = 0;  // the offset of the first record
};

void MarkStart(RecordStarts& starts, std::uint32_t offset) {
  const std::uint64_t at = offset - starts.base;
  starts.slots[at / kSlotWidth] = std::byte{static_cast<std::uint8_t>(at % kSlotWidth + 1)};
}

// True once for each record start; false for any other offset, and for a start named before.
bool NameStart(RecordStarts& starts, std::uint64_t end, std::uint32_t offset) {
  if (offset < starts.base || offset >= end) {
    return false;
  }
  const std::uint64_t at = offset - starts.base;
  std::byte& slot = starts.slots[at / kSlotWidth];
  if (std::to_integer<std::uint64_t>(slot) != at % kSlotWidth + 1) {
    return false;  // no start here, or already named (the mark makes the value differ)
  }
  slot |= std::byte{kNamed};
  return true;
}

// A record at `offset` whose header and name lie inside the image, whose name is a path with its
// one NUL at the end, and whose size fits the format's 16 bits.
bool RecordSound(std::span<const std::byte> image, std::uint32_t offset) {
  if (!Holds(image, offset, kEntryHeaderSize)) {
    return false;
  }
  const std::uint16_t nameLength = LoadLE<std::uint16_t>(image.data() + offset + Field::NameLength.Offset);
  if (nameLength == 0 || nameLength > kMaxNameLength || !Holds(image, offset, RecordSize(nameLength))) {
    return false;
  }
  const std::byte* name = image.data() + offset + kEntryHeaderSize;
  return std::to_integer<int>(name[nameLength - 1]) == 0 && std::memchr(name, 0, nameLength - 1u) == nullptr;
}

}  // namespace

std::optional<DatabaseLayout> CheckConsistent(std::span<const std::byte> image) {
  const std::optional<DatabaseLayout> layout = TablesInside(image);
  if (!layout) {
    return std::nullopt;
  }
  RecordStarts starts;
  starts.base = TablesEnd(*layout);
  if (layout->contentCount != 0) {
    starts.slots = LargeZeroedBytes(static_cast<std::size_t>((image.size() - starts.base) / kSlotWidth + 1));
    if (starts.slots == nullptr) {
      return std::nullopt;
    }
  }
  // Records back to back: each offset follows from the one before, so the PathTable ascends, and
  // the records are read in the order they lie in the image.
  std::uint64_t expected = starts.base;
  std::uint32_t previousKey = 0;
  for (std::uint32_t i = 0; i < layout->pathCount; ++i) {
    const std::uint32_t offset = layout->PathOffset(image, i);
    if (offset != expected || !RecordSound(image, offset)) {
      return std::nullopt;
    }
    const std::uint32_t key = LoadLE<std::uint32_t>(image.data() + offset + Field::PathCRC.Offset);
    if (key < previousKey) {
      return std::nullopt;  // PathList order is what makes every path lookup find its entry
    }
    previousKey = key;
    if (starts.slots != nullptr) {
      MarkStart(starts, offset);
    }
    const std::uint16_t nameLength = LoadLE<std::uint16_t>(image.data() + offset + Field::NameLength.Offset);
    expected = offset + std::uint64_t{RecordSize(nameLength)};
  }
  if (expected != image.size()) {
    return std::nullopt;
  }
  // Each ContentTable value names one of the records, and none twice (so there are no more of
  // them than records). The values go in content order, so each looks at a slot far from the
  // last; asking for a few slots ahead lets those cache misses overlap.
  constexpr std::uint32_t kAhead = 16;
  for (std::uint32_t j = 0; j < layout->contentCount; ++j) {
    if (j + kAhead < layout->contentCount) {
      const std::uint32_t ahead = layout->ContentOffset(image, j + kAhead);
      if (ahead >= starts.base && ahead < expected) {
        __builtin_prefetch(&starts.slots[(ahead - starts.base) / kSlotWidth]);
      }
    }
    if (!NameStart(starts, expected, layout->ContentOffset(image, j))) {
      return std::nullopt;
    }
  }
  return layout;
}
