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
  explicit ZipBuilder(const std::string& path);
  ~ZipBuilder();
  ZipBuilder(const ZipBuilder&) = delete;
  ZipBuilder& operator=(const ZipBuilder&) = delete;

  // A member compressed by minizip: method 0 stored, 8 deflated.
  ZipBuilder& add(const std::string& name, const std::string& data, uint32_t dos = kDefaultDos,
                  int method = 8);
  // A member whose bytes go in as given, under the stated method (any number:
  // one minizip cannot write is put into the headers afterwards), CRC and size.
  ZipBuilder& add_raw(const std::string& name, const std::string& bytes, int method, uint32_t crc,
                      unsigned long size, uint32_t dos = kDefaultDos);
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
