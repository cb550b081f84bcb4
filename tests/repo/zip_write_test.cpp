// zip64 records from the publisher's tool: where a file could need them, and
// nowhere else.
#include <gtest/gtest.h>
#include <unzip.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "display/display.h"
#include "install/extract.h"
#include "platform/headless/headless.h"
#include "platform/platform.h"
#include "repo_report.h"
#include "repo_tree.h"
#include "support/paths.h"
#include "testkit/testkit.h"
#include "zip_write.h"

namespace {

uint32_t get16(const std::string& d, size_t at) {
  return static_cast<unsigned char>(d[at]) | static_cast<unsigned char>(d[at + 1]) << 8;
}

// Version needed and whether a zip64 field follows the name, per local header.
std::vector<std::pair<uint32_t, bool>> local_headers(const std::string& zip) {
  std::vector<std::pair<uint32_t, bool>> found;
  for (size_t at = zip.find("PK\3\4"); at != std::string::npos; at = zip.find("PK\3\4", at + 4)) {
    size_t extra = at + 30 + get16(zip, at + 26);
    found.emplace_back(get16(zip, at + 4), get16(zip, at + 28) >= 4 && get16(zip, extra) == 1);
  }
  return found;
}

class ZipWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    repo_quiet = true;
    headless_reset();
    dialog_handle = ui_create_dialog(wizard_dialog_proc);
  }
  void TearDown() override {
    dialog_handle = nullptr;
    headless_reset();
    repo_quiet = false;
  }
  int install(const std::string& zip, const std::string& dest) {
    LogCapture log;
    return install_archive(zip.c_str(), dest.c_str());
  }
  TempDir tmp;
};

TEST_F(ZipWrite, OnlyFilesThatCouldReachTheLimitGetZip64Records) {
  std::string src = tmp / "src", zip = tmp / "a.zip";
  make_dirs(src + "/d");
  write_file(src + "/a.txt", "small");
  write_file(src + "/d/b.bin", std::string(100000, 'b'));
  std::vector<SourceItem> items;
  ASSERT_EQ(tree_collect(src, "", "", items), 0);
  // With the limit lowered to 1 byte, every file stands for one past 4 GiB.
  for (uint64_t limit : {uint64_t{0xFFFFFFFFu}, uint64_t{1}}) {
    SCOPED_TRACE(limit);
    ASSERT_EQ(zip_write(zip, items, limit), 0);
    bool big = limit == 1;
    // a.txt, d/, d/b.bin: the folder never needs them.
    std::vector<std::pair<uint32_t, bool>> want = {{big ? 45 : 20, big}, {20, false}, {big ? 45 : 20, big}};
    EXPECT_EQ(local_headers(read_file(zip)), want);
    std::string dest = tmp / ("inst" + std::to_string(limit));
    ASSERT_EQ(install(zip, dest), 0);
    EXPECT_EQ(read_file(dest + "/a.txt"), "small");
    EXPECT_EQ(read_file(dest + "/d/b.bin"), std::string(100000, 'b'));
  }
}

// A real file past 4 GiB (sparse; deflating it takes some 20 s and extracting
// it writes 4 GiB): run with QUORVIN_BIG_TESTS=1.
TEST_F(ZipWrite, FilePast4GiBIsWrittenAndInstalled) {
  if (!std::getenv("QUORVIN_BIG_TESTS")) GTEST_SKIP() << "set QUORVIN_BIG_TESTS=1 to run it";
  const uint64_t size = (uint64_t{1} << 32) + 7;
  std::string src = tmp / "src", zip = tmp / "big.zip", dest = tmp / "inst";
  make_dirs(src);
  FILE* f = std::fopen((src + "/big.bin").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fseeko(f, static_cast<off_t>(size - 4), SEEK_SET), 0);
  ASSERT_EQ(std::fwrite("tail", 1, 4, f), 4u);
  ASSERT_EQ(std::fclose(f), 0);
  std::vector<SourceItem> items;
  ASSERT_EQ(tree_collect(src, "", "", items), 0);
  ASSERT_EQ(zip_write(zip, items), 0) << repo_last_error;

  unzFile z = unzOpen64(zip.c_str());
  ASSERT_NE(z, nullptr);
  unz_file_info64 info;
  ASSERT_EQ(unzGetCurrentFileInfo64(z, &info, nullptr, 0, nullptr, 0, nullptr, 0), UNZ_OK);
  EXPECT_EQ(info.uncompressed_size, size);
  unzClose(z);

  ASSERT_EQ(install(zip, dest), 0);
  f = std::fopen((dest + "/big.bin").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char tail[5] = {};
  ASSERT_EQ(fseeko(f, 0, SEEK_END), 0);
  EXPECT_EQ(static_cast<uint64_t>(ftello(f)), size);
  ASSERT_EQ(fseeko(f, -4, SEEK_END), 0);
  EXPECT_EQ(std::fread(tail, 1, 4, f), 4u);
  EXPECT_STREQ(tail, "tail");
  std::fclose(f);
}

}  // namespace
