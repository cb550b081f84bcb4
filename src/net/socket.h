// The single outgoing TCP connection and its line-buffered reader.
#pragma once

void socket_init();
void socket_done();
