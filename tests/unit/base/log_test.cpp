#include "base/log.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/process.h"

namespace brivane::base {
namespace {

TEST(Log, LinesCarryTimeTabAndTextAndRespectTheLevel) {
  test::TempDir dir;
  const std::string path = dir.File("brivane.log");
  ASSERT_TRUE(OpenLog(path, 2));
  LogWrite(1, "严重：one");
  LogWrite(2, "two");
  LogWrite(3, "three is above the level");
  LogF(2, "n={}", 42);
  FlushLog();
  const std::string text = test::ReadFile(path);
  EXPECT_TRUE(
      std::regex_search(text, std::regex(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\t)")));
  EXPECT_NE(text.find("\t严重：one\n"), std::string::npos);
  EXPECT_NE(text.find("\ttwo\n"), std::string::npos);
  EXPECT_NE(text.find("\tn=42\n"), std::string::npos);
  EXPECT_EQ(text.find("three"), std::string::npos);
  CloseLog();
}

// The journal gets severe and error lines (standard error), and only those
// the level lets through; other lines stay in the file only.
TEST(Log, SevereAndErrorLinesAlsoGoToStandardError) {
  test::TempDir dir;
  ASSERT_TRUE(OpenLog(dir.File("brivane.log"), 2));
  struct Case {
    int level;
    const char* text;
    bool onStderr;
  };
  const Case cases[] = {
      {1, "严重：severe", true},
      {2, "TOKEN\tERROR|TCPSocket::Connect() failed,error_code:5;", true},
      {2, "EXCEPTION|CheckMTTable:4", true},
      {2, "信息：plain information", false},
      {3, "ERROR|above the level", false},
  };
  for (const Case& c : cases) {
    ::testing::internal::CaptureStderr();
    LogWrite(c.level, c.text);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.onStderr ? std::string(c.text) + "\n" : "") << c.text;
  }
  CloseLog();
}

TEST(Log, LevelZeroWritesNothingAndReopeningAppends) {
  test::TempDir dir;
  const std::string path = dir.File("brivane.log");
  test::WriteFile(path, "earlier\n");
  ASSERT_TRUE(OpenLog(path, 0));
  LogWrite(1, "silent");
  FlushLog();
  EXPECT_EQ(test::ReadFile(path), "earlier\n");
  SetLogLevel(4);
  LogWrite(4, "after");
  ASSERT_TRUE(ReopenLog());
  LogWrite(4, "after reopen");
  FlushLog();
  const std::string text = test::ReadFile(path);
  EXPECT_EQ(text.rfind("earlier\n", 0), 0u);
  EXPECT_NE(text.find("\tafter\n"), std::string::npos);
  EXPECT_NE(text.find("\tafter reopen\n"), std::string::npos);
  CloseLog();
}

}  // namespace
}  // namespace brivane::base
