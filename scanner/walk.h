#pragma once

// Walks the working directory and its subdirectories, depth first, and reconciles every regular
// file with PathList. Returns with the working directory as it was at the call.
void ScanDirectory();
