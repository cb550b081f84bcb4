// Signatures made by the real minisign tool, checked as they are and tampered
// with (the tamperings of a whole run are the Wine end-to-end cases).
#include "rules/signature.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sodium/utils.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "install/publisher.h"
#include "testkit/testkit.h"

namespace {

// Keys A (the publisher's) and B, made once.
class SignatureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    keys = new TempDir;
    ready = have_minisign() && minisign(keys->path(), "-G -W -p A.pub -s A.key") &&
            minisign(keys->path(), "-G -W -p B.pub -s B.key");
  }
  static void TearDownTestSuite() { delete keys; }
  void SetUp() override {
    if (!ready) GTEST_SKIP() << "minisign is not installed";
    std::string why;
    ASSERT_EQ(0, publisher_key_read(*keys / "A.pub", &key, &why)) << why;
  }
  // Writes the manifest and signs it as minisign -S does with these flags.
  void sign(const std::string& flags) {
    write_file(file, "v:\nu:http://h/a.zip\ne:a\n");
    ASSERT_TRUE(minisign(dir.path(), "-S -s '" + (*keys / "A.key") + "' " + flags + " -m filelist.txt"));
  }
  static TempDir* keys;
  static bool ready;
  TempDir dir;
  std::string file = dir / "filelist.txt";
  std::string sig = file + ".minisig";
  PublisherKey key;
};
TempDir* SignatureTest::keys = nullptr;
bool SignatureTest::ready = false;

void put_lines(const std::string& path, const std::vector<std::string>& lines, const char* end) {
  std::string text;
  for (const std::string& l : lines) text += l + end;
  write_file(path, text);
}

struct Tampering {
  const char* name;
  const char* flags;  // of minisign -S
  void (*edit)(const std::string& file, const std::string& sig);
  SignatureVerdict verdict;
  const char* says;  // part of the sentence
};

class SignatureTampering : public SignatureTest, public ::testing::WithParamInterface<Tampering> {};

TEST_P(SignatureTampering, Verdict) {
  sign(GetParam().flags);
  if (GetParam().edit) GetParam().edit(file, sig);
  std::string text;
  EXPECT_EQ(GetParam().verdict, signature_check(file, sig, key, &text)) << text;
  EXPECT_NE(text.find(GetParam().says), std::string::npos) << text;
}

void pad_to(const std::string& sig, size_t size) {
  std::string s = read_file(sig);
  write_file(sig, s + std::string(size - s.size(), '\n'));
}

// The signature line written back with another algorithm, still valid base64.
void set_algorithm(const std::string& sig, char second) {
  std::vector<std::string> lines = split_lines(read_file(sig));
  unsigned char raw[74];
  size_t got = 0;
  sodium_base642bin(raw, sizeof raw, lines[1].data(), lines[1].size(), nullptr, &got, nullptr,
                    sodium_base64_VARIANT_ORIGINAL);
  raw[1] = static_cast<unsigned char>(second);
  char b64[128];
  lines[1] = sodium_bin2base64(b64, sizeof b64, raw, sizeof raw, sodium_base64_VARIANT_ORIGINAL);
  put_lines(sig, lines, "\n");
}

// Both comments near the longest minisign writes (4077 bytes each).
const std::string kLongComments = "-c " + std::string(4000, 'u') + " -t " + std::string(4000, 't');

INSTANTIATE_TEST_SUITE_P(
    Signatures, SignatureTampering,
    ::testing::Values(
        Tampering{"hashed", "", nullptr, SIGNATURE_GOOD, "good signature by key"},
        Tampering{"legacy", "-l", nullptr, SIGNATURE_GOOD, "good signature by key"},
        Tampering{"legacy_byte_changed", "-l",
                  [](auto& f, auto&) { write_file(f, read_file(f) + " "); }, SIGNATURE_NO_MATCH,
                  "does not match"},
        Tampering{"crlf", "", [](auto&, auto& s) { put_lines(s, split_lines(read_file(s)), "\r\n"); },
                  SIGNATURE_GOOD, "trusted comment: timestamp:"},
        Tampering{"at_the_limit", "", [](auto&, auto& s) { pad_to(s, SIGNATURE_FILE_MAX); },
                  SIGNATURE_GOOD, "good signature"},
        Tampering{"one_byte_over", "", [](auto&, auto& s) { pad_to(s, SIGNATURE_FILE_MAX + 1); },
                  SIGNATURE_TOO_LARGE, "is larger than 16384 bytes"},
        Tampering{"longest_comments", kLongComments.c_str(), nullptr, SIGNATURE_GOOD, "trusted comment: ttt"},
        Tampering{"no_untrusted_comment", "",
                  [](auto&, auto& s) { write_file(s, read_file(s).substr(read_file(s).find('\n') + 1)); },
                  SIGNATURE_MALFORMED, "line 1 is not an untrusted comment"},
        Tampering{"text_after", "", [](auto&, auto& s) { write_file(s, read_file(s) + "\nmore\n"); },
                  SIGNATURE_MALFORMED, "text after line 4"},
        Tampering{"unknown_algorithm", "", [](auto&, auto& s) { set_algorithm(s, 'X'); },
                  SIGNATURE_MALFORMED, "unknown signature algorithm"},
        Tampering{"hashed_read_as_legacy", "", [](auto&, auto& s) { set_algorithm(s, 'd'); },
                  SIGNATURE_NO_MATCH, "does not match"},
        Tampering{"missing", "", [](auto&, auto& s) { unlink(s.c_str()); }, SIGNATURE_MISSING,
                  "is missing"}),
    [](const ::testing::TestParamInfo<Tampering>& info) { return std::string(info.param.name); });

// A publisher moving to a new key ships installers that trust both: a
// signature by either is good and the success names the one; the refusal of
// another names every key trusted. The built-in list separates them with ';'.
TEST_F(SignatureTest, AnyOfSeveralKeysMaySign) {
  write_file(file, "list\n");
  ASSERT_TRUE(minisign(dir.path(), "-S -s '" + (*keys / "B.key") + "' -m filelist.txt"));
  PublisherKey b;
  std::string text;
  ASSERT_EQ(0, publisher_key_read(*keys / "B.pub", &b, &text)) << text;
  EXPECT_EQ(SIGNATURE_GOOD, signature_check(file, sig, std::vector<PublisherKey>{key, b}, &text)) << text;
  EXPECT_NE(text.find("good signature by key " + key_id_text(b.id)), std::string::npos) << text;
  EXPECT_EQ(SIGNATURE_OTHER_KEY, signature_check(file, sig, std::vector<PublisherKey>{key, key}, &text));
  EXPECT_NE(text.find(", not with any of the publisher's keys " + key_id_text(key.id) + ", " + key_id_text(key.id)),
            std::string::npos) << text;
  std::string both = minisign_key_line(*keys / "A.pub") + ";" + minisign_key_line(*keys / "B.pub");
  const char* before = publisher_key;
  publisher_key = both.c_str();
  LogCapture log;
  EXPECT_EQ(0, publisher_check_manifest(nullptr, file, file));
  publisher_key = (both = minisign_key_line(*keys / "A.pub") + ";RWnot-a-key").c_str();
  EXPECT_EQ(-1, publisher_check_manifest(nullptr, file, file));
  publisher_key = before;
  auto lines = log.lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_NE(lines[0].find("good signature by key " + key_id_text(b.id)), std::string::npos) << lines[0];
  EXPECT_EQ(0u, lines[1].find("signature_check: the built-in publisher key is ")) << lines[1];
}

// The key id in the sentence is the one minisign prints in the key's comment.
TEST_F(SignatureTest, KeysAreReadAsMinisignWritesThem) {
  write_file(file, "list\n");
  ASSERT_TRUE(minisign(dir.path(), "-S -s '" + (*keys / "B.key") + "' -m filelist.txt"));
  auto id = [](const std::string& pub) {
    std::string comment = split_lines(read_file(pub))[0];
    return comment.substr(comment.rfind(' ') + 1);
  };
  std::string text;
  EXPECT_EQ(SIGNATURE_OTHER_KEY, signature_check(file, sig, key, &text));
  EXPECT_EQ(sig + " was made with key " + id(*keys / "B.pub") + ", not with the publisher's key " +
                id(*keys / "A.pub"),
            text);
  PublisherKey from_line;
  std::string why, line = minisign_key_line(*keys / "A.pub");
  ASSERT_EQ(0, publisher_key_parse(line, &from_line, &why)) << why;
  EXPECT_EQ(0, memcmp(&from_line, &key, sizeof key));
  for (const std::string& bad : {std::string(), line.substr(0, 55), line + "A", "RU" + line.substr(2),
                                 split_lines(read_file(*keys / "A.key"))[1]})
    EXPECT_EQ(-1, publisher_key_parse(bad, &from_line, &why)) << bad;
}

// A signature file that goes on and on is refused after SIGNATURE_FILE_MAX + 1
// bytes: the writer of this pipe does not end it before the check has returned.
TEST_F(SignatureTest, OversizedSignatureIsRefusedWithoutReadingItAll) {
  write_file(file, "list\n");
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
  EXPECT_EQ(SIGNATURE_TOO_LARGE, signature_check(file, sig, key, &text)) << text;
  EXPECT_FALSE(closed);
  checked = true;
  writer.join();
}

// The trusted comment dates the list: one without a timestamp, past its expiry,
// too old without one, or older than a list this download directory accepted
// before or the install directory was installed from is refused, and a refused
// list never takes the place of the last good one.
TEST_F(SignatureTest, DatesInTheTrustedCommentRefuseOldAndReplayedLists) {
  const int64_t now = 2000000000, day = 86400;
  auto at = [&](int64_t t) { return std::to_string(t); };
  struct Step {
    std::string comment;  // minisign -t
    bool accepted;
    const char* says;     // the start of the refusal's line, after "signature_check: "
    int64_t installed = 0;  // the newest list installed in the install directory
  };
  const Step steps[] = {
      {"timestamp:" + at(now - 300 * day), true, ""},
      {"file:filelist.txt", false, "the trusted comment gives no timestamp"},
      {"timestamp:" + at(now - 400 * day), false, "the list was signed at 2032-04-13 03:33:20 UTC, more than 365 days ago"},
      {"timestamp:" + at(now - 10) + "\texpires:" + at(now - 1), false, "the list expired at 2033-05-18 03:33:19 UTC"},
      {"timestamp:12x\texpires:" + at(now + day), false, "the trusted comment's timestamp is not one number"},
      {"timestamp:" + at(now - 10) + " expires:" + at(now + day), true, ""},
      {"timestamp:" + at(now - 10) + " expires:" + at(now + day), true, ""},  // the same again
      {"timestamp:" + at(now - 20) + " expires:" + at(now + day), false,
       "the list was signed at 2033-05-18 03:33:00 UTC, before the one accepted here (signed at 2033-05-18 03:33:10 UTC)"},
      // Newer than this download directory's, older than what is installed.
      {"timestamp:" + at(now - 9) + " expires:" + at(now + day), false,
       "the list was signed at 2033-05-18 03:33:11 UTC, before the newest one installed in the install directory "
       "(signed at 2033-05-18 03:33:19 UTC)", now - 1},
  };
  const std::string key_line = minisign_key_line(*keys / "A.pub");
  const char* before = publisher_key;
  publisher_key = key_line.c_str();
  publisher_clock = [] { return int64_t{2000000000}; };
  std::string fetched = file + ".new", last_good;
  for (const Step& step : steps) {
    std::string text = "list " + step.comment + "\n";
    write_file(fetched, text);
    ASSERT_TRUE(minisign(dir.path(), "-S -s '" + (*keys / "A.key") + "' -m filelist.txt.new -t '" +
                                         step.comment + "'"));
    LogCapture log;
    EXPECT_EQ(publisher_check_manifest(nullptr, fetched, file, step.installed), step.accepted ? 0 : -1) << step.comment;
    if (step.accepted) last_good = text;
    EXPECT_EQ(read_file(file), last_good) << step.comment;
    EXPECT_FALSE(access(fetched.c_str(), F_OK) == 0 || access((fetched + ".minisig").c_str(), F_OK) == 0);
    auto lines = log.lines();
    if (!step.accepted) {
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(0u, lines.back().find(std::string("signature_check: ") + step.says)) << lines.back();
    }
  }
  publisher_key = before;
  publisher_clock = [] { return static_cast<int64_t>(time(nullptr)); };
  EXPECT_EQ(read_file(file + ".timestamp"), at(now - 10) + "\n");
}

}  // namespace
