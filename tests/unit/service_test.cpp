// Service status reports and, on Linux, the systemd unit that "install" writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "service/service.h"
#ifndef _WIN32
#include <sys/stat.h>

#include "service/systemd.h"
#endif

namespace orv {
namespace {

std::vector<ServiceReport> g_reports;
void record(const ServiceReport& report) { g_reports.push_back(report); }

TEST(ServiceStatus, StartAndStopGiveFiveReportsWithTheirCheckPoints) {
  set_service_report_sender(record);
  report_service_status(kServiceStartPending, 0, kWaitHintStartMs);
  report_service_status(kServiceRunning, 0, 0);
  service_stop_control();
  // The control's second report repeats the state it finds.
  if (g_reports.size() == 3) report_service_status(current_service_state(), 0, 0);
  report_service_status(kServiceStopped, 0, 0);
  set_service_report_sender(nullptr);

  struct Expected {
    std::uint32_t state, check_point, wait_hint, controls;
  };
  const Expected expected[] = {{kServiceStartPending, 1, 3000, 0},
                               {kServiceRunning, 0, 0, kAcceptStop},
                               {kServiceStopPending, 2, 0, kAcceptStop},
                               {kServiceStopPending, 3, 0, kAcceptStop},
                               {kServiceStopped, 0, 0, kAcceptStop}};
  ASSERT_EQ(g_reports.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(g_reports[i].state, expected[i].state) << i;
    EXPECT_EQ(g_reports[i].check_point, expected[i].check_point) << i;
    EXPECT_EQ(g_reports[i].wait_hint, expected[i].wait_hint) << i;
    EXPECT_EQ(g_reports[i].controls_accepted, expected[i].controls) << i;
    EXPECT_EQ(g_reports[i].exit_code, 0u) << i;
  }
}

#ifndef _WIN32
TEST(SystemdUnit, IsWrittenEnabledAndNeverOverwritten) {
  auto dir = std::filesystem::temp_directory_path() / ("orv-unit-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  ASSERT_TRUE(write_systemd_unit(dir.string(), "/opt/my tools/orv"));
  std::ifstream file(dir / "orv.service");
  std::stringstream text;
  text << file.rdbuf();
  for (const char* line : {"Type=notify\n", "ExecStart=\"/opt/my tools/orv\"\n",
                           "StateDirectory=orv\n", "WantedBy=multi-user.target\n"}) {
    EXPECT_NE(text.str().find(line), std::string::npos) << line;
  }
  auto link = dir / "multi-user.target.wants" / "orv.service";
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(std::filesystem::canonical(link), std::filesystem::canonical(dir / "orv.service"));

  EXPECT_FALSE(write_systemd_unit(dir.string(), "/elsewhere/orv"));
  EXPECT_EQ(errno, EEXIST);
  std::ifstream again(dir / "orv.service");
  std::stringstream kept;
  kept << again.rdbuf();
  EXPECT_EQ(kept.str(), text.str());
  std::filesystem::remove_all(dir);
}

TEST(SystemdUnit, ShippedUnitMatchesTheOneInstallWrites) {
  // The package installs the program as /usr/sbin/orv; "install" writes the same unit for
  // wherever the program lies.
  std::ifstream shipped(std::string(ORV_SOURCE_DIR) + "/dist/orv.service");
  std::stringstream text;
  text << shipped.rdbuf();
  EXPECT_EQ(text.str(), systemd_unit_text("/usr/sbin/orv"));
}
#endif

}  // namespace
}  // namespace orv
