// Damaged archives that the fuzzer of tests/fuzz/fuzz_archive.cpp turned up:
// each must fail, never count as installed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "display/display.h"
#include "install/extract.h"
#include "platform/headless/headless.h"
#include "testkit/testkit.h"
#include "testkit/zipkit.h"

namespace {

class ExtractDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    headless_reset();
    dialog_handle = ui_create_dialog(wizard_dialog_proc);
    mkdir(dest.c_str(), 0755);
  }
  void TearDown() override {
    dialog_handle = nullptr;
    headless_reset();
  }
  // An archive of one file, then its end record changed by patch.
  void make(void (*patch)(std::string& end_record)) {
    {
      ZipBuilder z(zip);
      z.add("a.txt", "hello\n");
      ASSERT_TRUE(z.close());
    }
    std::string bytes = read_file(zip);
    size_t at = bytes.rfind("PK\5\6");
    ASSERT_NE(at, std::string::npos);
    std::string end = bytes.substr(at);
    patch(end);
    write_file(zip, bytes.substr(0, at) + end);
  }
  int run() { return install_archive(zip.c_str(), dest.c_str()); }

  TempDir dir;
  LogCapture log;
  std::string zip = dir / "pkg.zip";
  std::string dest = dir / "inst";
};

// An end record that counts no entries in front of a central directory that
// holds one: nothing would be extracted, and the run would call it installed.
TEST_F(ExtractDamageTest, EndRecordCountingNoEntriesOfAFullDirectoryFails) {
  make([](std::string& end) {
    for (int i = 8; i < 12; ++i) end[i] = '\0';  // entries on this disk, entries in all
  });
  EXPECT_EQ(-1, run());
  EXPECT_EQ("install_archive: the archive's directory holds entries that its end record does not "
            "count",
            log.lines().back());
}

}  // namespace
