// Feeds arbitrary bytes to the scanner's loader as a database image. When the loader accepts them,
// both lists are walked the way the walk, the purge and the save use them, so that AddressSanitizer
// sees every byte a run would touch.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "scanner/load_save.h"
#include "scanner/run_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy: the loader uses the image in place, and any read past it must be caught.
  std::unique_ptr<std::byte[]> image(new std::byte[size == 0 ? 1 : size]);
  std::memcpy(image.get(), data, size);
  CreateRunState();
  if (!LoadDatabaseImage(image.get(), size)) {
    return 0;
  }
  for (const EntryNode* node = PathList.first; node != nullptr; node = node->next) {
    const Entry e = node->entry;
    if (std::strlen(FileNameOf(e)) + 1 != Get(e, Field::NameLength)) {
      __builtin_trap();  // accepted records are whole: the path ends with the NUL at NameLength
    }
    (void)FindStartNode(PathIndex, PathKey(e));
    (void)Get(e, Field::LastWrite);
  }
  for (const EntryNode* node = ContentList.first; node != nullptr; node = node->next) {
    const Entry e = node->entry;
    (void)FindStartNode(ContentIndex, ContentKey(e));
    if (node->prev != nullptr) {
      (void)SameContentKey(e, node->prev->entry);
    }
  }
  return 0;
}
