// Splitting and reading the program's command line.
#include "app/command_line.h"

namespace {

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t'; }

wchar_t Lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

// `text` equals the lower-case ASCII `name`, in any case.
bool SameName(const std::wstring& text, size_t begin, size_t end, const char* name) {
  size_t i = begin;
  for (; i < end && *name != '\0'; ++i, ++name) {
    if (Lower(text[i]) != static_cast<wchar_t>(*name)) return false;
  }
  return i == end && *name == '\0';
}

// A decimal handle value, all of `text`; false for anything else (or one too large).
bool ParseNumber(const std::wstring& text, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - L'0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

void AppendNumber(std::wstring* text, uint64_t value) {
  wchar_t digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) text->push_back(digits[--n]);
}

}  // namespace

std::vector<std::wstring> SplitArguments(const wchar_t* command_line) {
  std::vector<std::wstring> arguments;
  if (command_line == nullptr) return arguments;
  const wchar_t* at = command_line;
  // The program's name: up to the closing quote when it starts with one, else to a space; no
  // escapes in it.
  if (*at == L'"') {
    ++at;
    while (*at != L'\0' && *at != L'"') ++at;
    if (*at == L'"') ++at;
  } else {
    while (*at != L'\0' && !IsSpace(*at)) ++at;
  }
  for (;;) {
    while (IsSpace(*at)) ++at;
    if (*at == L'\0') break;
    std::wstring argument;
    bool quoted = false;
    while (*at != L'\0' && (quoted || !IsSpace(*at))) {
      if (*at == L'\\') {
        size_t slashes = 0;
        while (*at == L'\\') {
          ++slashes;
          ++at;
        }
        if (*at == L'"') {
          // 2n backslashes and a quote: n backslashes, and the quote groups; 2n+1: n and a quote.
          argument.append(slashes / 2, L'\\');
          if (slashes % 2 == 1) {
            argument.push_back(L'"');
            ++at;
          }
        } else {
          argument.append(slashes, L'\\');
        }
        continue;
      }
      if (*at == L'"') {
        // Two quotes inside a quoted part: one literal quote.
        if (quoted && at[1] == L'"') {
          argument.push_back(L'"');
          at += 2;
          continue;
        }
        quoted = !quoted;
        ++at;
        continue;
      }
      argument.push_back(*at++);
    }
    arguments.push_back(argument);
  }
  return arguments;
}

CommandLine ParseCommandLine(const wchar_t* command_line) {
  CommandLine parsed;
  const std::vector<std::wstring> arguments = SplitArguments(command_line);
  bool usage = false;
  bool verysilent = false;
  bool silent = false;
  bool has_log = false;
  for (size_t i = 0; i < arguments.size() && parsed.action != CommandAction::Invalid; ++i) {
    const std::wstring& word = arguments[i];
    const size_t equals = word.find(L'=');
    const size_t end = equals == std::wstring::npos ? word.size() : equals;
    const bool is_switch = word.size() > 1 && (word[0] == L'/' || word[0] == L'-');
    bool known = true;
    if (!is_switch) {
      known = false;
    } else if (equals == std::wstring::npos && SameName(word, 1, end, "silent")) {
      silent = true;
    } else if (equals == std::wstring::npos && SameName(word, 1, end, "verysilent")) {
      verysilent = true;
    } else if (equals == std::wstring::npos &&
               (SameName(word, 1, end, "?") || SameName(word, 1, end, "help"))) {
      usage = true;
    } else if (equals != std::wstring::npos && SameName(word, 1, end, "log") &&
               equals + 1 < word.size() && !has_log) {
      has_log = true;
      parsed.log_path = word.substr(equals + 1);
    } else if (equals == std::wstring::npos && SameName(word, 1, end, "uninstall") &&
               parsed.action == CommandAction::Install) {
      parsed.action = CommandAction::Uninstall;
    } else if (equals == std::wstring::npos && SameName(word, 1, end, "uninstall-run") &&
               parsed.action == CommandAction::Install && i + 1 < arguments.size() &&
               ParseNumber(arguments[i + 1], &parsed.parent)) {
      // The program's own switch: the first stage's process, then (from this release on) the
      // pipe the result goes back on.
      parsed.action = CommandAction::UninstallRun;
      ++i;
      if (i + 1 < arguments.size() && ParseNumber(arguments[i + 1], &parsed.result_pipe)) ++i;
    } else {
      known = false;
    }
    if (!known) {
      parsed.action = CommandAction::Invalid;
      parsed.refused = word;
    }
  }
  parsed.ui = verysilent ? UiMode::VerySilent : silent ? UiMode::Silent : UiMode::Normal;
  if (parsed.action == CommandAction::Invalid) return parsed;
  // The uninstall writes no install log: a log asked for would never come.
  if (has_log && parsed.action != CommandAction::Install) {
    parsed.action = CommandAction::Invalid;
    parsed.refused = L"/log=" + parsed.log_path;
    return parsed;
  }
  if (usage) parsed.action = CommandAction::Usage;
  return parsed;
}

std::wstring UninstallRunArguments(uint64_t parent, uint64_t result_pipe, UiMode ui) {
  std::wstring text = L"/uninstall-run ";
  AppendNumber(&text, parent);
  text.push_back(L' ');
  AppendNumber(&text, result_pipe);
  if (ui == UiMode::Silent) text += L" /silent";
  if (ui == UiMode::VerySilent) text += L" /verysilent";
  return text;
}
