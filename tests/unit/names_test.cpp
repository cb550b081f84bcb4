#include "rules/names.h"
#include "rules/urls.h"

#include <gtest/gtest.h>

#include <string>

namespace {

enum Kind { Member, Relative, Archive, Url };

struct NameCase {
  Kind kind;
  std::string name;
  bool ok;
};

const char* refusal(const NameCase& c) {
  switch (c.kind) {
    case Member: return member_name_refusal(c.name);
    case Relative: return relative_path_refusal(c.name);
    case Archive: return archive_name_refusal(c.name);
    default: return url_refusal(c.name);
  }
}

// What may come from a manifest or an archive, and what must never reach the disk.
TEST(Names, OnlyPlainNamesThatStayInsideTheirDirectoryPass) {
  const NameCase cases[] = {
      {Member, "a.txt", true}, {Member, "a/b/c", true}, {Member, "a\\b", true}, {Member, "..a", true},
      {Member, "a/..b/c", true}, {Member, "./x", true}, {Member, "a/./b", true}, {Member, "dir/", true},
      {Member, "console.txt", true}, {Member, "com10", true}, {Member, "lpt", true},
      {Member, "..", false}, {Member, "../", false}, {Member, "a/..", false}, {Member, "a\\..\\b", false},
      {Member, "/a", false}, {Member, "\\a", false}, {Member, "c:\\a", false}, {Member, "a:b", false},
      {Member, "...", false}, {Member, ". .", false}, {Member, "a/.../b", false}, {Member, "", false},
      {Member, std::string(256, 'n'), false}, {Member, std::string("a\0b", 3), false},
      {Member, "NUL", false}, {Member, "aux", false}, {Member, "d/COM1", false}, {Member, "con.txt", false},
      {Member, "LpT9.dat/x", false}, {Member, "conout$", false}, {Member, "COM0", false},
      {Member, "lpt0.txt", false}, {Member, "COM\xb9", false}, {Member, "d/lpt\xb3.log", false},
      {Member, "Com\xc2\xb2.txt", false}, {Member, "com\xb4", true}, {Member, "a.", false}, {Member, "b /c", false},
      {Member, "tab\there", false}, {Member, "what?", false}, {Member, "a<b", false},
      {Member, "Quorvin-Receipt.TXT", false}, {Member, "d/quorvin-receipt.txt.part", false},
      {Member, "quorvin-receipt.txt.old", true}, {Relative, "app\\QUORVIN-receipt.txt", false},
      {Relative, "tavelin", true}, {Relative, "games\\tav", true}, {Relative, "games/tav/", true},
      {Relative, "bin/tav.exe", true}, {Relative, "", true},
      {Relative, "..\\..\\outside", false}, {Relative, "a/../../b", false}, {Relative, "\\abs", false},
      {Relative, "/abs", false}, {Relative, "C:", false}, {Relative, "x/C:/y", false}, {Relative, "nul", false},
      {Archive, "tavelin.zip", true}, {Archive, "a b.zip", true}, {Archive, "v1.0.zip", true},
      {Archive, "", false}, {Archive, ".", false}, {Archive, "..", false}, {Archive, "..\\planted.zip", false},
      {Archive, "x\\y.zip", false}, {Archive, "c:x.zip", false}, {Archive, "a\rb.zip", false},
      {Archive, "CON.zip", false}, {Archive, "a.zip.", false}, {Archive, "filelist.txt", false},
      {Archive, "FileList.TXT.minisig", false}, {Archive, "a.zip.part", false}, {Archive, "a.zip.Installing", false},
      {Url, "http://h/p/a.zip", true}, {Url, "http://h/a b.zip", false}, {Url, "http://h/a\r\nX: y", false},
  };
  for (const NameCase& c : cases) {
    const char* why = refusal(c);
    EXPECT_EQ(c.ok, why == nullptr) << "kind " << c.kind << " \"" << c.name << "\": " << (why ? why : "passed");
  }
}

}  // namespace
