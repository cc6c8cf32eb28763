#pragma once

// Deletes the duplicates that ContentList records: every entry equal in CRC32 and MD5 to the
// entry before it.
void PurgeRecordedDupes();
