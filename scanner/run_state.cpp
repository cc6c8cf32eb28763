#include "scanner/run_state.h"

EntryList PathList{};
BucketIndex PathIndex{};
EntryList ContentList{};
BucketIndex ContentIndex{};
EntryNode* ContentZeroTail = nullptr;

bool Quiet = false;
bool DeleteNewDupes = false;

std::uint64_t TotalBytes = 0;
std::uint64_t DupeCount = 0;

void CreateRunState() {
  ClearIndex(PathIndex);
  ClearIndex(ContentIndex);
  ClearList(PathList);
  ClearList(ContentList);
  ContentZeroTail = nullptr;
}
