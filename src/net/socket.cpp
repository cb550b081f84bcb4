#include "net/socket.h"

#include "platform/platform.h"
#include "support/log.h"

void socket_init() {
  log_message("socket_init");
  plat_net_startup();
}

void socket_done() {
  log_message("socket_done");
  plat_net_cleanup();
}
