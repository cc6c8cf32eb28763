#pragma once

// The small database most dump tests start from: three records whose path order differs from
// their content order, two of them equal in content, one with a ten-digit SIZE and a time before
// 1970. No byte of its image is a newline, so every row of its dump, and of any single-byte
// damage to it that makes no newline, is one line.

#include <string>
#include <vector>

#include "tests/support/database_builder.h"

inline std::vector<TestRecord> SampleRecords() {
  return {
      {0x1A2B3C4Du, DigestFromHex("0123456789abcdeffedcba9876543210"), 0x11111111u, 0, 12, 1700000000, 1700000100,
       "/data/photos/a.jpg"},
      {0xFFFFFFFFu, DigestFromHex("c4ca4238a0b923820dcc509a6f75849b"), 0x22222222u, 7, 4294967295u, 951782400,
       2147483648, "/data/big.iso"},
      {0x1A2B3C4Du, DigestFromHex("0123456789abcdeffedcba9876543210"), 0x33333333u, 0, 12, 0, -86400,
       "/data/backup/a.jpg"},
  };
}

// The two equal records are neighbours in content order only.
inline std::vector<std::byte> SampleDatabase() { return BuildDatabase(SampleRecords(), {0, 2, 1}); }

// Its dump with TZ=UTC.
inline const char kSampleDump[] =
    "CRC32    | MD5                              | EXDID | SIZE      | CreationTime             | LastWrite                | FileName\n"
    "1A2B3C4D | 0123456789ABCDEFFEDCBA9876543210 |     0 |        12 | Tue Nov 14 22:13:20 2023 | Tue Nov 14 22:15:00 2023 | /data/photos/a.jpg\n"
    "FFFFFFFF | C4CA4238A0B923820DCC509A6F75849B |     7 | 4294967295 | Tue Feb 29 00:00:00 2000 | Tue Jan 19 03:14:08 2038 | /data/big.iso\n"
    "1A2B3C4D | 0123456789ABCDEFFEDCBA9876543210 |     0 |        12 | Thu Jan  1 00:00:00 1970 | Wed Dec 31 00:00:00 1969 | /data/backup/a.jpg\n"
    "\n3 entries - 1 dupe(s)\n";

inline const char kHeaderLine[] =
    "CRC32    | MD5                              | EXDID | SIZE      | CreationTime             | LastWrite                | FileName\n";
inline const char kZeroSummary[] = "\n0 entries - 0 dupe(s)\n";

inline std::string AsText(const std::vector<std::byte>& image) {
  return std::string(reinterpret_cast<const char*>(image.data()), image.size());
}
