#include "repo_cli.h"

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "quorvin_version.h"
#include "repo_build.h"
#include "repo_check.h"
#include "repo_diff.h"
#include "repo_list.h"
#include "repo_manifest.h"
#include "repo_report.h"
#include "repo_sign.h"
#include "support/paths.h"

namespace {

const char* const HELP =
    "usage: quorvin-repo build SRC OUT --base-url URL\n"
    "       quorvin-repo check DIR [--fetch] [--key minisign.pub]\n"
    "       quorvin-repo sign DIR --key minisign.key [--expires 90d]\n"
    "       quorvin-repo list DIR\n"
    "       quorvin-repo diff OLD NEW\n"
    "       quorvin-repo --help | --version\n"
    "\n"
    "build  packs every archive folder of SRC into OUT with OUT/filelist.txt; the\n"
    "       archives will be served at URL/NAME.zip. Files in OUT that no build\n"
    "       wrote are kept.\n"
    "check  reads DIR/filelist.txt and every archive as the installer would;\n"
    "       --fetch also downloads each u: and compares it with the local file;\n"
    "       --key also proves that DIR/filelist.txt.minisig signs the list with\n"
    "       that key, that its dates are ones an installer takes, and that every\n"
    "       entry has h:, as an installer built with the key demands.\n"
    "sign   signs DIR/filelist.txt with minisign and that secret key; the\n"
    "       signature gives the time of signing and an expiry (default 90 days),\n"
    "       after which installers refuse the list: sign again before then.\n"
    "list   shows what a user of each variant downloads and installs.\n"
    "diff   shows what a user of each variant who installed from the repository\n"
    "       OLD gets from NEW: archives to download (new ones and updates), and\n"
    "       the files the updates remove (those still as installed).\n"
    "\n"
    "SRC holds all/, tavelin/, mirrel/, pelquin/ and wendrel/, each with one folder\n"
    "per archive; an archive folder may hold archive.ini with 'd = subfolder' and\n"
    "'e = path installed by it' (relative to the archive folder).\n"
    "Exit code: 0 done, 1 a problem found, 2 a wrong command line.\n";

const char* const COMMANDS = "build, check, sign, list and diff";

int usage_error(const std::string& message) {
  repo_error("%s (quorvin-repo --help)", message.c_str());
  return 2;
}

}  // namespace

int repo_main(int argc, char** argv) {
  repo_report_reset();
  // Paths are UTF-8 from here on; the command line comes in the ANSI code page on Windows.
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(plat_ansi_to_utf8(argv[i]));
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h" || a == "-?") {
      std::fputs(HELP, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("quorvin-repo %s\n", QUORVIN_VERSION);
      return 0;
    }
  }
  if (args.empty())
    return usage_error(std::string("no command given; the commands are ") + COMMANDS);
  std::string command = args[0];
  args.erase(args.begin());
  if (command == "help") {
    std::fputs(HELP, stdout);
    return 0;
  }
  if (command != "build" && command != "check" && command != "sign" && command != "list" && command != "diff")
    return usage_error("unknown command " + command + "; the commands are " + COMMANDS);
  std::vector<std::string> positional;
  std::string base, key;
  int expires_days = 90;
  bool have_base = false, fetch = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (command == "build" && (a == "--base-url" || a.compare(0, 11, "--base-url=") == 0)) {
      if (a == "--base-url" && i + 1 >= args.size())
        return usage_error("build: --base-url needs a value, e.g. --base-url "
                           "http://downloads.example/quorvin");
      base = a == "--base-url" ? args[++i] : a.substr(11);
      have_base = true;
    } else if (command == "check" && a == "--fetch") {
      fetch = true;
    } else if ((command == "check" || command == "sign") && (a == "--key" || a.compare(0, 6, "--key=") == 0)) {
      const std::string file = command == "check" ? "the publisher's public key file, e.g. --key minisign.pub"
                                                  : "the publisher's secret key file, e.g. --key minisign.key";
      if (a == "--key" && i + 1 >= args.size()) return usage_error(command + ": --key needs " + file);
      key = a == "--key" ? args[++i] : a.substr(6);
      if (key.empty()) return usage_error(command + ": --key needs " + file);
    } else if (command == "sign" && (a == "--expires" || a.compare(0, 10, "--expires=") == 0)) {
      std::string value = a == "--expires" ? (i + 1 < args.size() ? args[++i] : "") : a.substr(10);
      expires_days = repo_expiry_days(value);
      if (expires_days < 0)
        return usage_error("sign: --expires wants a number of days from 1 to 3650, e.g. --expires 90d");
    } else if (!a.empty() && a[0] == '-') {
      return usage_error(command + ": unknown option " + a);
    } else {
      positional.push_back(a);
    }
  }
  if (command == "build") {
    if (positional.size() == 3 && !have_base && positional[2].find("://") != std::string::npos)
      return usage_error("build: " + positional[2] + " looks like the base URL; give it as "
                         "--base-url " + positional[2]);
    if (positional.size() != 2)
      return usage_error(positional.size() < 2 ? "build: needs SRC and OUT"
                                               : "build: takes only SRC and OUT");
    if (!have_base || base.empty())
      return usage_error("build: --base-url is required: the address the archives will be served "
                         "from, e.g. --base-url http://downloads.example/quorvin");
    return repo_build(positional[0], positional[1], base) == 0 ? 0 : 1;
  }
  size_t folders = command == "diff" ? 2 : 1;
  if (positional.size() != folders) {
    if (command == "diff")
      return usage_error("diff: needs the repository folders OLD and NEW");
    return usage_error(command + (positional.empty() ? ": needs the repository folder DIR"
                                                     : ": takes one folder DIR"));
  }
  for (const std::string& dir : positional)
    if (plat_path_kind(dir.c_str()) == PLAT_KIND_FILE)
      return usage_error(command + ": " + dir + " is a file; give the folder that holds " + MANIFEST_NAME +
                         ", e.g. quorvin-repo " + command + " " + path_dir(dir));
  if (command == "diff") {
    std::string text;
    int result = repo_diff(positional[0], positional[1], text);
    std::fputs(text.c_str(), stdout);
    return result == 0 ? 0 : 1;
  }
  if (command == "check") return repo_check(positional[0], fetch, key) == 0 ? 0 : 1;
  if (command == "sign") {
    if (key.empty()) return usage_error("sign: --key is required: the publisher's secret key, e.g. --key minisign.key");
    return repo_sign(positional[0], key, expires_days) == 0 ? 0 : 1;
  }
  std::string text;
  int result = repo_list(positional[0], text);
  std::fputs(text.c_str(), stdout);
  return result == 0 ? 0 : 1;
}
