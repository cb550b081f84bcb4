#include "repo_build.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "repo_check.h"
#include "repo_layout.h"
#include "repo_manifest.h"
#include "repo_names.h"
#include "repo_output.h"
#include "repo_report.h"
#include "repo_tree.h"
#include "support/paths.h"
#include "support/sha256.h"
#include "zip_write.h"

namespace {

// hashes: the SHA-256 of each archive, in the order of archives.
std::string manifest_text(const std::vector<ArchivePlan>& archives, const std::string& base,
                          const std::vector<std::string>& hashes) {
  std::string text = MANIFEST_HEADER;
  text +=
      "# v: variant (t, m, p, w; nothing: every variant), u: archive URL, h: its SHA-256,\n"
      "# d: subfolder of the install directory, e: path that exists once installed.\n";
  int group = -1;
  for (size_t i = 0; i < archives.size(); ++i) {
    const ArchivePlan& a = archives[i];
    if (a.group != group) {
      group = a.group;
      text += "\n# ";
      text += variant_groups[group].caption;
      text += "\n";
    }
    text += "\nv:" + std::string(variant_groups[a.group].letter) + "\n";
    text += "u:" + base + a.name + "\n";
    text += "h:" + hashes[i] + "\n";
    if (!a.dest_subdir.empty()) text += "d:" + a.dest_subdir + "\n";
    text += "e:" + a.check_path + "\n";
  }
  return text;
}

// The manifest's entries meet the rules check applies, in check's words.
int check_entries(const std::vector<ArchivePlan>& archives, const std::string& base) {
  EntrySeen seen;
  std::string marker;
  int result = 0;
  for (const ArchivePlan& a : archives)
    if (entry_rules(a.folder, base + a.name, a.dest_subdir.c_str(), a.check_path.c_str(), seen,
                    marker, "rename the archive folder") != 0)
      result = -1;
  return result;
}

int write_text(const std::string& path, const std::string& text) {
  // Binary: LF line ends on every system; the installer folds CR LF anyway.
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) {
    repo_error("%s: cannot open for writing: %s", path.c_str(), std::strerror(errno));
    return -1;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  ok = std::fclose(out) == 0 && ok;
  if (!ok) repo_error("%s: writing failed", path.c_str());
  return ok ? 0 : -1;
}

int write_all(const std::string& dir, const std::vector<ArchivePlan>& archives,
              const std::string& base) {
  std::vector<std::string> hashes;
  for (const ArchivePlan& a : archives) {
    std::string path = path_join(dir, a.name);
    if (zip_write(path, a.items) != 0) return -1;
    hashes.emplace_back();
    if (sha256_file(path, &hashes.back()) != 0) {
      repo_error("%s: cannot read it back for its SHA-256", path.c_str());
      return -1;
    }
    repo_note("%s: %u entries from %s", a.name.c_str(), static_cast<unsigned>(a.items.size()),
              a.folder.c_str());
  }
  if (write_text(path_join(dir, MANIFEST_NAME), manifest_text(archives, base, hashes)) != 0) return -1;
  // What check would refuse is never published.
  if (repo_check_written(dir) != 0) {
    repo_error("%s: the repository just written would not pass check; nothing was replaced",
               dir.c_str());
    return -1;
  }
  return 0;
}

// The outermost folder of path that does not exist yet; empty when it does.
std::string first_missing(const std::string& path) {
  std::string missing;
  for (std::string at = path; !at.empty() && plat_path_kind(at.c_str()) == PLAT_KIND_NONE;) {
    missing = at;
    std::string up = path_dir(at);
    if (up == at) break;
    at = up;
  }
  return missing;
}

// What a URL can be yet not be a base for archives: the URL of a file, such as
// the manifest's (which the installer is built with), or a server's own
// listening address.
const char* base_url_refusal(const std::string& base) {
  std::string path = base.substr(0, base.size() - 1);
  std::string last = fold_case(path.substr(path.rfind('/') + 1));
  if (last == MANIFEST_NAME || last == SIGNATURE_NAME)
    return "names the manifest; the base URL is the folder that holds it and the archives "
           "(without /filelist.txt)";
  if (last.size() > 4 && last.compare(last.size() - 4, 4, ".zip") == 0)
    return "names an archive; the base URL is the folder that holds the archives";
  return nullptr;
}

std::string name_list(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size() && i < 5; ++i) text += (i ? ", " : "") + names[i];
  if (names.size() > 5) text += " and " + std::to_string(names.size() - 5) + " more";
  return text;
}

}  // namespace

int repo_build(const std::string& source, const std::string& out_arg, const std::string& base_arg) {
  std::string base = base_arg;
  if (base.empty() || base.back() != '/') base += '/';
  const char* why = fetchable_url_refusal(base + "archive.zip");
  if (!why) why = base_url_refusal(base);
  if (why) {
    repo_error("--base-url %s: %s", base_arg.c_str(), why);
    return -1;
  }
  std::string out = out_arg;
  while (out.size() > 1 && is_sep(out.back())) out.pop_back();
  if (out.empty()) {
    repo_error("no output folder given");
    return -1;
  }

  if (plat_path_kind(source.c_str()) == PLAT_KIND_DIR && path_inside(out, source)) {
    repo_error("%s: lies inside the source folder %s, so the next build would pack this "
               "repository too; build outside it", out.c_str(), source.c_str());
    return -1;
  }
  if (plat_path_kind(out.c_str()) == PLAT_KIND_DIR && path_inside(source, out)) {
    repo_error("%s: lies inside the output folder %s, so it would be published with the "
               "repository; move it out", source.c_str(), out.c_str());
    return -1;
  }
  std::vector<ArchivePlan> archives;
  if (layout_read(source, archives) != 0 || check_entries(archives, base) != 0) return -1;
  std::vector<std::string> names;
  for (const ArchivePlan& a : archives) names.push_back(a.name);
  OutputFolder folder;
  if (output_prepare(out, names, folder) != 0) return -1;

  std::string parent = path_dir(out), made = first_missing(parent);
  if (parent != out && !parent.empty() && make_dirs(parent) != 0) {
    repo_error("%s: cannot create the folder", parent.c_str());
    return -1;
  }
  if (output_stage(folder, names) != 0 || write_all(folder.partial, archives, base) != 0) {
    output_discard(folder);
    // A failed build leaves nothing behind, not even the folders made for it.
    for (std::string at = parent; !made.empty() && plat_rmdir(at.c_str()) == 0 && at != made;)
      at = path_dir(at);
    return -1;
  }
  if (output_commit(folder, names) != 0) return -1;
  if (!folder.kept.empty())
    repo_note("%s: kept %s (not written by quorvin-repo)", out.c_str(),
              name_list(folder.kept).c_str());
  repo_note("%s: %u archives and %s", out.c_str(), static_cast<unsigned>(archives.size()),
            MANIFEST_NAME);
  return 0;
}
