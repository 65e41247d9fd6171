// Reads orv.conf into a plain record: the active-mode port, the mappings in file order, and the
// optional directives. Depends on nothing in relay/, so it can be tested and fuzzed on its own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "diag/log.h"
#include "net/address.h"

namespace orv {

constexpr int kDefaultActiveModePort = 2000;
constexpr char kDefaultStatusAddress[] = "127.0.0.1";
constexpr int kMinLogSizeBytes = 100000;
constexpr int kMaxLogKeep = 100;

struct MappingEntry {
  std::string identifier;  // non-empty, no whitespace; unique within the file
  int port = 0;            // 1 to 65535
};

// Who may connect. A list no line named lets everyone in. Lines add up; a line that names the
// list but cannot be read is reported and still marks it set, so a typing error shuts out
// rather than lets in.
struct AllowList {
  bool set = false;
  std::vector<AddressPrefix> prefixes;
};
bool allows(const AllowList& list, const IpAddress& address);
// allow-clients-of and allow-devices-of: a list for one identifier.
struct NamedAllowList {
  std::string identifier;
  AllowList list;
};

// What orv.conf says. A file of only "map" and "active-mode-port" lines leaves every optional
// field at its "off" value.
struct Config {
  int active_mode_port = kDefaultActiveModePort;
  std::vector<MappingEntry> mappings;  // file order
  bool session_log = false;            // session-log on|off
  int status_port = 0;                 // status-port PORT [ADDRESS]; 0: no status listener
  std::string status_address = kDefaultStatusAddress;
  int keepalive_seconds = 0;              // keepalive SECONDS (1 to 7200); 0: the system's default
  int handshake_timeout_seconds = 0;      // handshake-timeout SECONDS (1 to 50); 0: none
  long log_size_bytes = kLogRotateBytes;  // log-size BYTES: orv.log rotates beyond it
  int log_keep = kLogKeepDefault;         // log-keep N: orv.log.1 ... orv.log.N (1 to 100)
  std::string listen_address;             // listen-address ADDRESS; "": every IPv4 address
  AllowList allow_devices;                // allow-devices PREFIX...: the active-mode port
  AllowList allow_clients;                // allow-clients PREFIX...: every mapping's port
  std::vector<NamedAllowList> allow_clients_of;  // allow-clients-of ID PREFIX...: instead
  std::vector<NamedAllowList> allow_devices_of;  // allow-devices-of ID PREFIX...: who may be ID
  int handshakes_per_address = 0;                // handshakes-per-address N (1 to 20); 0: no limit
  int client_wait_timeout_seconds = 0;  // client-wait-timeout SECONDS (1 to 86400); 0: none
};

// Who may connect to the port of the mapping with this identifier: its allow-clients-of list,
// else allow-clients.
const AllowList& clients_allowed(const Config& config, std::string_view identifier);
// Who may identify as this identifier: its allow-devices-of list, or nullptr for anyone.
const AllowList* devices_allowed_as(const Config& config, std::string_view identifier);

// Reads configuration text (the whole file) into config. Each rejected line adds one message
// (already formatted, without timestamp) to messages; reading always goes on to the end.
void read_config(Config& config, std::string_view text, const std::string& path,
                 std::vector<std::string>& messages);

// Reads the file once and logs each message. False only when the file cannot be opened (logged
// with the path and the system's reason).
bool load_config(Config& config, const std::string& config_path);

// Returns the next whitespace-separated token of a NUL-terminated line and advances the cursor
// to the byte that ended it. At the end it returns "" and leaves the cursor on the NUL.
std::string next_token(const char*& cursor);

// A port operand: sign and leading decimal digits, saturated to 32 bits; 0 without digits.
int convert_port(const std::string& token);

}  // namespace orv
