// Socket helpers shared by both platforms.
#include "net/net.h"

namespace orv {

void net_close_connection(Socket& socket) {
  if (socket == kNoSocket) return;
  net_shutdown_both(socket);
  net_close(socket);
  socket = kNoSocket;
}

}  // namespace orv
