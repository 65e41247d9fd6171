// Reads orv.conf into a plain record: the active-mode port, the mappings in file order, and the
// optional directives. Depends on nothing in relay/, so it can be tested and fuzzed on its own.
#pragma once

#include <cstdint>
#include <cstdio>
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
  int line = 0;            // where the file says so
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

// What reading a line found beyond what it set.
enum class FindingKind : std::uint8_t {
  kRejected,   // a keyword with operands that cannot be used: the line is skipped
  kDuplicate,  // a map line for an identifier used before: skipped, the first one stays
  kMisspelt,   // no keyword, but close to one: ignored, as every line without a keyword
  kUnused,     // accepted, but not all of it was used
};
struct ConfigFinding {
  int line = 0;
  FindingKind kind = FindingKind::kRejected;
  std::string text;        // the line, without its trailing CR and LF bytes
  std::string reason;      // in words, for `orv check`
  std::string identifier;  // kDuplicate: the identifier, as the log names it
};

// Reads configuration text (the whole file) into config, adding what it finds to findings;
// reading always goes on to the end.
void read_config(Config& config, std::string_view text, std::vector<ConfigFinding>& findings);
// The log's message for a finding (without timestamp), as every start writes it; empty for the
// kinds only `orv check` shows.
std::string finding_message(const ConfigFinding& finding, const std::string& path);
// read_config with the log's messages alone.
void read_config(Config& config, std::string_view text, const std::string& path,
                 std::vector<std::string>& messages);

// The whole file. False when it cannot be opened or is a folder; error is then "PATH: REASON".
bool read_config_file(const std::string& path, std::string& text, std::string& error);
// Reads the file once and logs each finding's message. False only when the file cannot be
// opened: its error is logged, or, when the caller takes it, stored in *error instead.
bool load_config(Config& config, const std::string& config_path, std::string* error = nullptr);

// `orv check`: reads the file as a start would and prints, naming the file, each finding with
// its reason and a summary. Returns the exit code: 0 when no line was rejected and the file
// could be read, 1 otherwise.
int check_config(const std::string& path, std::FILE* out);

// Returns the next whitespace-separated token of a NUL-terminated line and advances the cursor
// to the byte that ended it. At the end it returns "" and leaves the cursor on the NUL.
std::string next_token(const char*& cursor);

// A port operand: sign and leading decimal digits, saturated to 32 bits; 0 without digits.
int convert_port(const std::string& token);

}  // namespace orv
