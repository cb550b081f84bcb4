// The wizard as start-up leaves it, on the headless window system, and the
// observations the page tests share.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "display/display.h"
#include "install/run.h"
#include "platform/headless/headless.h"
#include "resources/dialog_ids.h"
#include "test_server.h"
#include "testkit/testkit.h"
#include "wizard/pages.h"

// Every control's state, the title and the quit count: what a click may change.
struct UiSnapshot {
  struct Item {
    int id;
    bool visible, enabled, checked;
    std::string text;
    bool operator==(const Item& o) const {
      return id == o.id && visible == o.visible && enabled == o.enabled && checked == o.checked &&
             text == o.text;
    }
  };
  std::vector<Item> items;
  std::string title;
  int quits;
  static UiSnapshot take() {
    UiSnapshot s;
    for (int id : headless_control_ids())
      s.items.push_back({id, headless_visible(id), headless_enabled(id), headless_checked(id),
                         headless_text(id)});
    s.title = headless_text(0);
    s.quits = headless_quit_requests();
    return s;
  }
};

// The wizard's variables, compared as values.
struct WizardVars {
  int mode;
  std::vector<int> flags;
  std::string download, install;
  bool has_download, has_install;
  static WizardVars take() {
    return {install_mode,
            std::vector<int>(variant_flags, variant_flags + 4),
            download_directory ? download_directory : "",
            install_directory ? install_directory : "",
            download_directory != nullptr,
            install_directory != nullptr};
  }
  bool operator==(const WizardVars& o) const {
    return mode == o.mode && flags == o.flags && download == o.download && install == o.install &&
           has_download == o.has_download && has_install == o.has_install;
  }
};

inline const std::vector<std::vector<int>>& page_controls() {
  static const std::vector<std::vector<int>> pages = {
      {IDC_MODE_DOWNLOAD_AND_INSTALL, IDC_MODE_DOWNLOAD_ONLY, IDC_MODE_INSTALL_FROM_DIRECTORY},
      {IDC_VARIANT_0, IDC_VARIANT_1, IDC_VARIANT_2, IDC_VARIANT_3},
      {IDC_DIR_LABEL, IDC_DIR_EDIT, IDC_BROWSE},
      {IDC_STATUS, IDC_PROGRESS, IDC_RATE},
      {IDC_SUMMARY}};
  return pages;
}

// Exactly this page's controls are visible (-1: none), the frame buttons always.
inline ::testing::AssertionResult only_page_visible(int page) {
  for (int p = 0; p < 5; ++p)
    for (int id : page_controls()[static_cast<size_t>(p)])
      if (headless_visible(id) != (p == page))
        return ::testing::AssertionFailure()
               << "control " << id << " of page " << p << " is "
               << (headless_visible(id) ? "visible" : "hidden") << ", expected page " << page;
  for (int id : {IDC_ICON, IDC_BACK, IDC_NEXT, IDC_CANCEL})
    if (!headless_visible(id)) return ::testing::AssertionFailure() << "control " << id << " hidden";
  return ::testing::AssertionSuccess();
}

class WizardTest : public ::testing::Test {
 protected:
  // The run that the last directory step starts fetches the manifest: serve an
  // empty one on loopback, so that the run ends on the summary page.
  static void SetUpTestSuite() {
    root_ = new TempDir();
    plat_mkdir((*root_ / "quorvin").c_str());
    write_file(*root_ / "quorvin/filelist.txt", "");
    server_ = new QvServer(root_->path());
    url_ = "ftp://127.0.0.1:" + std::to_string(server_->port()) + "/quorvin/filelist.txt";
  }
  static void TearDownTestSuite() {
    delete server_;
    delete root_;
  }
  void SetUp() override {
    run_filelist_url = url_.c_str();
    wizard_reset_state();
    app_connect_flow();
    headless_reset();
    set_page_handler(nullptr);
    dialog_handle = ui_create_dialog(wizard_dialog_proc);
    for (int page = 0; page < 5; ++page) show_page(page, UI_SW_HIDE);
    show_options_page();
  }
  void TearDown() override { wizard_reset_state(); }

  static inline TempDir* root_ = nullptr;
  static inline QvServer* server_ = nullptr;
  static inline std::string url_;

  // Clicks that must be accepted (the control visible and enabled).
  static void click(int id) { ASSERT_TRUE(headless_click(id)) << "click on " << id; }

  // Options -> variant -> download step, with the default choices.
  static void to_download_step() {
    click(IDC_NEXT);
    click(IDC_NEXT);
    ASSERT_EQ(headless_text(0), "Download to...");
  }
  // ... -> install step, the download directory given as an existing one.
  static void to_install_step(const std::string& download) {
    to_download_step();
    headless_type(IDC_DIR_EDIT, download);
    click(IDC_NEXT);
    ASSERT_EQ(headless_text(0), "Install to...");
  }
};
