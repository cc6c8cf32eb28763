#include "scanner/load_save.h"

void LoadDatabase(const char* /*loadName*/) {}

bool SaveDatabase(const char* /*saveName*/) { return true; }
