#include "repo_build.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "repo_layout.h"
#include "repo_names.h"
#include "repo_report.h"
#include "repo_tree.h"
#include "support/paths.h"
#include "support/sha256.h"
#include "zip_write.h"

namespace {

// The installer reads lines of at most 1022 characters.
const size_t MAX_LINE = 1022;

// hashes: the SHA-256 of each archive, in the order of archives.
std::string manifest_text(const std::vector<ArchivePlan>& archives, const std::string& base,
                          const std::vector<std::string>& hashes) {
  std::string text =
      "# Quorvin download repository, written by quorvin-repo.\n"
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

int check_lines(const std::vector<ArchivePlan>& archives, const std::string& base) {
  for (const ArchivePlan& a : archives) {
    if (2 + base.size() + a.name.size() > MAX_LINE || 2 + a.dest_subdir.size() > MAX_LINE ||
        2 + a.check_path.size() > MAX_LINE) {
      repo_error("%s: a manifest line of its entry would exceed %u characters", a.folder.c_str(),
                 static_cast<unsigned>(MAX_LINE));
      return -1;
    }
  }
  return 0;
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

// Only a folder that is empty or holds a manifest is ever replaced.
int check_replaceable(const std::string& out) {
  int kind = plat_path_kind(out.c_str());
  if (kind == PLAT_KIND_NONE) return 0;
  if (kind != PLAT_KIND_DIR) {
    repo_error("%s: exists and is not a folder", out.c_str());
    return -1;
  }
  std::vector<std::string> names;
  if (plat_list_dir(out.c_str(), names) != 0) {
    repo_error("%s: cannot read this folder", out.c_str());
    return -1;
  }
  if (!names.empty() && !plat_exists(path_join(out, "filelist.txt").c_str())) {
    repo_error("%s: not empty and holds no filelist.txt; refusing to replace it", out.c_str());
    return -1;
  }
  return 0;
}

int write_all(const std::string& dir, const std::vector<ArchivePlan>& archives,
              const std::string& base) {
  if (plat_mkdir(dir.c_str()) != 0) {
    repo_error("%s: cannot create the folder", dir.c_str());
    return -1;
  }
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
  return write_text(path_join(dir, "filelist.txt"), manifest_text(archives, base, hashes));
}

// Moves the finished folder over out, keeping the old one until it is in place.
int move_into_place(const std::string& partial, const std::string& out) {
  if (plat_path_kind(out.c_str()) == PLAT_KIND_NONE) {
    if (plat_rename_replace(partial.c_str(), out.c_str()) == 0) return 0;
    repo_error("%s: cannot move %s there", out.c_str(), partial.c_str());
    return -1;
  }
  std::string old = out + ".old";
  tree_remove(old);
  if (plat_rename_replace(out.c_str(), old.c_str()) != 0) {
    repo_error("%s: cannot move the previous repository aside to %s", out.c_str(), old.c_str());
    return -1;
  }
  if (plat_rename_replace(partial.c_str(), out.c_str()) != 0) {
    plat_rename_replace(old.c_str(), out.c_str());
    repo_error("%s: cannot move %s there", out.c_str(), partial.c_str());
    return -1;
  }
  if (tree_remove(old) != 0) repo_error("%s: could not remove the previous repository", old.c_str());
  return 0;
}

}  // namespace

int repo_build(const std::string& source, const std::string& out_arg, const std::string& base_arg) {
  std::string base = base_arg;
  if (base.empty() || base.back() != '/') base += '/';
  if (const char* why = publish_url_refusal(base + "archive.zip")) {
    repo_error("--base-url %s: %s", base_arg.c_str(), why);
    return -1;
  }
  std::string out = out_arg;
  while (out.size() > 1 && is_sep(out.back())) out.pop_back();
  if (out.empty()) {
    repo_error("no output folder given");
    return -1;
  }

  std::vector<ArchivePlan> archives;
  if (layout_read(source, archives) != 0 || check_lines(archives, base) != 0 ||
      check_replaceable(out) != 0)
    return -1;

  std::string parent = path_dir(out);
  if (parent != out && make_dirs(parent) != 0) {
    repo_error("%s: cannot create the folder", parent.c_str());
    return -1;
  }
  std::string partial = out + ".partial";
  if (tree_remove(partial) != 0) {
    repo_error("%s: a leftover of an earlier build that cannot be removed", partial.c_str());
    return -1;
  }
  if (write_all(partial, archives, base) != 0 || move_into_place(partial, out) != 0) {
    tree_remove(partial);
    return -1;
  }
  repo_note("%s: %u archives and filelist.txt", out.c_str(),
            static_cast<unsigned>(archives.size()));
  return 0;
}
