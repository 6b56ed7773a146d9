#pragma once
// What the hostile tests check in brivane's log file: that every line still
// begins with the log's own time stamp, whatever text a peer or a row slipped
// into it.

#include <regex>
#include <string>
#include <vector>

namespace brivane::test {

// The lines of the log's text (a final '\n' ends the last line) that do not
// begin with "YYYY/MM/DD hh:mm:ss.mmm" and a tab.
inline std::vector<std::string> UnstampedLines(const std::string& log) {
  static const std::regex stamp(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\t)");
  std::vector<std::string> unstamped;
  std::size_t start = 0;
  while (start < log.size()) {
    const std::size_t end = log.find('\n', start);
    const std::string line = log.substr(start, end == std::string::npos ? end : end - start);
    if (!std::regex_search(line, stamp)) unstamped.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return unstamped;
}

}  // namespace brivane::test
