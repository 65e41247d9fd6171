// Service status reports and, on Linux, the systemd unit that "install" writes.
#include "service/service.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "service/systemd.h"

namespace orv {
namespace {

// Each report as state, controls accepted, exit code, service exit code, check point, wait hint.
std::vector<std::vector<std::uint32_t>> g_reports;

// A stop control reports stop pending, then the state it finds; stop accepted once running, and
// the reload control while running.
TEST(ServiceStatus, StartAndStopGiveFiveReportsWithTheirCheckPoints) {
  g_reports.clear();
  set_service_report_sender([](const ServiceReport& r) {
    g_reports.push_back({r.state, r.controls_accepted, r.exit_code, r.service_exit_code,
                         r.check_point, r.wait_hint});
  });
  report_service_status(kServiceStartPending, 0, kWaitHintStartMs);
  report_service_status(kServiceRunning, 0, 0);
  service_stop_control();
  if (g_reports.size() == 3) report_service_status(current_service_state(), 0, 0);
  report_service_status(kServiceStopped, 0, 0);
  set_service_report_sender(nullptr);
  const std::uint32_t first = g_reports.at(0).at(4);
  EXPECT_EQ(first % 3, 1u);  // 1; and 4, 7... when repeated, as each run takes three
  EXPECT_EQ(g_reports, (std::vector<std::vector<std::uint32_t>>{
                           {kServiceStartPending, 0, 0, 0, first, 3000},
                           {kServiceRunning, kAcceptStop | kAcceptParamChange, 0, 0, 0, 0},
                           {kServiceStopPending, kAcceptStop, 0, 0, first + 1, 0},
                           {kServiceStopPending, kAcceptStop, 0, 0, first + 2, 0},
                           {kServiceStopped, kAcceptStop, 0, 0, 0, 0}}));
}

#ifndef _WIN32
// "install" writes the unit the package ships, for wherever the program lies.
TEST(SystemdUnit, IsTheShippedUnit) {
  std::ifstream shipped(std::string(ORV_SOURCE_DIR) + "/dist/orv.service");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(shipped), {}),
            systemd_unit_text("/usr/sbin/orv"));
}
#endif

}  // namespace
}  // namespace orv
