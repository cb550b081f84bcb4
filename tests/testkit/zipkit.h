// Zip archives written at test time, through minizip's zip interface.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

// MS-DOS date (high 16 bits) and time (low 16 bits).
uint32_t dos_date_time(int year, int month, int day, int hour, int minute, int second);
// The same moment read as local time, as the extraction must stamp it.
time_t dos_to_local(uint32_t dos);
uint32_t crc_of(const std::string& data);

class ZipBuilder {
 public:
  // start: where the first member begins; the bytes before it are a hole (a
  // sparse file), so an archive can reach past 4 GiB while holding little.
  explicit ZipBuilder(const std::string& path, uint64_t start = 0);
  ~ZipBuilder();
  ZipBuilder(const ZipBuilder&) = delete;
  ZipBuilder& operator=(const ZipBuilder&) = delete;

  // A member compressed by minizip: method 0 stored, 8 deflated; zip64 gives
  // its local header the 64-bit sizes.
  ZipBuilder& add(const std::string& name, const std::string& data, uint32_t dos = kDefaultDos,
                  int method = 8, bool zip64 = false);
  // A deflated member with these external attributes, "version made by" (its
  // high byte the system that made it), general-purpose flag bits and extra
  // fields in its directory entry.
  ZipBuilder& add_as(const std::string& name, const std::string& data, uint32_t attributes, int made_by,
                     int flags = 0, const std::string& central_extra = "");
  // A member whose bytes go in as given, under the stated method (any number:
  // one minizip cannot write is put into the headers afterwards), CRC and size
  // (from 4 GiB on with 64-bit records).
  ZipBuilder& add_raw(const std::string& name, const std::string& bytes, int method, uint32_t crc,
                      uint64_t size, uint32_t dos = kDefaultDos);
  // Writes the central directory, with the zip64 end records that more than
  // 65535 entries need; false when anything failed.
  bool close();

  static const uint32_t kDefaultDos;

 private:
  std::string path_;
  void* zip_;
  bool ok_ = true;
  unsigned long count_ = 0;
  std::vector<std::pair<std::string, int>> methods_;  // patched in after closing
};

// Changes to a closed archive's bytes, for damaged and hostile archives; each
// is false when the member is not found as expected.
// Sets flag bits of the member in its local and central headers.
bool zip_set_flags(std::string& zip, const std::string& member, uint32_t bits);
// Gives the member's local header another name of the same length.
bool zip_rename_local(std::string& zip, const std::string& member, const std::string& other);
// Repeats the member's central entry, so that copies point at the same data.
bool zip_repeat_entry(std::string& zip, const std::string& member, int copies);
// Raises the member's compressed size in both headers by extra bytes.
bool zip_grow_compressed(std::string& zip, const std::string& member, uint32_t extra);
// Adds zip64 end records, as a writer of large archives does.
bool zip_add_zip64_end(std::string& zip);
// Lowers the end record's entry counts by `by`, leaving the directory whole.
bool zip_lower_count(std::string& zip, uint32_t by);
