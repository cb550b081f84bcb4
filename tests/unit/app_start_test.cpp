// Start-up through app_start and the orderly end after a quit request. The
// process really ends, so each run happens in a death-test child; its log lands
// in install.log beside the test binary, read back here and removed.
#include <cstdio>
#include <cstdlib>

#include "app/app.h"
#include "platform/platform.h"
#include "support/paths.h"
#include "testkit/testkit.h"
#include "wizard_fixture.h"

namespace {
std::string log_beside_binary() { return path_join(path_dir(plat_exe_path()), "install.log"); }

// Exit codes of the child that name what went wrong before exit_app ran.
enum { kBadStart = 2, kBoxShown = 3, kNoQuit = 4 };

[[noreturn]] void start_then_quit(void (*quit)()) {
  wizard_reset_state();
  headless_reset();
  set_page_handler(nullptr);
  headless_on_box([](const HeadlessBox&) { std::_Exit(kBoxShown); });
  app_start();
  // All pages were hidden and the Options page shown before the window was.
  if (!headless_window_shown() || !only_page_visible(PageOptions) ||
      headless_text(0) != "Options" || headless_enabled(IDC_BACK))
    std::_Exit(kBadStart);
  quit();
  if (headless_quit_requests() != 1) std::_Exit(kNoQuit);
  ui_run_message_loop();
  exit_app(0);
}

void expect_three_line_log() {
  std::vector<std::string> lines = split_lines(read_file(log_beside_binary()));
  EXPECT_EQ(lines, (std::vector<std::string>{"socket_init", "exit_app: code is 0", "socket_done"}));
  std::remove(log_beside_binary().c_str());
}
}  // namespace

// One test for both ways out: their logs share the file beside the test binary,
// so they must not run side by side.
TEST(AppStartDeathTest, CancelOrCloseBoxOnTheFirstPageEndWithCodeZeroAndThreeLogLines) {
  std::remove(log_beside_binary().c_str());
  EXPECT_EXIT(start_then_quit([] { headless_click(IDC_CANCEL); }), ::testing::ExitedWithCode(0), "");
  expect_three_line_log();
  EXPECT_EXIT(start_then_quit(headless_close_box), ::testing::ExitedWithCode(0), "");
  expect_three_line_log();
}
