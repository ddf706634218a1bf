#include "tools/name_pattern.hpp"

#include <cstddef>

namespace tolvar {
namespace {

constexpr auto kNone = std::string_view::npos;

// The last `count` characters of `name`, or all of it when it is shorter.
std::string_view Tail(std::string_view name, std::size_t count) {
  return count >= name.size() ? name : name.substr(name.size() - count);
}

}  // namespace

std::string UpperCaseName(std::string_view text) {
  std::string upper(text);
  for (char& ch : upper) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  return upper;
}

bool MatchNamePattern(std::string_view name, std::string_view pattern) {
  const std::size_t n = name.size();
  if (n == 0 || pattern.empty()) return false;

  const bool hasStar = pattern.find('*') != kNone;
  const bool hasQuestion = pattern.find('?') != kNone;
  if (!hasStar && n < pattern.size()) return false;
  if (pattern == "*") return true;
  if (pattern == "*.*") return name.find('.') != kNone;
  if (!hasStar && !hasQuestion) return name.find(pattern) != kNone;

  // A run of trailing stars means the same as one.
  while (pattern.size() >= 2 && pattern.ends_with("**")) pattern.remove_suffix(1);
  const std::size_t p = pattern.size();
  const std::size_t last = p - 1;

  std::size_t i = 0;  // position in the name
  std::size_t j = 0;  // position in the pattern
  std::string run;    // the literal characters matched since the latest star
  bool afterStar = false;

  while (j < p) {
    const char ch = pattern[j];
    if (ch == '*') {
      run.clear();
      afterStar = true;
      if (j == last) return true;
      std::size_t next = j + 1;
      while (next < p && (pattern[next] == '*' || pattern[next] == '?')) ++next;
      if (next == p) return true;
      if (next > j + 1 && next == last) return name.back() == pattern[next];
      ++i;
      if (i < n) {
        j = next;
        continue;
      }
      if (next == j + 1 && next == last) return name.find(pattern[next], j + 1) != kNone;
      return false;
    }

    if (ch == '?') {
      if (j == last) {
        run.push_back('?');
        std::string tail(Tail(name, run.size()));
        tail.back() = '?';
        return tail == run;
      }
      if (i + 1 > p && j + 1 < p) return false;
      if (j + 2 < p && i + 1 >= n) return false;
      ++i;
      ++j;
      continue;
    }

    if (!afterStar) {
      if (j >= n || i >= n || ch != name[i]) return false;
      ++i;
      ++j;
      continue;
    }

    if (i < n && ch == name[i]) {
      if (j + 2 < p && i + 1 >= n) return false;
      run.push_back(ch);
      if (j == last) return Tail(name, run.size()) == run;
      ++i;
      ++j;
      continue;
    }

    run.push_back(ch);
    if (j == last) return Tail(name, run.size()) == run;
    // Look for the whole run again, starting one character back.
    const std::size_t from = i == 0 ? 0 : i - 1;
    const std::size_t found = name.find(run, from);
    if (found == kNone) return false;
    i = found + run.size() - 1;
    if (i + 1 >= n) return false;
    ++i;
    ++j;
  }
  return true;
}

}  // namespace tolvar
