#include "dump/dump.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <utility>

#include "store/byte_order.h"
#include "store/database_format.h"
#include "store/entry.h"

namespace {

// Printed in place of a time that ctime cannot render; as wide as a rendered time.
constexpr const char kUnknownTime[] = "??? ??? ?? ??:??:?? ????";
static_assert(sizeof kUnknownTime - 1 == 24);

// Large enough for any text glibc's ctime gives, whose year is an int.
constexpr std::size_t kCalendarTextSize = 64;

// A record inside an image CheckReadable accepted. Entry is a view for reading and writing alike;
// the dump only ever reads through it.
Entry RecordAt(std::span<const std::byte> image, std::uint32_t offset) {
  return Entry{const_cast<std::byte*>(image.data() + offset)};
}

// ctime's text for `seconds` (local time) without its final newline, in `text`; the placeholder when
// the value is no time_t, or lies so far out that ctime gives no text.
const char* CalendarText(std::int64_t seconds, char (&text)[kCalendarTextSize]) {
  if (!std::in_range<std::time_t>(seconds)) {
    return kUnknownTime;
  }
  const std::time_t time = static_cast<std::time_t>(seconds);
  const char* rendered = std::ctime(&time);
  if (rendered == nullptr) {
    return kUnknownTime;
  }
  const int length = std::snprintf(text, sizeof text, "%s", rendered);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) {
    return kUnknownTime;
  }
  if (text[length - 1] == '\n') {
    text[length - 1] = '\0';
  }
  return text;
}

void PrintRow(Entry e, std::FILE* out) {
  // The digest is stored reversed: its four words, read from the last to the first, give its usual text.
  const std::byte* md5 = e.Bytes + kMD5Offset;
  char creation[kCalendarTextSize];
  char lastWrite[kCalendarTextSize];
  std::fprintf(out, "%08X | ", Get(e, Field::CRC32));
  std::fprintf(out, "%08X", LoadLE<std::uint32_t>(md5 + 12));
  std::fprintf(out, "%08X", LoadLE<std::uint32_t>(md5 + 8));
  std::fprintf(out, "%08X", LoadLE<std::uint32_t>(md5 + 4));
  std::fprintf(out, "%08X | ", LoadLE<std::uint32_t>(md5));
  std::fprintf(out, "%5u | ", static_cast<unsigned>(Get(e, Field::EXDID)));
  std::fprintf(out, "%9u | ", Get(e, Field::SIZE));
  std::fprintf(out, "%s | ", CalendarText(Get(e, Field::CreationTime), creation));
  std::fprintf(out, "%s | ", CalendarText(Get(e, Field::LastWrite), lastWrite));
  std::fprintf(out, "%s\n", FileNameOf(e));  // NameLength plays no part: the path ends at its NUL
}

// Neighbours in ContentTable order with the same CRC32 and MD5; records are never compared further apart.
std::uint64_t CountDupes(std::span<const std::byte> image, const DatabaseLayout& layout) {
  std::uint64_t dupes = 0;
  for (std::uint32_t k = 1; k < layout.contentCount; ++k) {
    const Entry previous = RecordAt(image, layout.ContentOffset(image, k - 1));
    const Entry current = RecordAt(image, layout.ContentOffset(image, k));
    if (SameContentKey(previous, current)) {
      ++dupes;
    }
  }
  return dupes;
}

void PrintSummary(std::FILE* out, std::uint32_t entries, std::uint64_t dupes) {
  std::fprintf(out, "\n%u entries - %llu dupe(s)\n", entries, static_cast<unsigned long long>(dupes));
}

}  // namespace

void PrintDatabase(std::span<const std::byte> image, std::FILE* out) {
  const std::optional<DatabaseLayout> layout = CheckReadable(image);
  if (!layout) {
    PrintSummary(out, 0, 0);
    return;
  }
  std::fputs("CRC32    | MD5                              | EXDID | SIZE      | CreationTime             | LastWrite                | FileName\n", out);
  for (std::uint32_t i = 0; i < layout->pathCount; ++i) {
    PrintRow(RecordAt(image, layout->PathOffset(image, i)), out);
  }
  PrintSummary(out, layout->pathCount, CountDupes(image, *layout));
}

void DumpDatabaseFile(const char* name, std::FILE* out) {
  const FileImage file = ReadFileImage(name);  // opened, read whole and closed again
  if (file.status != ImageRead::kRead) {
    PrintSummary(out, 0, 0);
    return;
  }
  PrintDatabase(file.Bytes(), out);
}
