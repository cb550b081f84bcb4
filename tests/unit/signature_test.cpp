// Signatures made by the real minisign tool, checked as they are, then tampered with.
#include "install/signature.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sodium/utils.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "testkit/testkit.h"

namespace {

const char kManifest[] = "v:\nu:http://h/a.zip\nh:0123\ne:a\n";

// Keys A (the publisher's) and B, and a second signed file, made once.
class SignatureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys = new TempDir;
    write_file(*keys / "other.txt", "another file\n");
    ready = have_minisign() && minisign(keys->path(), "-G -W -p A.pub -s A.key") &&
            minisign(keys->path(), "-G -W -p B.pub -s B.key") &&
            minisign(keys->path(), "-S -s A.key -m other.txt");
  }
  static void TearDownTestSuite() { delete keys; }
  void SetUp() override {
    if (!ready) GTEST_SKIP() << "minisign is not installed";
    std::string why;
    ASSERT_EQ(0, publisher_key_read(*keys / "A.pub", &key, &why)) << why;
  }

  // Writes the manifest and signs it with A (or B), in minisign's default
  // (hashed) form or with -l in the legacy one.
  void sign(const char* key_name = "A", const char* flags = "") {
    write_file(file, kManifest);
    ASSERT_TRUE(minisign(dir.path(), std::string("-S -s '") + (*keys / key_name) + ".key' " + flags +
                                         " -m filelist.txt"));
  }
  SignatureVerdict check(std::string* text) { return signature_check(file, sig, key, text); }

  static TempDir* keys;
  static bool ready;
  TempDir dir;
  std::string file = dir / "filelist.txt";
  std::string sig = file + ".minisig";
  PublisherKey key;
};
TempDir* SignatureTest::keys = nullptr;
bool SignatureTest::ready = false;

std::vector<std::string> sig_lines(const std::string& path) { return split_lines(read_file(path)); }
void put_lines(const std::string& path, const std::vector<std::string>& lines, const char* end = "\n") {
  std::string text;
  for (const std::string& l : lines) text += l + end;
  write_file(path, text);
}
std::string id_of(const std::string& pub) {
  std::string comment = split_lines(read_file(pub))[0];
  return comment.substr(comment.size() - 16);  // "... minisign public key <ID>"
}

struct Tampering {
  const char* name;
  const char* flags;  // minisign -S flags; "B": signed with key B
  std::function<void(const std::string& file, const std::string& sig, const std::string& keys)> change;
  SignatureVerdict verdict;
  const char* says;  // part of the sentence
};

void PrintTo(const Tampering& t, std::ostream* os) { *os << t.name; }

class SignatureTampering : public SignatureTest, public ::testing::WithParamInterface<Tampering> {};

TEST_P(SignatureTampering, Verdict) {
  const Tampering& t = GetParam();
  bool other = std::string(t.flags) == "B";
  sign(other ? "B" : "A", other ? "" : t.flags);
  if (t.change) t.change(file, sig, keys->path());
  std::string text;
  EXPECT_EQ(t.verdict, check(&text)) << text;
  EXPECT_NE(text.find(t.says), std::string::npos) << text;
}

void flip_manifest_byte(const std::string& file, const std::string&, const std::string&) {
  std::string data = read_file(file);
  data[data.size() / 2] ^= 0x01;
  write_file(file, data);
}

// Writes the signature line back with another algorithm: re-encoded, valid base64.
void set_algorithm(const std::string& sig, const char* alg) {
  std::vector<std::string> lines = sig_lines(sig);
  unsigned char raw[74];
  size_t got = 0;
  ASSERT_EQ(0, sodium_base642bin(raw, sizeof raw, lines[1].data(), lines[1].size(), nullptr, &got,
                                 nullptr, sodium_base64_VARIANT_ORIGINAL));
  raw[0] = static_cast<unsigned char>(alg[0]);
  raw[1] = static_cast<unsigned char>(alg[1]);
  char b64[128];
  sodium_bin2base64(b64, sizeof b64, raw, sizeof raw, sodium_base64_VARIANT_ORIGINAL);
  lines[1] = b64;
  put_lines(sig, lines);
}

INSTANTIATE_TEST_SUITE_P(
    Signatures, SignatureTampering,
    ::testing::Values(
        Tampering{"hashed", "", nullptr, SIGNATURE_GOOD, "good signature by key"},
        Tampering{"legacy", "-l", nullptr, SIGNATURE_GOOD, "good signature by key"},
        Tampering{"CR LF line ends", "",
                  [](auto&, auto& sig, auto&) { put_lines(sig, sig_lines(sig), "\r\n"); },
                  SIGNATURE_GOOD, "trusted comment: timestamp:"},
        Tampering{"padded to the limit", "",
                  [](auto&, auto& sig, auto&) {
                    std::string s = read_file(sig);
                    write_file(sig, s + std::string(SIGNATURE_FILE_MAX - s.size(), '\n'));
                  },
                  SIGNATURE_GOOD, "good signature"},
        Tampering{"one byte over the limit", "",
                  [](auto&, auto& sig, auto&) {
                    std::string s = read_file(sig);
                    write_file(sig, s + std::string(SIGNATURE_FILE_MAX + 1 - s.size(), '\n'));
                  },
                  SIGNATURE_TOO_LARGE, "is larger than 4096 bytes"},
        Tampering{"manifest byte", "", flip_manifest_byte, SIGNATURE_NO_MATCH, "does not match"},
        Tampering{"manifest byte, legacy", "-l", flip_manifest_byte, SIGNATURE_NO_MATCH,
                  "does not match"},
        Tampering{"other key", "B", nullptr, SIGNATURE_OTHER_KEY, ", not with the publisher's key"},
        Tampering{"signature of another file", "",
                  [](auto&, auto& sig, auto& keys) { write_file(sig, read_file(keys + "/other.txt.minisig")); },
                  SIGNATURE_NO_MATCH, "does not match"},
        Tampering{"global signature of another file", "",
                  [](auto&, auto& sig, auto& keys) {
                    std::vector<std::string> lines = sig_lines(sig);
                    lines[3] = sig_lines(keys + "/other.txt.minisig")[3];
                    put_lines(sig, lines);
                  },
                  SIGNATURE_COMMENT_NO_MATCH, "trusted comment in"},
        Tampering{"trusted comment changed", "",
                  [](auto&, auto& sig, auto&) {
                    std::vector<std::string> lines = sig_lines(sig);
                    lines[2] += "x";
                    put_lines(sig, lines);
                  },
                  SIGNATURE_COMMENT_NO_MATCH, "does not match its signature"},
        Tampering{"cut in line 2", "",
                  [](auto&, auto& sig, auto&) { write_file(sig, read_file(sig).substr(0, 60)); },
                  SIGNATURE_MALFORMED, "line 2 is not a signature"},
        Tampering{"two lines only", "",
                  [](auto&, auto& sig, auto&) {
                    std::vector<std::string> lines = sig_lines(sig);
                    put_lines(sig, {lines[0], lines[1]});
                  },
                  SIGNATURE_MALFORMED, "line 3 is not a trusted comment"},
        Tampering{"global signature cut", "",
                  [](auto&, auto& sig, auto&) {
                    std::string s = read_file(sig);
                    write_file(sig, s.substr(0, s.size() - 5));
                  },
                  SIGNATURE_MALFORMED, "line 4 is not a signature"},
        Tampering{"empty", "", [](auto&, auto& sig, auto&) { write_file(sig, ""); },
                  SIGNATURE_MALFORMED, "the file is empty"},
        Tampering{"no untrusted comment", "",
                  [](auto&, auto& sig, auto&) {
                    std::vector<std::string> lines = sig_lines(sig);
                    lines.erase(lines.begin());
                    put_lines(sig, lines);
                  },
                  SIGNATURE_MALFORMED, "line 1 is not an untrusted comment"},
        Tampering{"text after line 4", "",
                  [](auto&, auto& sig, auto&) { write_file(sig, read_file(sig) + "\nmore\n"); },
                  SIGNATURE_MALFORMED, "text after line 4"},
        Tampering{"unknown algorithm", "", [](auto&, auto& sig, auto&) { set_algorithm(sig, "EX"); },
                  SIGNATURE_MALFORMED, "unknown signature algorithm"},
        Tampering{"hashed signature called legacy", "",
                  [](auto&, auto& sig, auto&) { set_algorithm(sig, "Ed"); }, SIGNATURE_NO_MATCH,
                  "does not match"},
        Tampering{"missing", "", [](auto&, auto& sig, auto&) { unlink(sig.c_str()); },
                  SIGNATURE_MISSING, "is missing"},
        Tampering{"manifest missing", "", [](auto& file, auto&, auto&) { unlink(file.c_str()); },
                  SIGNATURE_UNREADABLE, "can't open"}),
    [](const ::testing::TestParamInfo<Tampering>& info) {
      std::string name;
      for (const char* c = info.param.name; *c; ++c) name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
      return name;
    });

TEST_F(SignatureTest, KeysAreReadAsMinisignWritesThemAndNamedByTheirId) {
  std::string text;
  sign("B");
  EXPECT_EQ(SIGNATURE_OTHER_KEY, check(&text));
  EXPECT_EQ(sig + " was made with key " + id_of(*keys / "B.pub") +
                ", not with the publisher's key " + id_of(*keys / "A.pub"),
            text);
  // The key line alone is a key file too, and parses to the same key.
  PublisherKey from_line;
  std::string why, line = minisign_key_line(*keys / "A.pub");
  write_file(dir / "line.pub", line + "\n");
  ASSERT_EQ(0, publisher_key_read(dir / "line.pub", &from_line, &why)) << why;
  EXPECT_EQ(0, memcmp(&from_line, &key, sizeof key));
  for (const std::string& bad : {std::string(), line.substr(0, 55), line + "A", "RU" + line.substr(2),
                                 sig_lines(*keys / "A.key")[1]})
    EXPECT_EQ(-1, publisher_key_parse(bad, &from_line, &why)) << bad;
  write_file(dir / "two.pub", read_file(*keys / "A.pub") + line + "\n");
  EXPECT_EQ(-1, publisher_key_read(dir / "two.pub", &from_line, &why));
}

// A signature file that goes on and on is refused after SIGNATURE_FILE_MAX + 1
// bytes: the writer of this pipe never ends it until the check has returned.
TEST_F(SignatureTest, OversizedSignatureIsRefusedWithoutReadingItAll) {
  write_file(file, kManifest);
  ASSERT_EQ(0, mkfifo(sig.c_str(), 0600));
  std::atomic<bool> checked{false}, closed{false};
  std::thread writer([&] {
    int fd = open(sig.c_str(), O_WRONLY);
    std::string block(2 * SIGNATURE_FILE_MAX, '#');
    if (fd >= 0 && write(fd, block.data(), block.size()) > 0)
      for (int i = 0; i < 500 && !checked; ++i) usleep(10000);
    closed = true;
    if (fd >= 0) close(fd);
  });
  std::string text;
  SignatureVerdict verdict = check(&text);
  bool before_end = !closed;
  checked = true;
  writer.join();
  EXPECT_EQ(SIGNATURE_TOO_LARGE, verdict) << text;
  EXPECT_TRUE(before_end);
}

}  // namespace
