// How the test support library reads the ports its servers got or could
// not get: the simulator's ports line, brivane's start failure.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process.h"
#include "support/smg_process.h"

namespace brivane::test {
namespace {

TEST(SmgPortsLine, ReadsTheLastWholeLine) {
  struct Case {
    const char* output;
    bool found;
    std::vector<int> cmpp;
    int control;
  };
  const Case cases[] = {
      {"PORTS cmpp=17890 control=17891\nREADY\n", true, {17890}, 17891},
      {"PORTS cmpp=1,2,65535 control=3\n", true, {1, 2, 65535}, 3},
      // A log line before it, and a second start after a restart: the last.
      {"listening\nPORTS cmpp=5 control=6\nPORTS cmpp=7 control=8\n", true, {7}, 8},
      // Not yet whole: the newline has not arrived.
      {"PORTS cmpp=17890 control=1789", false, {}, 0},
      {"READY\n", false, {}, 0},
      {"", false, {}, 0},
      // Not at the start of a line.
      {"xPORTS cmpp=1 control=2\n", false, {}, 0},
      // Ports out of range or missing.
      {"PORTS cmpp=0 control=2\n", false, {}, 0},
      {"PORTS cmpp=1 control=0\n", false, {}, 0},
      {"PORTS cmpp=65536 control=2\n", false, {}, 0},
      {"PORTS cmpp=1 control=99999\n", false, {}, 0},
      {"PORTS cmpp= control=2\n", false, {}, 0},
      {"PORTS cmpp=1,,2 control=3\n", false, {}, 0},
      {"PORTS cmpp=1\n", false, {}, 0},
  };
  for (const Case& c : cases) {
    std::vector<int> cmpp = {-1};
    int control = -1;
    EXPECT_EQ(ParsePortsLine(c.output, cmpp, control), c.found) << c.output;
    if (c.found) {
      EXPECT_EQ(cmpp, c.cmpp) << c.output;
      EXPECT_EQ(control, c.control) << c.output;
    } else {
      EXPECT_EQ(cmpp, std::vector<int>{-1}) << "left alone: " << c.output;
      EXPECT_EQ(control, -1) << "left alone: " << c.output;
    }
  }
}

TEST(BrivaneRefusedPort, NamesThePortOnTheFailureLine) {
  struct Case {
    const char* output;
    int port;
    bool refused;
  };
  const Case cases[] = {
      {"brivane: Cannot run without HTTP port: cannot listen on 127.0.0.1:18900: in use\n", 18900,
       true},
      {"x\nbrivane: Cannot run without HTTP port: cannot listen on 0.0.0.0:443: denied", 443, true},
      // Another port, a port that only starts the same, another line.
      {"brivane: Cannot run without HTTP port: cannot listen on 127.0.0.1:18900: in use\n", 1890,
       false},
      {"brivane: Cannot run without HTTP port: cannot listen on 127.0.0.1:18900: in use\n", 189000,
       false},
      {"brivane: Cannot run without HTTP port: cannot listen on 127.0.0.1:1: x\nport :18900: \n",
       18900, false},
      {"cannot listen on 127.0.0.1:18900: in use\n", 18900, false},
      {"", 18900, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(BrivaneRefusedPort(c.output, c.port), c.refused) << c.output << " / " << c.port;
}

}  // namespace
}  // namespace brivane::test
