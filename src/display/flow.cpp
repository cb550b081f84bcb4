#include "display/flow.h"

#include "platform/platform.h"

void (*flow_start_run)() = nullptr;
void (*flow_back_from_summary)() = nullptr;
void (*flow_exit_hook)(int code) = nullptr;

void flow_exit(int code) {
  if (flow_exit_hook) flow_exit_hook(code);
  plat_exit(code);
}
