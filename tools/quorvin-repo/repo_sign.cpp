#include "repo_sign.h"

#include <ctime>
#include <vector>

#include "platform/platform.h"
#include "quorvin_config.h"
#include "repo_manifest.h"
#include "repo_report.h"
#include "rules/signature.h"
#include "support/paths.h"

namespace {
const long long DAY = 86400;
const char TRUSTED_PREFIX[] = "trusted comment: ";
}  // namespace

int repo_expiry_days(const std::string& text) {
  std::string digits = !text.empty() && text.back() == 'd' ? text.substr(0, text.size() - 1) : text;
  if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  int days = std::stoi(digits);
  return days >= 1 && days <= 3650 ? days : -1;
}

int repo_sign(const std::string& dir, const std::string& key_path, int expires_days) {
  std::string manifest = path_join(dir, MANIFEST_NAME);
  if (plat_path_kind(manifest.c_str()) != PLAT_KIND_FILE)
    return repo_error("sign: %s is missing; build the repository first", manifest.c_str());
  if (plat_path_kind(key_path.c_str()) != PLAT_KIND_FILE)
    return repo_error("sign: the secret key %s is missing (minisign -G makes one)", key_path.c_str());
  // minisign's own timestamp field, and the expiry an installer holds it to.
  long long now = static_cast<long long>(std::time(nullptr));
  std::string comment = "timestamp:" + std::to_string(now) + "\tfile:" + MANIFEST_NAME +
                        "\texpires:" + std::to_string(now + expires_days * DAY);
  int code = plat_run_program({"minisign", "-S", "-s", key_path, "-m", manifest, "-t", comment});
  if (code == -1) return repo_error("sign: minisign could not be started; install it (apt-get install minisign)");
  if (code != 0) return repo_error("sign: minisign failed (exit code %d); %s was not signed", code, manifest.c_str());
  std::string text;
  repo_judge_dates(comment, &text);
  repo_note("%s: %s", path_join(dir, SIGNATURE_NAME).c_str(), text.c_str());
  return 0;
}

int repo_judge_dates(const std::string& comment, std::string* text) {
  SignedDates dates;
  std::string why;
  if (signed_dates(comment, &dates, &why) != 0) {
    *text = "an installer refuses it: " + why;
    return -1;
  }
  if (!dates.has_timestamp) {
    *text = "an installer refuses it: its trusted comment gives no timestamp (sign it with quorvin-repo sign)";
    return -1;
  }
  long long now = static_cast<long long>(std::time(nullptr));
  std::string signed_at = "signed at " + utc_text(dates.timestamp);
  if (dates.has_expires) {
    *text = signed_at + (dates.expires < now ? ", expired at " : ", expires at ") + utc_text(dates.expires);
    if (dates.expires < now) *text = "an installer refuses it: " + *text + " (sign it again)";
    return dates.expires < now ? -1 : 0;
  }
  long long last = dates.timestamp + QUORVIN_MANIFEST_MAX_AGE_DAYS * DAY;
  *text = signed_at + ", no expiry: taken until " + utc_text(last);
  if (last < now) *text = "an installer refuses it: " + *text + " (sign it again)";
  return last < now ? -1 : 0;
}

std::string repo_trusted_comment(const std::string& sig_path) {
  std::string data;
  if (read_whole_file(sig_path, &data, SIGNATURE_FILE_MAX) != 0) return std::string();
  size_t at = data.find(std::string("\n") + TRUSTED_PREFIX);
  if (at == std::string::npos) return std::string();
  at += sizeof TRUSTED_PREFIX;  // the line feed and the prefix, whose NUL counts for the line feed
  std::string line = data.substr(at, data.find('\n', at) - at);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}
