#pragma once

// Fills both lists and indexes from the database file; a missing or empty file leaves them empty.
void LoadDatabase(const char* loadName);

// Drops removed entries and writes both lists to the database file. Does nothing when PathList
// holds no entry. Returns false when the file could not be written.
bool SaveDatabase(const char* saveName);
