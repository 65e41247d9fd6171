// Mappings and their pairs: listeners, placement of clients and devices, the two channel moves.
#include <cstring>

#include "relay/relay.h"

namespace orv {

Mapping make_mapping(const std::string& identifier, int port) {
  Mapping mapping;
  mapping.identifier = identifier;
  mapping.port = port;
  return mapping;
}

bool mapping_equals(const Mapping& mapping, const std::string& identifier) {
  return mapping.identifier == identifier;  // same length, same bytes
}

Mapping* find_mapping(RelayState& state, const char* identifier, std::size_t length) {
  for (Mapping& mapping : state.mappings) {
    if (mapping.identifier.size() == length &&
        std::memcmp(mapping.identifier.data(), identifier, length) == 0) {
      return &mapping;
    }
  }
  return nullptr;
}

Socket open_listener(int port) {
  Socket listener = net_tcp_socket();
  if (listener == kNoSocket) return kNoSocket;
  if (net_bind_any(listener, port) && net_listen(listener, kListenBacklog)) return listener;
  // The caller reports the failing call's code, so closing must not overwrite it.
  int error = net_last_error();
  net_close(listener);
  net_set_last_error(error);
  return kNoSocket;
}

void channel_close(Channel& channel) {
  net_close_connection(channel.socket);
  channel.ended = false;
}

void close_mapping(Mapping& mapping) {
  if (mapping.listener != kNoSocket) {
    net_close(mapping.listener);
    mapping.listener = kNoSocket;
  }
  for (RelayPair& pair : mapping.pairs) {
    channel_close(pair.client);
    channel_close(pair.device);
  }
}

namespace {
void take_socket(Channel& channel, Socket socket) {
  channel.socket = socket;
  channel.ended = false;
}
}  // namespace

void place_client(Mapping& mapping, Socket client, std::int64_t& ticket_counter) {
  for (RelayPair& pair : mapping.pairs) {
    if (pair.client.socket == kNoSocket && pair.device.socket != kNoSocket) {
      // What the device sent while it waited was meant for nobody in particular: dropped.
      take_socket(pair.client, client);
      channel_empty(pair.client);
      channel_empty(pair.device);
      return;
    }
  }
  for (RelayPair& pair : mapping.pairs) {
    if (pair.client.socket == kNoSocket) {
      take_socket(pair.client, client);
      channel_empty(pair.client);
      channel_empty(pair.device);
      pair.client_ticket = ++ticket_counter;
      return;
    }
  }
  net_close_connection(client);  // every pair holds a client
}

void place_device(Mapping& mapping, Socket device, const unsigned char* first_bytes,
                  std::size_t count) {
  RelayPair* longest = nullptr;
  for (RelayPair& pair : mapping.pairs) {
    if (pair.client.socket == kNoSocket || pair.device.socket != kNoSocket) continue;
    if (longest == nullptr || pair.client_ticket < longest->client_ticket) longest = &pair;
  }
  RelayPair* chosen = longest;
  if (chosen == nullptr) {
    for (RelayPair& pair : mapping.pairs) {
      if (pair.device.socket == kNoSocket) {
        chosen = &pair;
        channel_empty(pair.client);
        break;
      }
    }
  }
  if (chosen == nullptr) {
    net_close_connection(device);  // every pair holds a device
    return;
  }
  // A waiting client keeps what it sent; the device starts with what followed its
  // identification line in the same read.
  take_socket(chosen->device, device);
  if (count > kChannelBytes) count = kChannelBytes;
  if (count > 0) std::memcpy(chosen->device.buffer, first_bytes, count);
  chosen->device.fill = count;
}

void channel_receive(Channel& channel, bool peer_present) {
  long got = net_recv(channel.socket, channel.buffer + channel.fill, kChannelBytes - channel.fill);
  if (got > 0) {
    channel.fill += static_cast<std::size_t>(got);
    return;
  }
  if (got < 0 && net_error_is_retry(net_last_error())) return;
  // End of stream or a broken connection. With a peer, keep the socket so that what this side
  // sent earlier still reaches it; the pass closes both once that is done.
  if (peer_present) {
    channel.ended = true;
  } else {
    channel_close(channel);
  }
}

void channel_send(Channel& channel, Socket peer) {
  long sent = net_send(peer, channel.buffer, channel.fill);
  if (sent > 0) {
    std::size_t gone = static_cast<std::size_t>(sent);
    std::memmove(channel.buffer, channel.buffer + gone, channel.fill - gone);
    channel.fill -= gone;
    return;
  }
  if (sent < 0 && net_error_is_retry(net_last_error())) return;
  // The bytes can no longer be delivered: close the side they came from; the pass closes
  // the peer.
  channel_close(channel);
}

}  // namespace orv
