#include "scanner/walk.h"

void ScanDirectory() {}
