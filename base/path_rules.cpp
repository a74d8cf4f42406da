// Windows device names and dot-only path components.
#include "base/path_rules.h"

#include <string>

namespace {

// The characters no Windows name may hold, besides control characters.
constexpr std::string_view kRefusedInNames = "<>:\"/\\|?*";

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsUpper(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (Upper(text[i]) != upper[i]) return false;
  }
  return true;
}

}  // namespace

bool IsWindowsDeviceName(std::string_view component) {
  std::string_view stem = component.substr(0, component.find_first_of(".:"));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (EqualsUpper(stem, device)) return true;
  }
  if (stem.size() != 4 || stem[3] < '1' || stem[3] > '9') return false;
  return EqualsUpper(stem.substr(0, 3), "COM") || EqualsUpper(stem.substr(0, 3), "LPT");
}

bool IsOnlyDotsAndBlanks(std::string_view component) {
  return !component.empty() && component.find_first_not_of(". ") == std::string_view::npos;
}

bool IsPlainFileName(std::u16string_view name) {
  if (name.empty() || name.size() > kPlainFileNameMax) return false;
  if (name.back() == u'.' || name.back() == u' ') return false;
  if (name.find(u"..") != std::u16string_view::npos) return false;
  std::string ascii;  // for the device-name rule; other characters stand as "_"
  for (const char16_t c : name) {
    if (c < 0x20 || c == 0x7F) return false;
    if (c < 0x80 && kRefusedInNames.find(static_cast<char>(c)) != std::string_view::npos) {
      return false;
    }
    ascii.push_back(c < 0x80 ? static_cast<char>(c) : '_');
  }
  return !IsWindowsDeviceName(ascii);
}

namespace {

bool IsGbkLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

}  // namespace

const char* ComponentProblem(std::string_view component) {
  if (component.empty()) return "is empty";
  if (IsOnlyDotsAndBlanks(component)) return "is only dots and blanks";
  for (size_t i = 0; i < component.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(component[i]);
    if (IsGbkLeadByte(c) && i + 1 < component.size()) {
      ++i;  // a double-byte character: its second byte is no character of its own
      continue;
    }
    if (c < 0x20 || c == 0x7F ||
        kRefusedInNames.find(static_cast<char>(c)) != std::string_view::npos) {
      return "holds a character Windows refuses in names";
    }
  }
  if (component.back() == '.' || component.back() == ' ') return "ends in a dot or a blank";
  if (IsWindowsDeviceName(component)) return "is a device name";
  return nullptr;
}

namespace {

// -1, 0 or 1 as FoldedPath(a) compares with FoldedPath(b).
int CompareFolded(std::string_view a, std::string_view b) {
  size_t i = 0;
  bool second_byte = false;  // of a double-byte character, in both texts (they agree so far)
  for (; i < a.size() && i < b.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (!second_byte) {
      if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
      if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    }
    if (x != y) return x < y ? -1 : 1;
    second_byte = !second_byte && IsGbkLeadByte(x) && i + 1 < a.size() && i + 1 < b.size();
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

bool FoldedLess(std::string_view a, std::string_view b) { return CompareFolded(a, b) < 0; }
bool FoldedEqual(std::string_view a, std::string_view b) { return CompareFolded(a, b) == 0; }

std::string FoldedPath(std::string_view path) {
  std::string folded(path);
  for (size_t i = 0; i < folded.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(folded[i]);
    if (IsGbkLeadByte(c) && i + 1 < folded.size()) {
      ++i;
    } else if (c >= 'A' && c <= 'Z') {
      folded[i] = static_cast<char>(c - 'A' + 'a');
    }
  }
  return folded;
}
