#pragma once

// Walks the working directory and its subdirectories, depth first, and reconciles every regular
// file with PathList; new and modified files go through the hash lanes, and every one of them is
// committed when this returns. The working directory does not change.
void ScanDirectory();
