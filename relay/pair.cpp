// A pair's data path: what its sockets are watched for, one pass's sends and receives, how a side
// ends, and the end of the pair with its session line.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "diag/log.h"
#include "diag/peer_log.h"
#include "relay/pass.h"

namespace orv {
namespace {

// The event of this pass for the channel's socket, unless the socket arrived in this pass.
const PollEvent* event_for(const RelayState& state, const Channel& channel,
                           const PollEvent* event) {
  if (event == nullptr || channel.socket == kNoSocket || event->socket != channel.socket ||
      channel.placed_pass == state.pass) {
    return nullptr;
  }
  return event;
}

bool can_send(const Channel& to, const PollEvent* event) {
  if (to.socket == kNoSocket || to.broken) return false;
  return (event != nullptr && event->writable) || to.writable;
}

void note_end(RelayPair& pair, Side side, EndHow how) {
  if (pair.first_end != EndHow::kNone) return;
  pair.first_end = how;
  pair.first_ender = side;
}

// The side can take nothing more: what was meant for it is dropped, while what it sent still
// goes, including what the system still holds from it unless its receive failed too.
void side_failed(RelayPair& pair, Side side, bool receive_failed) {
  Channel& channel = side_of(pair, side);
  channel.broken = true;
  channel.ended = channel.ended || receive_failed;
  channel_empty(side_of(pair, other_side(side)));
  note_end(pair, side, EndHow::kError);
}

// One send to the side of what its partner sent.
void send_across(Mapping& mapping, RelayPair& pair, Side to_side) {
  Channel& from = side_of(pair, other_side(to_side));
  Channel& to = side_of(pair, to_side);
  const long sent = net_send(to.socket, from.buffer, from.fill);
  if (sent > 0) {
    const std::uint32_t gone = static_cast<std::uint32_t>(sent);
    std::memmove(from.buffer, from.buffer + gone, from.fill - gone);
    from.fill -= gone;
    from.delivered += gone;
    (to_side == Side::kClient ? mapping.counters.bytes_to_client
                              : mapping.counters.bytes_to_device) += gone;
    to.writable = from.fill == 0;  // a short send means its buffer is full
    return;
  }
  if (sent < 0 && net_error_is_retry(net_last_error())) {
    to.writable = false;
    return;
  }
  side_failed(pair, to_side, false);
}

void waiting_side_left(RelayState& state, Mapping& mapping, Channel& channel, Side side) {
  if (side == Side::kDevice) mapping.counters.last_device_seen_at = clock_seconds();
  if (session_log(state)) {
    log_peer(PeerLine::kWaitingLeft, kSeverityNotice, "Waiting %s %s of '%s' left", side_text(side),
             channel.peer.text, logged_identifier(mapping).c_str());
  }
  close_channel(state, channel);
}

void receive_into(RelayState& state, Mapping& mapping, RelayPair& pair, Side side) {
  Channel& channel = side_of(pair, side);
  const Channel& partner = side_of(pair, other_side(side));
  const std::size_t room = kChannelBytes - channel.fill;
  const long got = net_recv(channel.socket, channel.buffer + channel.fill, room);
  if (got > 0) {
    channel.fill += static_cast<std::uint32_t>(got);
    // A read that filled all the room most likely left more behind: the next pass serves this
    // socket again without asking the system first.
    if (static_cast<std::size_t>(got) == room && state.carry.size() < state.carry.capacity()) {
      state.carry.push_back(
          PollEvent{side_tag(mapping_slot(state, mapping), pair_index(mapping, pair), side),
                    channel.socket, true, false, false});
    }
    return;
  }
  if (got < 0 && net_error_is_retry(net_last_error())) return;
  if (partner.socket == kNoSocket) {
    waiting_side_left(state, mapping, channel, side);
    return;
  }
  if (got < 0) {
    side_failed(pair, side, true);
    return;
  }
  // End of stream: not read again, but what it sent earlier still goes to its partner, and it
  // may still read what its partner sends.
  channel.ended = true;
  note_end(pair, side, EndHow::kEndOfStream);
}

// A joined pair is over once a side has ended and what it sent is delivered, or can no longer be,
// or when neither side can take anything more.
bool pair_over(const RelayPair& pair) {
  if (pair.client.socket == kNoSocket || pair.device.socket == kNoSocket) return false;
  const auto side_done = [](const Channel& side, const Channel& partner) {
    return side.ended && (side.fill == 0 || partner.broken);
  };
  return side_done(pair.client, pair.device) || side_done(pair.device, pair.client) ||
         (pair.client.broken && pair.device.broken);
}

// A reported end (reset, hang-up, peer shutdown) on a side that was not read in this pass.
void ended_unread(RelayState& state, Mapping& mapping, RelayPair& pair, Side side) {
  Channel& channel = side_of(pair, side);
  if (channel.socket == kNoSocket || channel.broken) return;
  if (side_of(pair, other_side(side)).socket == kNoSocket) {
    waiting_side_left(state, mapping, channel, side);
  } else {
    side_failed(pair, side, false);
  }
}

// What the side's socket waits for; false when the poller refused it.
bool watch_side(RelayState& state, Mapping& mapping, RelayPair& pair, Side side) {
  Channel& channel = side_of(pair, side);
  const Channel& partner = side_of(pair, other_side(side));
  if (channel.socket == kNoSocket) return true;
  const bool joined = partner.socket != kNoSocket;
  const bool readable = !channel.ended && channel_has_room(channel) && !partner.broken;
  if (channel.broken && !readable) {
    // A failed socket reports its error on every wait: out of the wait until there is room to
    // read what the system still holds from it.
    poller_forget(*state.poller, channel.socket, channel.watched);
    return true;
  }
  unsigned flags = kWatchNone;
  if (readable) flags |= kWatchRead;
  // A waiting side whose channel is full is not read, but its leaving must still be seen.
  if (!joined && !channel_has_room(channel)) flags |= kWatchEnd;
  if (joined && channel_holds_data(partner) && !channel.broken) flags |= kWatchWrite;
  return poller_watch(*state.poller, channel.socket,
                      side_tag(mapping_slot(state, mapping), pair_index(mapping, pair), side),
                      flags, channel.watched);
}

}  // namespace

void watch_pair(RelayState& state, Mapping& mapping, RelayPair& pair) {
  // No socket stays in a pair unwatched. One that was never watched is turned away, and the pair
  // is as it was before it came; one whose watch could not change fails as after a reset. Either
  // way its partner is watched anew.
  bool any_refused = false;
  for (int round = 0; round < 3; ++round) {
    bool refused = false;
    for (const Side side : {Side::kClient, Side::kDevice}) {
      if (watch_side(state, mapping, pair, side)) continue;
      watch_refused(state);
      refused = true;
      Channel& channel = side_of(pair, side);
      const bool fresh = channel.watched == kUnwatched && channel.placed_pass == state.pass;
      if (fresh || side_of(pair, other_side(side)).socket == kNoSocket) {
        close_channel(state, channel);
      } else {
        side_failed(pair, side, true);
      }
    }
    if (!refused) break;
    any_refused = true;
  }
  if (any_refused && pair_over(pair)) end_pair(state, mapping, pair, EndHow::kError);
}

void serve_pair(RelayState& state, Mapping& mapping, RelayPair& pair, const PollEvent* client_raw,
                const PollEvent* device_raw) {
  const PollEvent* events[2] = {event_for(state, pair.client, client_raw),
                                event_for(state, pair.device, device_raw)};
  const auto event_of = [&](Side side) { return events[side == Side::kClient ? 0 : 1]; };
  for (const Side side : {Side::kClient, Side::kDevice}) {
    if (event_of(side) != nullptr && event_of(side)->writable) side_of(pair, side).writable = true;
  }
  bool sent[2] = {false, false}, read[2] = {false, false};
  const auto over = [&] {
    if (!pair_over(pair)) return false;
    end_pair(state, mapping, pair, EndHow::kEndOfStream);
    return true;
  };
  // One side's two sub-steps: send it what its partner sent, then read it. True once the pair
  // is over.
  const auto serve_side = [&](Side side) {
    const int at = side == Side::kClient ? 0 : 1;
    const Channel& channel = side_of(pair, side);
    const Channel& partner = side_of(pair, other_side(side));
    const PollEvent* event = events[at];
    if (channel.socket == kNoSocket) return false;
    if (channel_holds_data(partner) && partner.socket != kNoSocket && can_send(channel, event)) {
      sent[at] = true;
      send_across(mapping, pair, side);
      if (over()) return true;
    }
    if (event != nullptr && event->readable && !channel.ended && !partner.broken &&
        channel_has_room(channel)) {
      read[at] = true;
      receive_into(state, mapping, pair, side);
      if (over()) return true;
    }
    return false;
  };
  if (serve_side(Side::kClient) || serve_side(Side::kDevice)) return;
  // Sends never block: what the device sent in this pass goes to the client at once when nothing
  // was sent to it yet.
  if (!sent[0] && pair.client.socket != kNoSocket && channel_holds_data(pair.device) &&
      can_send(pair.client, nullptr)) {
    send_across(mapping, pair, Side::kClient);
    if (over()) return;
  }
  for (const Side side : {Side::kClient, Side::kDevice}) {
    const int at = side == Side::kClient ? 0 : 1;
    if (events[at] != nullptr && events[at]->ended && !read[at]) {
      ended_unread(state, mapping, pair, side);
    }
  }
  if (over()) return;
  watch_pair(state, mapping, pair);
}

const char* end_how_text(EndHow how) {
  switch (how) {
    case EndHow::kEndOfStream:
      return "end of stream";
    case EndHow::kError:
      return "error";
    case EndHow::kRelayStop:
      return "relay stop";
    case EndHow::kReload:
      return "reload";
    case EndHow::kNone:
      break;
  }
  return "end of stream";
}

void end_pair(RelayState& state, Mapping& mapping, RelayPair& pair, EndHow how_if_none) {
  ++mapping.counters.pairs_ended;
  // The device's connection ends with the pair: it was last seen now.
  mapping.counters.last_pair_end_at = mapping.counters.last_device_seen_at = clock_seconds();
  if (session_log(state)) {
    const EndHow how = pair.first_end != EndHow::kNone ? pair.first_end : how_if_none;
    char ending[64];
    if (how == EndHow::kRelayStop || how == EndHow::kReload) {
      std::snprintf(ending, sizeof ending, "ended by %s",
                    how == EndHow::kReload ? "a reload" : "the relay stop");
    } else {
      std::snprintf(ending, sizeof ending, "the %s ended first (%s)", side_text(pair.first_ender),
                    end_how_text(how));
    }
    log_message(kSeverityNotice,
                "Pair of '%s' ended after %lld s: client %s, device %s, %llu bytes to the "
                "device, %llu bytes to the client, %s",
                logged_identifier(mapping).c_str(),
                static_cast<long long>(clock_seconds() - pair.joined_at), pair.client.peer.text,
                pair.device.peer.text, static_cast<unsigned long long>(pair.client.delivered),
                static_cast<unsigned long long>(pair.device.delivered), ending);
  }
  for (Channel* side : {&pair.client, &pair.device}) {
    if (side->socket == kNoSocket) continue;
    if (side->broken || how_if_none == EndHow::kRelayStop) {
      close_channel(state, *side);
      continue;
    }
    // Everything relayed to it has been handed to the system: end its stream normally and let
    // the closing list drain what it still sends, so its peer never sees a reset.
    poller_forget(*state.poller, side->socket, side->watched);
    net_shutdown_send(side->socket);
    linger_socket(state, side->socket);
    side->socket = kNoSocket;
    side->ended = side->broken = side->writable = false;
  }
  channel_empty(pair.client);
  channel_empty(pair.device);
  pair.first_end = EndHow::kNone;
}

void expire_waiting_clients(RelayState& state, std::int64_t now_ms) {
  const std::int64_t limit_ms = std::int64_t{state.config.client_wait_timeout_seconds} * 1000;
  if (limit_ms == 0 || now_ms < state.waiting_scan_ms) return;
  // The next look is due when the first client now waiting is due; one that arrives later is
  // due no earlier than limit_ms from now.
  std::int64_t next_ms = now_ms + limit_ms;
  for (Mapping& mapping : state.mappings) {
    if (!mapping.live) continue;
    for (RelayPair& pair : mapping.pairs) {
      if (pair.client.socket == kNoSocket || pair.device.socket != kNoSocket) continue;
      const std::int64_t due_ms = pair.client_since_ms + limit_ms;
      if (due_ms <= now_ms) {
        waiting_side_left(state, mapping, pair.client, Side::kClient);
      } else {
        next_ms = std::min(next_ms, due_ms);
      }
    }
  }
  state.waiting_scan_ms = next_ms;
}

}  // namespace orv
