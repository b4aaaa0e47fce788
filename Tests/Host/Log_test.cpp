// The host log: level filtering, the line format, escaping, and whole lines
// from two processes writing to one file.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "EvDebug.h"
#include "LogObserver.h"
#include "TestSupport.h"

namespace {

const char kTag[] = "LogTest::Case";

// The log's lines cut into their first `count` fields and the rest.
std::vector<std::vector<std::string>> Fields(const std::string& path,
                                             int count) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(tztest::Exists(path) ? tztest::ReadFile(path) : "");
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    size_t pos = 0;
    for (int i = 0; i < count; ++i) {
      const size_t space = line.find(' ', pos);
      if (space == std::string::npos) break;
      fields.push_back(line.substr(pos, space - pos));
      pos = space + 1;
    }
    fields.push_back(line.substr(pos));
    lines.push_back(fields);
  }
  return lines;
}

// The observer tzrecon installs sees every message up to its own level,
// also those the log's filter drops, with arguments it can read; the log is
// written as without it; once removed it sees nothing.
TEST(LogObserver, SeesMessagesUpToItsLevelWithTheirArguments) {
  struct Seen {
    std::vector<std::string> messages;
  } seen;
  const tzhost::LogObserver observer = {
      [](void* context, const char* tag, int level, const char* format, va_list args) {
        char text[128];
        vsnprintf(text, sizeof text, format, args);
        static_cast<Seen*>(context)->messages.push_back(std::string(tag) + " " +
                                                        std::to_string(level) + " " + text);
      },
      &seen, 2};
  tztest::LogCapture capture(1);
  EvDebug log;
  tzhost::SetLogObserver(&observer);
  for (int level : {-1, 1, 2, 3}) log.DebugLvl(kTag, level, "at %d [%s]", level, "x");
  tzhost::SetLogObserver(nullptr);
  log.DebugLvl(kTag, -1, "after");
  EXPECT_EQ(seen.messages,
            (std::vector<std::string>{"LogTest::Case -1 at -1 [x]", "LogTest::Case 1 at 1 [x]",
                                      "LogTest::Case 2 at 2 [x]"}));
  std::vector<std::string> written;
  for (const tztest::LogLine& line : capture.Lines()) written.push_back(line.message);
  EXPECT_EQ(written, (std::vector<std::string>{"at -1 [x]", "at 1 [x]", "after"}));
}

TEST(LogLevel, FiltersByTheConfiguredLevel) {
  const std::map<const char*, std::vector<int>> passing = {
      {nullptr, {-1, 0, 1}},  // unset: level 1
      {"", {-1, 0, 1}},
      {"verbose", {-1, 0, 1}},
      {"2x", {-1, 0, 1}},
      {"99999999999999999999", {-1, 0, 1}},
      {" 3 ", {-1, 0, 1, 2, 3}},
      {"0", {-1, 0}},
      {"-1", {-1}},
      {"-7", {-1}},  // failures pass whatever the setting
  };
  for (const auto& [setting, expected] : passing) {
    SCOPED_TRACE(setting ? setting : "unset");
    tztest::LogCapture capture;
    if (setting == nullptr)
      unsetenv("TZRECON_LOG_LEVEL");
    else
      setenv("TZRECON_LOG_LEVEL", setting, 1);
    EvDebug log;
    for (int level = -1; level <= 4; ++level)
      EXPECT_EQ(log.IsEnabled(level),
                log.DebugLvl(kTag, level, "level %d", level) > 0);
    std::vector<int> levels;
    for (const tztest::LogLine& line : capture.Lines())
      levels.push_back(line.level);
    EXPECT_EQ(levels, expected);
  }
}

TEST(LogLevel, FilteredMessageDoesNothing) {
  tztest::LogCapture capture(0);
  EvDebug log;
  // Were the message formatted, "%s" would read this bogus pointer.
  EXPECT_EQ(log.DebugLvl(kTag, 2, "%s", reinterpret_cast<const char*>(16)), 0);
  // The file is opened at the first message written, so it is not there.
  EXPECT_FALSE(tztest::Exists(capture.path()));
}

TEST(LogLine, FieldsAndLongMessages) {
  tztest::LogCapture capture;
  EvDebug log;
  tztest::LogCapture later(-1);  // settings are read when a logger is made
  const int written =
      log.DebugLvl(kTag, -1, "Error :: %s %d %lld", "disk", 7, 1LL << 40);
  const std::string text(100000, 'x');
  log.DebugLvl(kTag, 2, "[%s]", text.c_str());

  const auto lines = Fields(capture.path(), 5);
  ASSERT_EQ(lines.size(), 2u);
  const std::vector<std::string>& f = lines[0];
  ASSERT_EQ(f.size(), 6u);
  EXPECT_EQ(written,
            static_cast<int>(tztest::ReadFile(capture.path()).find('\n')) + 1);
  EXPECT_TRUE(std::regex_match(
      f[0], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)")))
      << f[0];
  EXPECT_EQ(f[1], std::to_string(getpid()));
  EXPECT_EQ(f[2], std::to_string(gettid()));
  EXPECT_EQ(f[3], "-1");
  EXPECT_EQ(f[4], kTag);
  EXPECT_EQ(f[5], "Error :: disk 7 1099511627776");
  EXPECT_EQ(lines[1][5], "[" + text + "]");
  EXPECT_FALSE(tztest::Exists(later.path()));
}

TEST(LogLine, EscapingKeepsEveryMessageOnOneLine) {
  tztest::LogCapture capture;
  EvDebug log;
  log.DebugLvl("tag with space\n", 1, "%s",
               "a\nb\rc\td\\e\x01\x1f\x7f \xc3\xa9");
  log.DebugLvl(kTag, 1, "nul [%c]", 0);
  log.DebugLvl(kTag, 1, "%s",
               "real\n2026-12-08T04:50:01.000000Z 1 1 -1 fake forged");

  const auto lines = Fields(capture.path(), 5);
  ASSERT_EQ(lines.size(), 3u) << capture.Dump();
  EXPECT_EQ(lines[0][4], "tag\\x20with\\x20space\\n");
  EXPECT_EQ(lines[0][5], "a\\nb\\rc\\td\\\\e\\x01\\x1f\\x7f \xc3\xa9");
  EXPECT_EQ(lines[1][5], "nul [\\x00]");
  EXPECT_EQ(lines[2][4], kTag);
  EXPECT_EQ(lines[2][5],
            "real\\n2026-12-08T04:50:01.000000Z 1 1 -1 fake forged");
}

TEST(LogLine, TwoProcessesNeverInterleave) {
  tztest::LogCapture capture;
  constexpr int kLines = 2000;
  const std::string filler(1500, 'f');
  const auto writeLines = [&](const char* who) {
    EvDebug log;  // each process opens the file itself
    int failures = 0;
    for (int i = 0; i < kLines; ++i)
      if (log.DebugLvl(kTag, 2, "%s %d %s", who, i, filler.c_str()) <= 0)
        ++failures;
    return failures;
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(writeLines("child") == 0 ? 0 : 1);
  EXPECT_EQ(writeLines("parent"), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const std::map<std::string, std::string> pidOf = {
      {"parent", std::to_string(getpid())}, {"child", std::to_string(child)}};
  std::map<std::string, int> next;  // each writer's lines arrive in order
  const auto lines = Fields(capture.path(), 7);
  ASSERT_EQ(lines.size(), 2u * kLines);
  for (const std::vector<std::string>& f : lines) {
    // time pid tid level tag who i filler
    ASSERT_EQ(f.size(), 8u);
    ASSERT_EQ(pidOf.count(f[5]), 1u) << f[5];
    ASSERT_EQ(f[1], pidOf.at(f[5]));
    ASSERT_EQ(f[6], std::to_string(next[f[5]]++));
    ASSERT_EQ(f[7], filler) << "the line is cut or mixed";
  }
  EXPECT_EQ(next["child"], kLines);
}

}  // namespace
