// The log: line shape, rotation at the threshold, a missing data folder.
#include <regex>
#include <sstream>

#include "diag/escape.h"
#include "tests/unit/relay_fixture.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

std::string log_quietly(const std::string& text) {
  return stderr_of([&] { log_message(kSeverityNotice, "%s", text.c_str()); });
}

// A line is its timestamp, the text and the given end; a short buffer cuts it, never overruns.
TEST(Log, LineHasTheTimestampShapeAndIsCutNeverOverrun) {
  set_data_folder((fs::temp_directory_path() / "orv-no-such-folder").string());  // stderr only
  char line[64];
  const LogTime time{2026, 3, 7, 9, 5, 2, 41};
  EXPECT_EQ(format_log_line(line, sizeof line, time, "text", "\r\n"), 30u);
  EXPECT_STREQ(line, "2026-03-07 09:05:02.041 text\r\n");
  EXPECT_EQ(format_log_line(line, 10, time, "text", "\n"), 9u);  // cut, the rest left alone
  EXPECT_EQ(std::string(line, 30), std::string("2026-03-0\0 09:05:02.041 text\r\n", 30));
  EXPECT_EQ(log_quietly(std::string(20000, 'x')).find('\n'), 24 + (kLogMessageBytes - 1));
}

// orv.log moves on only beyond log-size (1,000,000 bytes by default); log-keep older files are
// kept, the oldest dropped; without its folder the line still reaches stderr.
TEST(Log, RotatesOnlyBeyondTheSizeKeepsItsGenerationsAndLivesWithoutItsFolder) {
  const fs::path folder = fs::temp_directory_path() / ("orv-log-" + std::to_string(std::rand()));
  set_data_folder(folder.string());
  const std::string names[] = {"orv.log",    "orv.log.1",   "orv.log.2",  "orv.log.3",
                               "orv.log.99", "orv.log.100", "orv.log.101"};
  // log-size, log-keep, orv.log's size before a 30-byte line, then each file's size after it
  // (0: none) from orv.log.1 (5 bytes), orv.log.99 (99) and orv.log.100 (100) before.
  const struct {
    long size;
    int keep;
    std::uintmax_t before, after[std::size(names)];
  } rows[] = {{kLogRotateBytes, 1, 1000000, {1000030, 5, 0, 0, 99, 100, 0}},
              {kLogRotateBytes, 1, 1000001, {30, 1000001, 0, 0, 99, 100, 0}},
              {100000, 1, 100000, {100030, 5, 0, 0, 99, 100, 0}},
              {100000, 2, 100001, {30, 100001, 5, 0, 99, 100, 0}},
              {100000, 100, 100001, {30, 100001, 5, 0, 0, 99, 0}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.size) + " " + std::to_string(row.keep));
    fs::create_directories(folder);
    for (const auto& [name, bytes] :
         {std::pair{names[0], row.before}, {names[1], 5}, {names[4], 99}, {names[5], 100}})
      std::ofstream(folder / name, std::ios::binary) << std::string(bytes, 'a');
    set_log_retention(row.size, row.keep);
    log_quietly("next");
    for (std::size_t i = 0; i < std::size(names); ++i)
      EXPECT_EQ(fs::exists(folder / names[i]) ? fs::file_size(folder / names[i]) : 0, row.after[i])
          << names[i];
    fs::remove_all(folder);
  }
  set_log_retention(kLogRotateBytes, kLogKeepDefault);
  const std::string console = log_quietly("lost"), reason = ": No such file or directory\n";
  EXPECT_TRUE(console.ends_with(" lost\n" + data_file_path("orv.log") + reason)) << console;
}

// A folder named orv.log.1 empties orv.log instead of letting it grow, said once per emptying; a
// link or a second name at orv.log is replaced, what it named left alone.
TEST(Log, NeverGrowsPastAFolderInTheWayNorWritesThroughALink) {
  const fs::path folder = fs::temp_directory_path() / ("orv-log-" + std::to_string(std::rand()));
  set_data_folder(folder.string());
  fs::create_directories(folder / "orv.log.1" / "kept");
  std::ofstream(folder / "orv.log", std::ios::binary) << std::string(kLogRotateBytes + 1, 'a');
  const std::string said = log_quietly("first");
  log_quietly("second");
  const std::string log = read_file(folder / "orv.log");
  EXPECT_TRUE(said.find("Log rotation to " + data_file_path("orv.log.1") + " failed: ") !=
              said.npos)
      << said;
  const std::regex emptied(R"(^[-0-9 :.]{24}Log rotation to .+ failed: .+, orv.log emptied )"
                           R"(instead\r\n[-0-9 :.]{24}first\r\n[-0-9 :.]{24}second\r\n$)");
  EXPECT_TRUE(std::regex_match(log, emptied)) << log;
  EXPECT_TRUE(fs::exists(folder / "orv.log.1" / "kept"));
  const fs::path target = folder / "target";
  for (int kind = 0; kind < 2; ++kind) {
    fs::remove(folder / "orv.log");
    std::ofstream(target, std::ios::binary) << "mine";
    std::error_code unsupported;  // Wine has no symbolic links for every program
    kind == 0 ? fs::create_symlink(target, folder / "orv.log", unsupported)
              : fs::create_hard_link(target, folder / "orv.log", unsupported);
    if (unsupported) continue;
    log_quietly("third");
    EXPECT_EQ(read_file(target), "mine") << kind;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder / "orv.log"))) << kind;
    EXPECT_TRUE(read_file(folder / "orv.log").ends_with(" third\r\n")) << kind;
  }
  fs::remove_all(folder);
}

// Rows: bytes a peer or orv.conf chose, as the log and the status page show them.
TEST(Log, ShowsForeignBytesSoNoneCanActOnAViewer) {
  const std::pair<std::string, std::string> rows[] = {
      {"meter-1 caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9f",
       "meter-1 caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9f"},
      {"a\rb\\c\x1b[2J\x7f", "a\\x0db\\\\c\\x1b[2J\\x7f"},
      {"\x9b"
       "31m \xc2\x9b"
       "31m \xc2\xa0",
       "\\x9b31m \\xc2\\x9b31m \xc2\xa0"},  // C1, raw and encoded
      {"\xe2\x80\xae"
       "exe.txt \xe2\x81\xa6 \xd8\x9c \xe2\x80\x8f \xe2\x80\xa8",
       "\\xe2\\x80\\xaeexe.txt \\xe2\\x81\\xa6 \\xd8\\x9c \\xe2\\x80\\x8f \\xe2\\x80\\xa8"},
      {"\xff\xc3 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82",  // cut, overlong, beyond
       "\\xff\\xc3 \\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xe2\\x82"},
  };
  for (const auto& [bytes, shown] : rows) EXPECT_EQ(shown_text(bytes), shown) << shown;
  EXPECT_EQ(shown_text(std::string(100, '\x9b')).size(), kShownBytesPerByte * 100);
}

}  // namespace
}  // namespace orv
